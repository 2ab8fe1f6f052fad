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

CString LongForm(const char* pszPath)
{
    using GetLongPathFn = DWORD(WINAPI*)(LPCSTR, LPSTR, DWORD);
    HMODULE hKernel = ::GetModuleHandleA("kernel32.dll");
    auto pfnLong = hKernel ? reinterpret_cast<GetLongPathFn>(
                                 reinterpret_cast<void*>(::GetProcAddress(hKernel, "GetLongPathNameA")))
                           : nullptr;
    char szLong[MAX_PATH] = "";
    if (pfnLong) {
        DWORD n = pfnLong(pszPath, szLong, MAX_PATH);
        if (n > 0 && n < MAX_PATH)
            return CString(szLong);
    }
    return CString(pszPath);
}

// sFolder is sOther or holds it (both long forms, no trailing backslash).
bool IsSameOrAbove(const CString& sFolder, CString sOther)
{
    StripTrailingBackslash(sOther);
    if (sOther.IsEmpty())
        return false;
    sOther = LongForm(sOther);
    if (sOther.GetLength() < sFolder.GetLength())
        return false;
    if (sOther.Left(sFolder.GetLength()).CompareNoCase(sFolder) != 0)
        return false;
    return sOther.GetLength() == sFolder.GetLength() || sOther[sFolder.GetLength()] == '\\';
}

// "X:\a\b": a drive letter, a backslash and parts that are plain names.
bool IsFullLocalPath(const CString& sPath)
{
    if (sPath.GetLength() < 4 || !IsCharAlphaA(sPath[0]) || sPath[1] != ':' || sPath[2] != '\\')
        return false;
    const char* pszBadChars = ":*?\"<>|/";
    int nPartStart = 3;
    for (int i = 3; i <= sPath.GetLength(); ++i) {
        if (i < sPath.GetLength() && sPath[i] != '\\') {
            if (strchr(pszBadChars, sPath[i]) || static_cast<unsigned char>(sPath[i]) < 32)
                return false;
            continue;
        }
        const CString sPart = sPath.Mid(nPartStart, i - nPartStart);
        // Empty parts, "." and "..", and names the system would shorten (trailing dot or blank).
        if (sPart.IsEmpty() || sPart[sPart.GetLength() - 1] == '.' || sPart[sPart.GetLength() - 1] == ' ')
            return false;
        nPartStart = i + 1;
    }
    return true;
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

// The start copies the drive's Portable.ini beside the unpacked files; it is no file of the
// package, so the unpack's record does not list it.
bool DeleteCopiedSettings(const CString& sHost)
{
    const CString sIni = sHost + "\\Portable.ini";
    return ::DeleteFileA(sIni) || ::GetLastError() == ERROR_FILE_NOT_FOUND;
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

bool CheckHostFolder(const char* pszFolder, const HostFolderGuards& guards, CString& sReason, CUniqueFile& hHeld)
{
    hHeld.Reset();
    const CString sFolder = pszFolder ? pszFolder : "";
    if (!IsFullLocalPath(sFolder)) {
        sReason = " (not a full local path)";
        return false;
    }
    const int nLastPart = sFolder.ReverseFind('\\') + 1;
    if (sFolder.Mid(nLastPart).CompareNoCase(kUnpackFolderName) != 0) {
        sReason = " (not named Tessaly)";
        return false;
    }

    // Everything below is learned from the opened folder, which stays open without delete
    // sharing: it cannot be renamed, removed or replaced until the deletion is over.
    CUniqueFile hFolder(::CreateFileA(sFolder, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                      nullptr));
    DWORD dwAttributes = INVALID_FILE_ATTRIBUTES;
    BY_HANDLE_FILE_INFORMATION info = {};
    if (hFolder && ::GetFileInformationByHandle(hFolder.Get(), &info)) {
        // Some systems describe the target of a link here; its own attributes tell.
        dwAttributes = info.dwFileAttributes | (::GetFileAttributesA(sFolder) & FILE_ATTRIBUTE_REPARSE_POINT);
    } else if (TsGetVersionRecord().dwPlatformId != VER_PLATFORM_WIN32_NT) {
        // Systems before NT open no folders: their attributes must do.
        dwAttributes = ::GetFileAttributesA(sFolder);
    } else if (::GetFileAttributesA(sFolder) != INVALID_FILE_ATTRIBUTES) {
        CString sError;
        GetLastErrorText(sError);
        sReason = " (cannot be opened: " + sError + ")";
        return false;
    }
    if (dwAttributes == INVALID_FILE_ATTRIBUTES) {
        sReason = " (no such folder)";
        return false;
    }
    if (dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        sReason = " (a link)";
        return false;
    }
    if (!(dwAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        sReason = " (not a folder)";
        return false;
    }

    const CString sLong = LongForm(sFolder);
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
        if (IsSameOrAbove(sLong, g.sPath)) {
            sReason = g.pszReason;
            return false;
        }
    }
    CString sTemp = guards.sTemp;
    StripTrailingBackslash(sTemp);
    if (!sTemp.IsEmpty() && LongForm(sTemp).CompareNoCase(sLong) == 0) {
        sReason = " (the temporary folder itself)";
        return false;
    }
    hHeld = std::move(hFolder);
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
            CUniqueFile hHeld;
            if (!CheckHostFolder(sHost, GetHostFolderGuards(), sReason, hHeld)) {
                LogRefused(sHost, sReason);
            } else {
                const bool bUnpackedGone = RemoveUnpackedFiles(sHost);
                const bool bSettingsGone = DeleteCopiedSettings(sHost);
                if (!bUnpackedGone || !bSettingsGone)
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
