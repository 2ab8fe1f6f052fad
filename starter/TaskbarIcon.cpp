#include "starter/TaskbarIcon.h"

#include "LocalizationStrings/LocalizedStringsMap.h"
#include "Strings/SplashScreenEx.h"
#include "Strings/TsFile.h"
#include "Strings/TsLock.h"
#include "Strings/TsWindowCommon.h"
#include "starter/PortableStarterApp.h"
#include "starter/StarterText.h"

HWND GetWatcherWindow(TsSharedDataBlock* pBlock)
{
    if (!pBlock)
        return nullptr;
    CTsSingleLock lock("GetWatcherWnd", &TsInterprocessMutex(), true);
    if (!::IsWindow(TsFieldToWnd(pBlock->hWatcherWnd))) {
        CTsSingleLock lockSet("SetWatcherWnd", &TsInterprocessMutex(), true);
        pBlock->hWatcherWnd = 0;
        pBlock->dwWatcherCompanion = 0;
    }
    return TsFieldToWnd(pBlock->hWatcherWnd);
}

BOOL WaitForWatcherWindow()
{
    bool bCreated = false;
    DWORD dwError = 0;
    if (!TsConnectSharedData(bCreated, dwError))
        return TRUE;
    if (GetWatcherWindow(g_pTsSharedData)) {
        TsDisconnectShared();
        return TRUE;
    }
    for (int nWait = 0;; ++nWait) {
        ProcessMessages();
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, kWatcherWaitStepMs, QS_TIMER);
        if (nWait >= kWatcherWaitLimit - 1) {
            TsDisconnectShared();
            return FALSE;
        }
        if (GetWatcherWindow(g_pTsSharedData)) {
            TsDisconnectShared();
            return TRUE;
        }
    }
}

BOOL CPortableStarterApp::StartTaskbarIcon(const CString& sProgramFolder)
{
    if (m_pSplash)
        m_pSplash->SetStatusText(StarterText("Portable_Ind_StartingWatcher"));
    HWND hOwner = m_pSplash ? m_pSplash->GetSafeHwnd() : nullptr;

    CString sProgram = sProgramFolder + "\\TessTaskBarIcon.exe";
    CString sError;
    if (!TsRunAsStandardUser(sProgram, "", sProgramFolder, sError)) {
        TsMsgBox(TS_MSG_ERROR, hOwner, "Cannot run Wayfarer Taskbar Icon:\n" + sError, "Wayfarer");
        return 0;
    }
    if (!WaitForWatcherWindow())
        TsMsgBox(TS_MSG_WARNING, hOwner, "Timeout waiting for Wayfarer Taskbar Icon\n", "Wayfarer");
    return 1;
}
