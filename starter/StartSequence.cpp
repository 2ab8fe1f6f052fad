// The start sequence: one starter at a time, the user data folder on the drive, the first-run
// dialogs, the language, then one of three roads (the installed desktop edition, the program
// files unpacked from the drive's package, or the U3 platform's host folder), the registry
// record of the portable run and the taskbar-icon program.
#include "starter/StartSequence.h"

#include <shlobj.h>

#include "LocalizationStrings/LocalizedStringsMap.h"
#include "Strings/SafeRegKey.h"
#include "Strings/SplashScreenEx.h"
#include "Strings/TsCloseShells.h"
#include "Strings/TsFile.h"
#include "Strings/TsLock.h"
#include "Strings/TsLog.h"
#include "Strings/TsOptions.h"
#include "Strings/TsPortable.h"
#include "Strings/TsSecurity.h"
#include "Strings/TsSharedData.h"
#include "Strings/TsSysInfo.h"
#include "Strings/TsU3.h"
#include "Strings/TsWindowCommon.h"
#include "framework/Unique.h"
#include "sfx/RunSfx.h"
#include "sfx/UnpackRecord.h"
#include "starter/GreetingDialog.h"
#include "starter/LicenseAgreementDialog.h"
#include "starter/PortableStarterApp.h"
#include "starter/StarterText.h"
#include "starter/TaskbarIcon.h"

const char kTessalyRegKey[] = "Software\\Norvane Works\\Tessaly";
const char kStarterMutexName[] = "{3C1D7A52-E84B-4a06-9F3E-51C2A7D04B19} TsPortableStarter";
const char kStopperMutexName[] = "{A94E2B70-16D3-4c8e-8B51-E0F7C3926D44} TsPortableKiller";
const char kThisEditionVersion[] = "6-10-2";

namespace {

const char kPackageName[] = "AiTessaly-Portable.bin";
const UINT kAnswerSecondStart = WM_USER + 0x104;   // 0x504: the running product shows itself
const DWORD kThisEditionMs = 0x0006000A;           // 6.10
const DWORD kThisEditionLs = 0x00020000;           // 2.0
const int kStopperWaitAttempts = 10;
const DWORD kHoldStartedTextMs = 2000;

bool IsExistingFile(const CString& sPath)
{
    DWORD dwAttributes = ::GetFileAttributesA(sPath.c_str());
    return dwAttributes != INVALID_FILE_ATTRIBUTES && !(dwAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The watcher window of a product that runs now, or null; a dead handle is cleared.
HWND FindRunningWatcher()
{
    bool bCreated = false;
    DWORD dwError = 0;
    if (!TsConnectSharedData(bCreated, dwError))
        return nullptr;
    HWND hWatcher = GetWatcherWindow(g_pTsSharedData);
    TsDisconnectShared();
    return hWatcher;
}

// Whether some program of the product holds the shared data block now.
bool IsProductHoldingSharedData()
{
    bool bCreated = false;
    DWORD dwError = 0;
    if (!TsConnectSharedData(bCreated, dwError))
        return false;
    TsDisconnectShared();
    return !bCreated;
}

// A stop sequence that runs now is given up to ten seconds to finish.
void WaitForRunningStopper()
{
    for (int nAttempt = 0; nAttempt < kStopperWaitAttempts; ++nAttempt) {
        CHeldMutex stopper(kStopperMutexName);
        if (!stopper.Exists() || stopper.TryTake())
            return;
        if (!ProcessMessages())
            return;
        ::Sleep(1000);
        if (!ProcessMessages())
            return;
    }
}

}  // namespace

CString ReadTessalyValue(const char* pszName)
{
    CString sValue;
    TsRegGetString(sValue, HKEY_CURRENT_USER, kTessalyRegKey, pszName);
    return sValue;
}

void WriteTessalyValue(const char* pszName, const char* pszValue)
{
    TsRegSetString(pszValue, HKEY_CURRENT_USER, kTessalyRegKey, pszName);
}

CHeldMutex::CHeldMutex(const char* pszName) : m_hMutex(CreatePortableMutex(pszName)) {}

CHeldMutex::~CHeldMutex()
{
    if (m_bHeld)
        ::ReleaseMutex(m_hMutex.Get());
}

bool CHeldMutex::TryTake()
{
    DWORD dwWait = ::WaitForSingleObject(m_hMutex.Get(), 0);
    m_bHeld = dwWait == WAIT_OBJECT_0 || dwWait == WAIT_ABANDONED;
    return m_bHeld;
}

HANDLE CreatePortableMutex(const char* pszName)
{
    CTsEveryoneAccess access;
    HANDLE hMutex = ::CreateMutexA(access.Get(), FALSE, pszName);
    if (hMutex)
        TsSetObjectIntegrity(SE_KERNEL_OBJECT, hMutex, nullptr);
    return hMutex;
}

void SetRootUserDataDirPort(const char* pszFolder)
{
    if (pszFolder && *pszFolder)
        WriteTessalyValue("RootUserDataDirPort", pszFolder);
    else
        TsRegDeleteValue(HKEY_CURRENT_USER, kTessalyRegKey, "RootUserDataDirPort");
    TsConnectLogoffDisconnect();
}

CString FormatEditionVersion(DWORD dwMs, DWORD dwLs)
{
    CString s;
    s.Format("%d-%d-%d", static_cast<int>(HIWORD(dwMs)), static_cast<int>(LOWORD(dwMs)),
             static_cast<int>(HIWORD(dwLs)));
    return s;
}

bool IsOlderThanThisEdition(DWORD dwMs, DWORD dwLs)
{
    return dwMs < kThisEditionMs || (dwMs == kThisEditionMs && dwLs < kThisEditionLs);
}

CString GetProgramSourceFolder(const CString& sRootFolder, const CString& sBinPath)
{
    CString sFolder = sRootFolder;
    if (!sBinPath.IsEmpty() && sBinPath[0] != '\\' && sBinPath[0] != '/')
        sFolder += "\\";
    return NormalizePath(sFolder + sBinPath);
}

const UnpackFolderLookups kSystemFolderLookups = {
    GetSpecialFolder,
    [](CString& sFolder) { return GetWritableTempFolder(sFolder); },
};

CString ChooseUnpackFolder(const CString& sUnpackTo, const UnpackFolderLookups& lookups)
{
    CString sFolder;
    int nCsidl = -1;
    if (sUnpackTo.CompareNoCase("appdata") == 0)
        nCsidl = CSIDL_APPDATA;
    else if (sUnpackTo.CompareNoCase("mydocs") == 0)
        nCsidl = CSIDL_PERSONAL;
    if (nCsidl >= 0) {
        sFolder = lookups.pfnSpecialFolder(nCsidl);
        if (!IsAbsolutePath(sFolder)) {
            TsLogNote("Folder for UnpackTo=" + sUnpackTo + " not found; using the temporary folder: ", sFolder);
            sFolder.Empty();
        }
    }
    if (sFolder.IsEmpty() && (!lookups.pfnTempFolder(sFolder) || !IsAbsolutePath(sFolder))) {
        TsLogNote("No temporary folder for the program files: ", sFolder);
        return CString();
    }
    return sFolder + "\\Tessaly";
}

bool PrepareProgramFolder(const CString& sFolder, bool bCreate, HWND hOwner, const char* pszFailure)
{
    CString sError;
    bool bOk;
    if (!IsAbsolutePath(sFolder)) {
        sError = TsFolderNotUsableText(sFolder, "it is not a full path");
        bOk = false;
    } else if (bCreate) {
        bOk = TsMakePrivateFolder(sFolder, sError) && IsFolderWritable(sFolder);
    } else {
        bOk = TsCheckFolderOwner(sFolder, sError);
    }
    if (bOk)
        return true;
    TsLogNote("Program folder refused: ", sError);
    const bool bOwnReason = sError.Find("Cannot use folder") == 0;
    TsMsgBox(TS_MSG_ERROR, hOwner, bOwnReason || !pszFailure ? sError : CString(pszFailure), "Wayfarer");
    return false;
}

BOOL CPortableStarterApp::StartPortable()
{
    CSplashScreenEx*& pSplash = m_pSplash;
    auto SetSplashText = [&pSplash](const CString& sText) {
        if (pSplash)
            pSplash->SetStatusText(sText);
    };

    // 1. One starter at a time. Without the mutex (it could not be made) the start goes on.
    CHeldMutex starter(kStarterMutexName);
    if (starter.Exists() && !starter.TryTake()) {
        TsMsgBox(TS_MSG_ERROR, nullptr, "Wayfarer starter is already running", "Wayfarer");
        return 0;
    }
    // 2. The application entry has reported a missing folder already.
    if (m_strRootFolder.IsEmpty())
        return 0;

    // 3. The drive.
    const bool bU3 = m_bU3 && IsU3Mode();
    CString sDrivePath = m_strRootFolder;
    if (bU3) {
        char chDevice = GetU3DeviceLetter();
        // U3 mode forced without a device letter leaves the starter's own drive.
        if (chDevice)
            sDrivePath = CString(chDevice) + ":";
    }
    const char chDrive = sDrivePath[0];

    // 4. The user data folder.
    CString sDataFolder;
    if (!FindUserDataFolder(sDrivePath, sDataFolder)) {
        if (!DriveHasPackage(chDrive) && !bU3) {
            CString sText;
            sText.Format("Wayfarer User Data Folder '%s' does not exist.", sDataFolder.c_str());
            TsMsgBox(TS_MSG_ERROR, nullptr, sText, "Wayfarer");
            return 0;
        }
        if (sDataFolder.IsEmpty()) {
            CString sData;
            GetDefaultDataFolders(chDrive, sData, sDataFolder);
        }
        CString sError;
        if (!CreateFolder(sDataFolder, sError))
            sDataFolder.Empty();
        else if (!WriteDataFolderMarker(sDataFolder, sError))
            TsLogNote("Data folder marker not written: ", sError);
    }

    // 5. The product runs from this drive already: it answers the second start itself.
    CString sRunningData = ReadTessalyValue("RootUserDataDirPort");
    if (!sRunningData.IsEmpty() && !sDataFolder.IsEmpty() && sRunningData[0] == sDataFolder[0]) {
        if (HWND hWatcher = FindRunningWatcher()) {
            ::PostMessageA(hWatcher, kAnswerSecondStart, 0, 0);
            return 0;
        }
    }

    // 6. The language the user chose, kept for the product's programs.
    CString sLanguage;
    if (!sDataFolder.IsEmpty())
        sLanguage = TsGetLocalizationOption(sDataFolder, nullptr);
    WriteTessalyValue("PortableLanguage", sLanguage);

    // 7. The drive's settings.
    const CString sIniPath = FindPortableIni(sDrivePath);
    CString sBinPath;
    CTsProfileSection("Path", sIniPath).GetString("BinPath", sBinPath, "\\Tessaly");
    const CString sSourceFolder = GetProgramSourceFolder(m_strRootFolder, sBinPath);

    // 8. The first-run dialogs.
    if (!sIniPath.IsEmpty() && IsExistingFile(sIniPath)) {
        CTsProfileSection greeting("Greeting", sIniPath);
        // A record the drive does not take is said once (the log has each); the dialog then
        // comes again at the next start.
        bool bWriteFailureShown = false;
        auto record = [&](const char* pszKey, bool bValue) {
            CString sError;
            if (!greeting.WriteBool(pszKey, bValue, sError) && !bWriteFailureShown) {
                bWriteFailureShown = true;
                TsMsgBox(TS_MSG_ERROR, nullptr, sError, "Wayfarer");
            }
        };
        if (greeting.GetBool("show_greeting", false)) {
            CGreetingDialog dlg;
            dlg.m_strFolder = sSourceFolder;
            dlg.DoModal();
            record("show_greeting", false);
        }
        if (!greeting.GetBool("license_approved", true)) {
            CLicenseAgreementDialog dlg;
            dlg.m_strFolder = sSourceFolder;
            if (dlg.DoModal() != IDOK)
                return 0;
            record("license_approved", true);
        }
    }

    // 9. The language of every text from here on.
    LoadLanguage(sLanguage, sSourceFolder, true);
    SetCurrentLanguageName(sLanguage);

    // 10. The splash.
    if (!m_bSilent && m_pSplash)
        m_pSplash->Display();
    SetSplashText(StarterText("Portable_Ind_Starting"));
    const HWND hOwner = m_pSplash ? m_pSplash->GetSafeHwnd() : nullptr;

    // 11. Which road.
    CString sAddOn;
    const bool bDesktopEdition = FindDesktopEditionAddOn(sAddOn, true);
    CString sProgramFolder;
    if (bDesktopEdition) {
        // 12. The installed desktop edition runs on with the drive's data.
        DWORD dwMs = 0, dwLs = 0;
        if (!GetFileVersion(sAddOn, dwMs, dwLs))
            dwMs = dwLs = 0;
        const CString sInstalled = FormatEditionVersion(dwMs, dwLs);
        SetSplashText(StarterText("Portable_Ind_SwitchingFixed", sInstalled));

        // 13. An older desktop edition is offered the upgrade.
        if (!bU3 && IsOlderThanThisEdition(dwMs, dwLs)) {
            bool bAdmin = false;
            if (!TsIsUserAdmin(bAdmin, true) || !bAdmin) {
                TsMsgBox(TS_MSG_WARNING, hOwner,
                         StarterText("Portable_Ind_Old_Fixed_Limited2", sInstalled, kThisEditionVersion));
            } else {
                int nAnswer = TsMsgBox(TS_MSG_WARNING, hOwner,
                                       StarterText("Portable_Ind_Old_Fixed", sInstalled, kThisEditionVersion),
                                       nullptr, MB_YESNO);
                if (nAnswer != IDYES)
                    nAnswer = TsMsgBox(TS_MSG_WARNING, hOwner,
                                       StarterText("Portable_Ind_Old_Fixed_Second", sInstalled, kThisEditionVersion),
                                       nullptr, MB_YESNO);
                if (nAnswer == IDYES) {
                    // The installer runs elevated from here: the folder is the user's alone.
                    if (!PrepareProgramFolder(m_strUnpackFolder, true, hOwner,
                                              "Cannot get temp folder to copy Tessaly Installer"))
                        return 0;
                    CString sError;
                    const CString sInstaller = m_strUnpackFolder + "\\AiTessaly-Portable.exe";
                    if (!TsCopyFile(sSourceFolder + "\\" + kPackageName, sInstaller, false, false, false, false,
                                    sError)) {
                        TsMsgBox(TS_MSG_ERROR, hOwner, "Cannot copy Tessaly Installer to a temp folder\n\n" + sError,
                                 "Wayfarer");
                        return 0;
                    }
                    // The installer takes over from here; nothing else is started.
                    const bool bStarted = TsRunElevated(sInstaller, "/fixed", "", sError);
                    if (!bStarted)
                        TsMsgBox(TS_MSG_ERROR, hOwner, "Cannot Start Tessaly installer\n\n" + sError);
                    return bStarted ? 1 : 0;
                }
            }
        }
        // 14.
        SetRootUserDataDirPort(sDataFolder);
        sProgramFolder = GetFolderOfPath(sAddOn, false);
        StartTaskbarIcon(sProgramFolder);
    } else {
        // 15. A product left running by an earlier start is stopped first.
        if (IsPortableDataRegistered() || IsProductHoldingSharedData()) {
            SetSplashText(StarterText("Portable_Ind_Stopping"));
            CloseShells(2);
            WaitForRunningStopper();
        }
        if (!bU3) {
            // 16. The program files come out of the drive's package.
            SetSplashText(StarterText("Portable_Ind_CopyingFiles"));
            // The programs run from here: nobody else may write there.
            if (!PrepareProgramFolder(m_strUnpackFolder, true, hOwner, "Cannot get temp folder"))
                return 0;
            CString sError;
            const CString sSetupArgs = "/unpack=\"" + m_strUnpackFolder + "\"";
            {
                // The record of what this start writes here is made first, whatever the
                // unpack does: the stop deletes only what a record lists.
                CUnpackRecord record(m_strUnpackFolder);
                DWORD dwRecordError = 0;
                if (!record.Add("Portable.ini", false, dwRecordError))
                    TsLogWrite("Error writing to file ", record.Path().c_str(), dwRecordError);
            }
            TsCopyFile(m_strRootFolder + "\\Portable.ini", m_strUnpackFolder + "\\Portable.ini", false, false, false,
                       false, sError);
            // The setup engine reports its own failures; the start goes on either way.
            const SfxRunParams params = {0, 0, 0, 1, 0};
            RunSfx(sSetupArgs, &params, sSourceFolder + "\\" + kPackageName);
            sProgramFolder = m_strUnpackFolder;
            WriteTessalyValue("PorvinHostPath", sProgramFolder);
        } else {
            // 17. The U3 platform has put the program files on the host itself.
            char szHostExec[MAX_PATH * 2] = "";
            DWORD n = ::GetEnvironmentVariableA("U3_HOST_EXEC_PATH", szHostExec, sizeof(szHostExec));
            if (n < sizeof(szHostExec))
                sProgramFolder = szHostExec;
            // Unset, it would make "\\Keycards.exe" of whatever drive is current.
            if (!PrepareProgramFolder(sProgramFolder, false, hOwner, nullptr))
                return 0;
        }
        // 18. The portable run, recorded for the product's programs.
        WriteTessalyValue("HDDProgFilesPath", sProgramFolder);
        WriteTessalyValue("RootUserDataDirPort", sDataFolder);
        TsRegDeleteValue(HKEY_LOCAL_MACHINE, kTessalyRegKey, "Common AppData Path");
        TsRegDeleteValue(HKEY_CURRENT_USER, kTessalyRegKey, "Common AppData Path");
        GetSpecialFolder(CSIDL_COMMON_APPDATA);   // stores the value again
        if (IsVistaOrLater())
            TsSetElevationPolicy(true, g_TsElevationPolicies, sProgramFolder);

        // 19.
        if (!bU3 && !StartTaskbarIcon(sProgramFolder))
            return 0;
    }

    // 20. The tail of every road that got here.
    WriteTessalyValue("TessalyPortableStarterPath", sDrivePath);
    const CString sRebuildCache = ReadTessalyValue("_RebuildCache");
    TsRegDeleteValue(HKEY_CURRENT_USER, kTessalyRegKey, "_RebuildCache");
    if (sRebuildCache == "yes") {
        SetSplashText(StarterText("Portable_Ind_Caching"));
        DWORD dwExitCode = 0;
        CString sError;
        TsRunExeFileAndWait(sProgramFolder + "\\Keycards.exe", "-bc", true, true, dwExitCode, sError);
    }
    if (!m_bSilent) {
        SetSplashText(StarterText(bDesktopEdition ? "Portable_Ind_BecomesPortable" : "Portable_Ind_Started"));
        if (m_pSplash)
            m_pSplash->HoldFor(kHoldStartedTextMs);
    } else {
        if (m_pSplash)
            m_pSplash->Dismiss();
        m_pSplash = nullptr;
    }
    return 1;
}
