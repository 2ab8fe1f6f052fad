#include "starter/PortableStarterApp.h"

#include <objbase.h>
#include <shlobj.h>

#include "LocalizationStrings/LocalizedStringsMap.h"
#include "Strings/SplashScreenEx.h"
#include "Strings/TsCloseShells.h"
#include "Strings/TsErrorCatcher.h"
#include "Strings/TsFile.h"
#include "Strings/TsLog.h"
#include "Strings/TsOptions.h"
#include "Strings/TsPortable.h"
#include "Strings/TsSysInfo.h"
#include "Strings/TsWindowCommon.h"
#include "framework/Exceptions.h"
#include "resources/resource.h"
#include "starter/StartSequence.h"

namespace {

// Removes the first occurrence of an option word; true when it was there.
bool TakeOption(CString& sCmdLine, const char* pszOption)
{
    int nPos = sCmdLine.Find(pszOption);
    if (nPos < 0)
        return false;
    sCmdLine.Delete(nPos, lstrlenA(pszOption));
    sCmdLine.Trim();
    return true;
}

}  // namespace

CPortableStarterApp::~CPortableStarterApp() = default;

BOOL CPortableStarterApp::InitInstance()
{
    InitVersionInfo();
    ::OleInitialize(nullptr);

    try {
        CString sError;
        if (!GetModuleFolder(m_strRootFolder, sError)) {
            m_strRootFolder.Empty();
            TsMsgBox(TS_MSG_WARNING, nullptr, sError, "Wayfarer Folder Error", 0);
        }

        CString sCmdLine = m_lpCmdLine;
        sCmdLine.MakeLower();

        CString sLang = GetCmdLineOption(sCmdLine, "lang");
        if (!sLang.IsEmpty()) {
            SetLanguageMode(sLang);
            return FALSE;
        }

        if (TakeOption(sCmdLine, "/silent"))
            m_bSilent = 1;
        if (TakeOption(sCmdLine, "/u3"))
            m_bU3 = 1;

        CString sUnpackTo;
        CString sIni = FindPortableIni(m_strRootFolder);
        if (!sIni.IsEmpty()) {
            CTsProfileSection path("Path", sIni);
            if (!path.GetBool("ShowSplash", true))
                m_bSilent = 1;
            path.GetString("UnpackTo", sUnpackTo, "");
        }
        m_strUnpackFolder = ChooseUnpackFolder(sUnpackTo);

        CreateSplash();

        // However the host misbehaves, each mode ends. What it can wait for at most: the
        // window clean-up about 16 s (a second for a window that does not answer, ten seconds
        // of sending in all, 4.9 s for the watcher), the cross-process lock 30 s once per run
        // (Strings/TsLock) plus the user's answer to its question. On top of that a kill waits
        // up to 5 s for the taskbar icon's process and, when it restarts the desktop edition's
        // icon, 20.5 s for its window; a start up to 10 s for a running stopper and 20.5 s for
        // the icon's window, besides the unpacking and the keycards program's cache rebuild
        // that a start may run (5 minutes at most, kTsProgramWaitLimitMs). So, beyond the
        // usual time: close 46 s, kill 72 s, start 77 s, wfclean 46 s.
        if (sCmdLine.IsEmpty())
            StartPortable();
        else if (sCmdLine == "kill")
            StopPortable();
        else if (sCmdLine == "close")
            CloseMode();
    } catch (CException& e) {
        // The user exception means the user has been told already; the catcher ignores it.
        ReportFrameworkException(e);
    }

    if (m_pSplash) {
        m_pSplash->Dismiss();
        m_pSplash = nullptr;
    }
    return TRUE;
}

void CPortableStarterApp::CreateSplash()
{
    m_pSplash = new CSplashScreenEx();
    const DWORD dwStyle = CSplashScreenEx::kFadeIn | CSplashScreenEx::kFadeOut | CSplashScreenEx::kShadow |
                          CSplashScreenEx::kCenterScreen;
    if (!m_pSplash->CreateSplashWindow(::GetDesktopWindow(), "", 0, dwStyle)) {
        delete m_pSplash;
        m_pSplash = nullptr;
        return;
    }
    ::SetWindowTextA(m_pSplash->GetSafeHwnd(), "Wayfarer");
    m_pSplash->LoadPicture(IDB_SPLASH, -1, -1, -1);
    m_pSplash->SetMainFont(0);
    m_pSplash->SetMainTextRect(RECT{0, 172, 360, 222});
    m_pSplash->SetMainTextColor(RGB(0, 0, 0));
    m_pSplash->SetMainTextFormat(DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    m_pSplash->SetVersionArea(RECT{5, 5, 45, 15});
    m_pSplash->SetVersionLabel("v.6-10-2");
    m_pSplash->SetCloseMarkArea(RECT{335, 5, 360, 15});
    m_pSplash->SetCloseMarkLabel("X");
}

void CPortableStarterApp::SetLanguageMode(const CString& sValue)
{
    CString sLanguage = sValue;
    LanguageCodeToFile(sValue, sLanguage);

    // The folder is used even when it was not found: it is where the data belongs.
    CString sDataFolder;
    FindUserDataFolder(m_strRootFolder, sDataFolder);

    CTsOptions options;
    options.SetPath(sDataFolder);
    CString sError;
    options.Load(sError);
    options.m_bModified = true;
    options.Set(sLanguage, "[LANGUAGE]", "LocalizationFile");
    if (!options.Save(sError)) {
        TsTrace("SLNG: %s\n", "CPortableStarterApp::SetLanguageMode: cannot save: %s\n", sError.c_str());
        TsLogNote("Language choice not saved: ", sError);
    }
    // What happened to the options file is said in the log (nothing else is shown here).
    if (TsLogHasPendingNotes())
        TsLogStart(m_lpCmdLine);
}

void CPortableStarterApp::CloseMode()
{
    CString sLanguage;
    LoadLanguage(sLanguage, "", false);
    if (IsDesktopEditionInstalled())
        SetRootUserDataDirPort("");
    else
        CloseShells(2);
}
