// The stop sequence: one stopper at a time, the product's windows closed, the record of the
// portable run removed with the program files unpacked on this host, then either the desktop
// edition's taskbar icon restarted or the maker's per-user key removed.
#include "starter/StopSequence.h"

#include <shlobj.h>

#include "LocalizationStrings/LocalizedStringsMap.h"
#include "Strings/SafeRegKey.h"
#include "Strings/SplashScreenEx.h"
#include "Strings/TsCloseShells.h"
#include "Strings/TsFile.h"
#include "Strings/TsLock.h"
#include "Strings/TsLog.h"
#include "Strings/TsPortable.h"
#include "Strings/TsSafeFs.h"
#include "Strings/TsSecurity.h"
#include "Strings/TsSharedData.h"
#include "Strings/TsSysInfo.h"
#include "Strings/TsWindowCommon.h"
#include "sfx/UnpackRecord.h"
#include "starter/PortableStarterApp.h"
#include "starter/StartSequence.h"
#include "starter/StarterText.h"
#include "starter/TaskbarIcon.h"

namespace {

const char kMakerRegKey[] = "Software\\Norvane Works";
const char kSetupEventName[] = "{5E8B0F21-7C64-4b3a-9D02-6F1A4E87C3B5}-TsSetup";
const char kUnpackFolderName[] = "Tessaly";
const DWORD kHoldStoppedTextMs = 2000;
const DWORD kProgramEndWaitMs = 5000;

// "X:\a\b": a drive letter, a backslash and parts that are plain names. Walked by
// characters: in a double-byte code page a trail byte may look like a separator.
bool IsFullLocalPath(const CString& sPath)
{
    if (sPath.GetLength() < 4 || !IsCharAlphaA(sPath[0]) || sPath[1] != ':' || sPath[2] != '\\')
        return false;
    const char* pszBadChars = ":*?\"<>|/";
    const char* pPart = sPath.c_str() + 3;
    for (const char* p = pPart;; p = ::CharNextA(p)) {
        if (*p && *p != '\\') {
            if ((::CharNextA(p) == p + 1) && (strchr(pszBadChars, *p) || static_cast<unsigned char>(*p) < 32))
                return false;
            continue;
        }
        // Empty parts, "." and "..", and names the system would shorten (trailing dot or blank).
        if (p == pPart || p[-1] == '.' || p[-1] == ' ')
            return false;
        if (!*p)
            return true;
        pPart = p + 1;
    }
}

CString SystemFolder(UINT(WINAPI* pfn)(LPSTR, UINT))
{
    char sz[MAX_PATH] = "";
    UINT n = pfn(sz, MAX_PATH);
    return n > 0 && n < MAX_PATH ? CString(sz) : CString();
}

// The process of the product's watcher window (its taskbar-icon program), opened for
// waiting; null when none runs.
HANDLE OpenWatcherProcess()
{
    bool bCreated = false;
    DWORD dwError = 0;
    if (!TsConnectSharedData(bCreated, dwError))
        return nullptr;
    HWND hWatcher = GetWatcherWnd();
    TsDisconnectShared();
    DWORD dwPid = 0;
    if (!hWatcher || !::GetWindowThreadProcessId(hWatcher, &dwPid) || !dwPid)
        return nullptr;
    return ::OpenProcess(SYNCHRONIZE, FALSE, dwPid);
}

// A program whose window has closed may still be running, and its program file cannot be
// deleted until it ends: it is given a few seconds, with this thread's windows kept alive.
void WaitForProcessEnd(HANDLE hProcess, DWORD dwTimeoutMs)
{
    const DWORD dwStart = ::GetTickCount();
    for (;;) {
        const DWORD dwSpent = ::GetTickCount() - dwStart;
        if (dwSpent >= dwTimeoutMs)
            return;
        DWORD dwWait = ::MsgWaitForMultipleObjects(1, &hProcess, FALSE, dwTimeoutMs - dwSpent, QS_ALLINPUT);
        if (dwWait != WAIT_OBJECT_0 + 1 || !ProcessMessages())
            return;
    }
}

void LogRefused(const char* pszFolder, const char* pszReason)
{
    TsLogWrite("Host folder refused, nothing deleted:", CString(pszFolder) + pszReason, 0);
}

}  // namespace

HostFolderGuards GetHostFolderGuards()
{
    HostFolderGuards guards;
    guards.sWindows = SystemFolder(::GetWindowsDirectoryA);
    guards.sSystem = SystemFolder(::GetSystemDirectoryA);
    guards.sProfile = GetSpecialFolder(CSIDL_PROFILE);
    GetWritableTempFolder(guards.sTemp);
    return guards;
}

bool CheckHostFolder(const char* pszFolder, const HostFolderGuards& guards, CString& sReason, CSafeFolder& held)
{
    held.Close();
    const CString sFolder = pszFolder ? pszFolder : "";
    if (!IsFullLocalPath(sFolder)) {
        sReason = " (not a full local path)";
        return false;
    }
    // Everything below is learned from the folder opened from the drive's root, which stays
    // open with every folder above it: none can be renamed, removed or replaced until the
    // deletion, which goes through these same handles, is over.
    CSafeFolder folder;
    DWORD dwError = 0;
    std::string sAt;
    CSafeItem item;
    if (!folder.OpenPath(sFolder, dwError, &item, nullptr, &sAt)) {
        if (dwError == ERROR_FILE_NOT_FOUND || dwError == ERROR_PATH_NOT_FOUND) {
            sReason = " (no such folder)";
        } else if (dwError == kTsErrorNotTheListedEntry) {
            sReason = " (" + CString(sAt.c_str()) + " is a link)";
        } else if (dwError == ERROR_DIRECTORY) {
            sReason = sAt == sFolder.c_str() ? CString(" (not a folder)")
                                            : " (" + CString(sAt.c_str()) + " is not a folder)";
        } else {
            CString sError;
            GetErrorText(sError, dwError);
            sReason = " (cannot be opened: " + sError + ")";
        }
        return false;
    }
    if (lstrcmpiA(folder.Name().c_str(), kUnpackFolderName) != 0) {
        sReason = " (not named Tessaly)";
        return false;
    }
    const UINT nDrive = TsFolderDriveType(folder);
    if (nDrive != DRIVE_FIXED && nDrive != DRIVE_REMOVABLE) {
        sReason = " (not on a local disk)";
        return false;
    }
    struct Guarded {
        const CString& sPath;
        const char* pszReason;
    };
    const Guarded guarded[] = {
        {guards.sWindows, " (the Windows folder or above it)"},
        {guards.sSystem, " (the system folder or above it)"},
        {guards.sProfile, " (the user's profile folder or above it)"},
    };
    for (const Guarded& g : guarded) {
        if (TsFolderIsSameOrAbove(folder, g.sPath)) {
            sReason = g.pszReason;
            return false;
        }
    }
    if (TsFolderIsSame(folder, guards.sTemp)) {
        sReason = " (the temporary folder itself)";
        return false;
    }
    held = std::move(folder);
    return true;
}

bool DeleteKeyIfEmpty(HKEY hRoot, const char* pszKeyPath)
{
    HKEY hKey = nullptr;
    if (::RegOpenKeyExA(hRoot, pszKeyPath, 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return false;
    DWORD dwSubkeys = 0, dwValues = 0;
    LONG lResult = ::RegQueryInfoKeyA(hKey, nullptr, nullptr, nullptr, &dwSubkeys, nullptr, nullptr, &dwValues,
                                      nullptr, nullptr, nullptr, nullptr);
    ::RegCloseKey(hKey);
    if (lResult != ERROR_SUCCESS || dwSubkeys != 0 || dwValues != 0)
        return false;
    return ::RegDeleteKeyA(hRoot, pszKeyPath) == ERROR_SUCCESS;
}

BOOL CPortableStarterApp::StopPortable()
{
    auto SetSplashText = [this](const CString& sText) {
        if (m_pSplash)
            m_pSplash->SetStatusText(sText);
    };

    // 1. One stopper at a time. Without the mutex (it could not be made) the stop goes on.
    CHeldMutex stopper(kStopperMutexName);
    if (stopper.Exists() && !stopper.TryTake()) {
        TsMsgBox(TS_MSG_ERROR, nullptr, "Wayfarer stopper is already running", "Wayfarer");
        return 0;
    }
    TsLogStart(m_lpCmdLine);

    // 2.-3. The user's language, and the splash.
    CString sLanguage = ReadTessalyValue("PortableLanguage");
    LoadLanguage(sLanguage, m_strRootFolder, true);
    if (!m_bSilent && m_pSplash)
        m_pSplash->Display();
    SetSplashText(StarterText("Portable_Ind_Stopping"));

    // 4.-5. The taskbar-icon program's process is taken before its window closes.
    CUniqueHandle hWatcherProcess(OpenWatcherProcess());
    CloseShells(2);
    TsRegDeleteValue(HKEY_CURRENT_USER, kTessalyRegKey, "TessalyPortableStarterPath");

    if (IsDesktopEditionInstalled()) {
        // 6. The desktop edition goes back to its own data; its program files stay.
        SetRootUserDataDirPort("");
    } else {
        // 7. The program files unpacked on this host, and the record of where they are.
        SetSplashText(StarterText("Portable_Ind_DeletingFiles"));
        if (hWatcherProcess)
            WaitForProcessEnd(hWatcherProcess.Get(), kProgramEndWaitMs);
        CString sHost;
        if (GetHostFolder(sHost)) {
            CString sReason;
            CSafeFolder held;
            if (!CheckHostFolder(sHost, GetHostFolderGuards(), sReason, held)) {
                LogRefused(sHost, sReason);
            } else {
                // Only what the unpack recorded goes; without a record nothing is known to be ours.
                bool bHadRecord = false;
                const bool bUnpackedGone = RemoveRecordedFiles(held, &bHadRecord);
                if (!bHadRecord)
                    TsLogWrite("No unpack record found, nothing deleted in", sHost, 0);
                else if (!bUnpackedGone)
                    TsLogWrite("Host folder not emptied completely:", sHost, 0);
            }
        }
        TsRegDeleteValue(HKEY_CURRENT_USER, kTessalyRegKey, "PorvinHostPath");
        TsRegDeleteValue(HKEY_LOCAL_MACHINE, kTessalyRegKey, "Common AppData Path");
        TsRegDeleteValue(HKEY_CURRENT_USER, kTessalyRegKey, "Common AppData Path");
        // The start made these machine-wide keys for that one value; a desktop edition's
        // keys hold values of their own and stay.
        DeleteKeyIfEmpty(HKEY_LOCAL_MACHINE, kTessalyRegKey);
        DeleteKeyIfEmpty(HKEY_LOCAL_MACHINE, kMakerRegKey);
        if (IsVistaOrLater())
            TsSetElevationPolicy(false, g_TsElevationPolicies, "");
    }

    // 8. A setup of the product that runs now keeps its keys and starts its own icon.
    bool bSetupRunning = false;
    if (HANDLE hEvent = ::CreateEventA(nullptr, FALSE, FALSE, kSetupEventName)) {
        bSetupRunning = ::GetLastError() == ERROR_ALREADY_EXISTS;
        ::CloseHandle(hEvent);
    }

    // 9. Back to the desktop edition, or the maker's key goes.
    if (!bSetupRunning) {
        CString sRunTs, sDesktopData;
        TsRegGetString(sRunTs, HKEY_CURRENT_USER, kMakerRegKey, "_RunTs");
        TsRegGetString(sDesktopData, HKEY_CURRENT_USER, kTessalyRegKey, "RootUserDataDir");
        if (!sRunTs.IsEmpty() && !sDesktopData.IsEmpty()) {
            SetSplashText("Restarting Tessaly Taskbar Icon");
            CString sFolder;
            TsRegGetString(sFolder, HKEY_CURRENT_USER, kMakerRegKey, "TessalyFolder");
            if (!sFolder.IsEmpty() && sFolder[sFolder.GetLength() - 1] == '\\')
                sFolder.Delete(sFolder.GetLength() - 1);
            const CString sProgram = sFolder + "\\TessTaskBarIcon.exe";
            const DWORD dwAttributes = ::GetFileAttributesA(sProgram);
            if (dwAttributes != INVALID_FILE_ATTRIBUTES && !(dwAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
                CString sError;
                if (TsRunExe(sProgram, "", sFolder, sError))
                    WaitForWatcherWindow();
                else
                    SetSplashText("Cannot start taskbar icon");
            }
        } else {
            SetSplashText("Final Cleanup");
            sDesktopData.Empty();
            TsRegGetString(sDesktopData, HKEY_CURRENT_USER, kTessalyRegKey, "RootUserDataDir");
            if (sDesktopData.IsEmpty())
                TsRegDeleteKeyTree(HKEY_CURRENT_USER, "Software", "Norvane Works");
        }
    }

    // 10.
    if (m_bSilent) {
        if (m_pSplash)
            m_pSplash->Dismiss();
        m_pSplash = nullptr;
    } else if (m_pSplash) {
        m_pSplash->HoldFor(kHoldStoppedTextMs);
    }
    return 1;
}
