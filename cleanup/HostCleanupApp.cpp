#include "cleanup/HostCleanupApp.h"

#include "LocalizationStrings/LocalizedStringsMap.h"
#include "Strings/TsCloseShells.h"
#include "Strings/TsCmdLine.h"
#include "Strings/TsErrorCatcher.h"
#include "Strings/TsLog.h"
#include "Strings/TsPortable.h"
#include "Strings/TsTextDialog.h"
#include "Strings/TsU3.h"
#include "Strings/TsWindowCommon.h"
#include "cleanup/ProductFiles.h"
#include "cleanup/SafeRemove.h"
#include "framework/Exceptions.h"

const char kBadOptionsText[] = "Bad command-line options, cleanup can not be performed.";
const char kBadOptionsCaption[] = "Tessaly U3 Cleanup";
const char kCollectingText[] = "Collecting information about files...";

namespace {

const char kDataFolderMarker[] = "\\My Tessaly Data";
const char kDriveSettingsFile[] = ":\\Portable.ini";

const int kIdInstallTitle = 1213;
const int kIdUninstallTitle = 1279;
const int kIdUserDataEraseText = 1282;
const int kIdSummaryText = 1283;
const int kIdRemoveDataText = 1287;
const UINT kRemoveDataFlags = MB_YESNOCANCEL | MB_ICONQUESTION | MB_SYSTEMMODAL;   // 0x1023

void SetEnvironmentValue(const char* pszName, const char* pszValue)
{
    if (!::SetEnvironmentVariableA(pszName, pszValue))
        TsTrace("SENV %s\n", "CHostCleanupApp: cannot set the environment variable %s\n", pszName);
}

// U3 mode stays on only while the cleanup works, whichever way the work ends.
struct U3ModeScope {
    explicit U3ModeScope(const char* pszDocPath) { EnterU3Mode(pszDocPath); }
    ~U3ModeScope() { LeaveU3Mode(); }
    U3ModeScope(const U3ModeScope&) = delete;
    U3ModeScope& operator=(const U3ModeScope&) = delete;
};

struct TextDialogScope {
    HWND hWnd;
    ~TextDialogScope()
    {
        if (hWnd)
            ::DestroyWindow(hWnd);
    }
};

}  // namespace

BOOL CHostCleanupApp::InitInstance()
{
    try {
        CString sCmdLine = m_lpCmdLine;
        TsLogStart(sCmdLine);

        // The U3 platform writes the option names in lower case; the line is taken as it came.
        CString sLang = GetCmdLineOption(sCmdLine, "lang");
        m_sHostPath = GetCmdLineOption(sCmdLine, "host");
        m_sDocPath = GetCmdLineOption(sCmdLine, "doc");
        if (sLang.IsEmpty() || m_sHostPath.IsEmpty() || m_sDocPath.IsEmpty()) {
            TsMsgBox(TS_MSG_ERROR, nullptr, kBadOptionsText, kBadOptionsCaption, 0);
            return FALSE;
        }

        // The shared runtime then sees the environment the platform gives the product's programs.
        SetEnvironmentValue("U3_ENV_LANGUAGE", sLang);
        SetEnvironmentValue("U3_HOST_EXEC_PATH", m_sHostPath);
        SetEnvironmentValue("U3_DEVICE_DOCUMENT_PATH", m_sDocPath);
        SetEnvironmentValue("U3_DEVICE_PATH", m_sDocPath.Left(3));

        m_sLanguageName.Empty();
        LoadLanguage(m_sLanguageName, m_sHostPath, false);

        U3ModeScope u3Mode(m_sDocPath);
        CleanupDeviceData();
    } catch (CException& e) {
        // The user exception means the user has been told already; the catcher ignores it.
        ReportFrameworkException(e);
    }
    return FALSE;
}

void CHostCleanupApp::CleanupDeviceData()
{
    // The data folder is where the data belongs, found there or not.
    FindUserDataFolder(m_sDocPath.Left(1), m_sDataFolder);
    CString sRoot = m_sDataFolder;
    int nMarker = sRoot.Find(kDataFolderMarker);
    if (nMarker >= 0)
        sRoot = sRoot.Left(nMarker + lstrlenA(kDataFolderMarker));

    CloseShells(1);

    // What lies below the root is deleted: only a folder on the removable device qualifies.
    CString sRefused = CheckCleanupRoot(sRoot);
    if (!sRefused.IsEmpty()) {
        TsTrace("CDDR %s\n", "CHostCleanupApp::CleanupDeviceData: root refused: %s\n", sRefused.c_str());
        TsLogWrite("Data folder not cleaned up:", sRoot + " (" + sRefused + ")", 0, TRUE);
        return;
    }

    ProductFileSet set;
    {
        TextDialogScope collecting{TsCreateTextDialog(kCollectingText, "Tessaly", 0)};
        g_nCollectDepth = 1;
        CollectProductFiles(sRoot, set);
    }
    TsLogWrite("Data files found in", sRoot + ": " + CString(std::to_string(set.nTotal)), 0, TRUE);
    if (set.files.empty())
        return;

    if (TsMsgBox(TS_MSG_WARNING, nullptr, CLocalizedString(kIdRemoveDataText), CLocalizedString(kIdUninstallTitle),
                 kRemoveDataFlags) != IDYES)
        return;
    if (ConfirmDataErase(sRoot, set) != IDYES)
        return;

    std::vector<CString> deleteList = set.files;
    if (char chDevice = GetU3DeviceLetter()) {
        CString sIni = CString(chDevice) + kDriveSettingsFile;
        DWORD dwAttr = ::GetFileAttributesA(sIni);
        if (dwAttr != INVALID_FILE_ATTRIBUTES && !(dwAttr & FILE_ATTRIBUTE_DIRECTORY) &&
            GetPathDriveType(sIni) != DRIVE_FIXED)
            deleteList.push_back(sIni);
    }

    CString sFailed;
    for (const CString& sPath : deleteList) {
        CString sError;
        if (DeleteFileNoLinks(sPath, sError)) {
            TsLogWrite("Deleted", sPath, 0, TRUE);
        } else {
            TsLogWrite("Cannot delete", sPath + ": " + sError, 0, TRUE);
            sFailed += sPath + "\n";
        }
    }
    // A folder that still holds something stays; that is no failure to report.
    for (const CString& sFolder : set.folders)
        RemoveFolderNoLinks(sFolder);
    RemoveFolderNoLinks(sRoot);

    if (!sFailed.IsEmpty())
        TsMsgBox(TS_MSG_WARNING, nullptr, CLocalizedString(kIdSummaryText, sFailed), CLocalizedString(kIdUninstallTitle),
                 0);
}

int CHostCleanupApp::ConfirmDataErase(const CString& sRoot, const ProductFileSet& set)
{
    const std::string counts[] = {std::to_string(set.nIdentities), std::to_string(set.nKeycards),
                                  std::to_string(set.nVaultnotes), std::to_string(set.nOthers)};
    CLocalizedString sText(kIdUserDataEraseText, sRoot, counts[0].c_str(), counts[1].c_str(), counts[2].c_str(),
                           counts[3].c_str());
    return TsMsgBox(TS_MSG_QUESTION, nullptr, sText, CLocalizedString(kIdInstallTitle), MB_YESNOCANCEL);
}
