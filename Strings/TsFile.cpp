#include "Strings/TsFile.h"

#include <shlobj.h>
#include <taskschd.h>

#include <string>
#include <vector>

#include "Strings/TsAnsiPath.h"
#include "Strings/TsLock.h"
#include "Strings/TsLog.h"
#include "Strings/TsSecurity.h"
#include "Strings/TsSysInfo.h"
#include "framework/Unique.h"

const char kTsRunAsStdUserTaskName[] = "Run Tessaly Process";

namespace {

const DWORD kMaxVersionResource = 4096;

bool IsDirectory(const char* pszPath)
{
    DWORD dwAttr = ::GetFileAttributesA(pszPath);
    return dwAttr != INVALID_FILE_ATTRIBUTES && (dwAttr & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsExistingFile(const char* pszPath)
{
    DWORD dwAttr = ::GetFileAttributesA(pszPath);
    return dwAttr != INVALID_FILE_ATTRIBUTES && !(dwAttr & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsEmptyText(const char* psz)
{
    return !psz || !*psz;
}

DWORD OsMajor()
{
    return TsGetVersionRecord().dwMajorVersion;
}

CString LastErrorText()
{
    CString s;
    GetLastErrorText(s);
    return s;
}

CString ErrorText(DWORD dwCode)
{
    CString s;
    GetErrorText(s, dwCode);
    return s;
}

// Creates one folder; a folder that appeared meanwhile counts as created.
bool CreateOneFolder(const CString& sFolder, CString& sError)
{
    if (::CreateDirectoryA(sFolder, nullptr)) {
        TsSetFileSecurity(nullptr, sFolder, true);
        return true;
    }
    CString sReason = LastErrorText();
    if (IsDirectory(sFolder))
        return true;
    sError = "Can not create folder " + sFolder + ": " + sReason;
    return false;
}

enum class ProcessWait { Ended, Quit, TimedOut };

// Waits up to dwLimitMs for a process to end. With bPump the thread's messages are
// dispatched after every wake-up, until a quit message ends the wait.
ProcessWait WaitForProcessEnd(HANDLE hProcess, bool bPump, const char* pszScope, DWORD dwLimitMs)
{
    const DWORD dwStart = ::GetTickCount();
    for (;;) {
        const DWORD dwSpent = ::GetTickCount() - dwStart;
        const DWORD dwLeft = dwSpent < dwLimitMs ? dwLimitMs - dwSpent : 0;
        DWORD dw = bPump ? ::MsgWaitForMultipleObjects(1, &hProcess, FALSE, dwLeft, QS_ALLINPUT)
                         : ::WaitForSingleObject(hProcess, dwLeft);
        if (dw == WAIT_OBJECT_0 || dw == WAIT_ABANDONED_0)
            return ProcessWait::Ended;
        if (dw == WAIT_OBJECT_0 + 1 && bPump && dwLeft) {
            if (!ProcessMessages(pszScope))
                return ::WaitForSingleObject(hProcess, 0) == WAIT_OBJECT_0 ? ProcessWait::Ended : ProcessWait::Quit;
            continue;
        }
        if (dw == WAIT_FAILED)
            return ::WaitForSingleObject(hProcess, 0) == WAIT_OBJECT_0 ? ProcessWait::Ended : ProcessWait::Quit;
        return ::WaitForSingleObject(hProcess, 0) == WAIT_OBJECT_0 ? ProcessWait::Ended : ProcessWait::TimedOut;
    }
}

// False with the reason in sError when the wait ended before the program did.
bool WaitForProgram(HANDLE hProcess, const char* pszProgram, bool bPump, const char* pszScope, DWORD dwLimitMs,
                    CString& sError)
{
    switch (WaitForProcessEnd(hProcess, bPump, pszScope, dwLimitMs)) {
    case ProcessWait::Ended:
        return true;
    case ProcessWait::Quit:
        sError = CString("Stopped waiting for ") + pszProgram + ": this program is closing";
        return false;
    case ProcessWait::TimedOut:
        sError.Format("Stopped waiting for %s: it did not end within %lu seconds", pszProgram,
                      static_cast<unsigned long>(dwLimitMs / 1000));
        return false;
    }
    return false;
}

// --- COM helpers for the task definition ---------------------------------------------

template <class T> struct ComTraits {
    using Type = T*;
    static T* Empty() { return nullptr; }
    static void Close(T* p) { p->Release(); }
};
template <class T> using CComRef = CUnique<ComTraits<T>>;

// Every step of the task registration: a failure is traced with its step and code.
bool StepOk(const char* pszStep, HRESULT hr)
{
    if (SUCCEEDED(hr))
        return true;
    TsTrace("RSUT: %s %lx\n", "RegisterRunAsStdUserTask: %s failed: %lx\n", pszStep,
            static_cast<unsigned long>(hr));
    return false;
}

// Fills an owner from a getter of the form HRESULT get(T**).
template <class T, class Getter> bool Obtain(const char* pszStep, CComRef<T>& ref, Getter getter)
{
    T* p = nullptr;
    HRESULT hr = getter(&p);
    ref.Reset(p);
    return StepOk(pszStep, SUCCEEDED(hr) && !p ? E_POINTER : hr);
}

class CBstr {
public:
    explicit CBstr(const char* psz)
    {
        int n = ::MultiByteToWideChar(CP_ACP, 0, psz ? psz : "", -1, nullptr, 0);
        std::vector<wchar_t> wide(static_cast<size_t>(n > 0 ? n : 1), L'\0');
        if (n > 0)
            ::MultiByteToWideChar(CP_ACP, 0, psz ? psz : "", -1, wide.data(), n);
        m_b = ::SysAllocString(wide.data());
    }
    ~CBstr() { ::SysFreeString(m_b); }
    CBstr(const CBstr&) = delete;
    CBstr& operator=(const CBstr&) = delete;
    operator BSTR() const { return m_b; }
private:
    BSTR m_b;
};

class CVariant {
public:
    CVariant() { ::VariantInit(&m_v); }
    explicit CVariant(const char* psz) : CVariant()
    {
        CBstr b(psz);
        m_v.vt = VT_BSTR;
        m_v.bstrVal = ::SysAllocString(b);
    }
    ~CVariant() { ::VariantClear(&m_v); }
    CVariant(const CVariant&) = delete;
    CVariant& operator=(const CVariant&) = delete;
    operator VARIANT() const { return m_v; }
private:
    VARIANT m_v;
};

bool FillTaskDefinition(ITaskDefinition* pDef, const char* pszProgram, const char* pszArgs, const char* pszFolder)
{
    CComRef<IRegistrationInfo> reg;
    if (!Obtain("get_RegistrationInfo", reg, [&](IRegistrationInfo** pp) { return pDef->get_RegistrationInfo(pp); }) ||
        !StepOk("put_Author", reg.Get()->put_Author(CBstr("Tessaly_RunAsStdUser"))))
        return false;

    CComRef<IPrincipal> principal;
    if (!Obtain("get_Principal", principal, [&](IPrincipal** pp) { return pDef->get_Principal(pp); }) ||
        !StepOk("put_Id", principal.Get()->put_Id(CBstr("Tessaly_RunAsStdUser_Principal"))) ||
        !StepOk("put_LogonType", principal.Get()->put_LogonType(TASK_LOGON_INTERACTIVE_TOKEN)) ||
        !StepOk("put_RunLevel", principal.Get()->put_RunLevel(TASK_RUNLEVEL_LUA)))
        return false;

    CComRef<ITaskSettings> settings;
    if (!Obtain("get_Settings", settings, [&](ITaskSettings** pp) { return pDef->get_Settings(pp); }) ||
        !StepOk("put_StartWhenAvailable", settings.Get()->put_StartWhenAvailable(VARIANT_TRUE)) ||
        !StepOk("put_AllowHardTerminate", settings.Get()->put_AllowHardTerminate(VARIANT_FALSE)) ||
        !StepOk("put_DisallowStartIfOnBatteries", settings.Get()->put_DisallowStartIfOnBatteries(VARIANT_FALSE)) ||
        !StepOk("put_StopIfGoingOnBatteries", settings.Get()->put_StopIfGoingOnBatteries(VARIANT_FALSE)) ||
        !StepOk("put_ExecutionTimeLimit", settings.Get()->put_ExecutionTimeLimit(CBstr("PT0S"))))
        return false;
    CComRef<IIdleSettings> idle;
    if (!Obtain("get_IdleSettings", idle, [&](IIdleSettings** pp) { return settings.Get()->get_IdleSettings(pp); }) ||
        !StepOk("put_StopOnIdleEnd", idle.Get()->put_StopOnIdleEnd(VARIANT_FALSE)))
        return false;

    CComRef<ITriggerCollection> triggers;
    CComRef<ITrigger> trigger;
    if (!Obtain("get_Triggers", triggers, [&](ITriggerCollection** pp) { return pDef->get_Triggers(pp); }) ||
        !Obtain("Create trigger", trigger,
                [&](ITrigger** pp) { return triggers.Get()->Create(TASK_TRIGGER_REGISTRATION, pp); }) ||
        !StepOk("put_Id trigger", trigger.Get()->put_Id(CBstr("Tessaly_RunAsStdUser_Trigger"))))
        return false;

    CComRef<IActionCollection> actions;
    CComRef<IAction> action;
    CComRef<IExecAction> exec;
    if (!Obtain("get_Actions", actions, [&](IActionCollection** pp) { return pDef->get_Actions(pp); }) ||
        !Obtain("Create action", action, [&](IAction** pp) { return actions.Get()->Create(TASK_ACTION_EXEC, pp); }) ||
        !Obtain("IExecAction", exec,
                [&](IExecAction** pp) {
                    return action.Get()->QueryInterface(IID_IExecAction, reinterpret_cast<void**>(pp));
                }) ||
        !StepOk("put_Path", exec.Get()->put_Path(CBstr(pszProgram))))
        return false;
    if (!IsEmptyText(pszFolder) && !StepOk("put_WorkingDirectory", exec.Get()->put_WorkingDirectory(CBstr(pszFolder))))
        return false;
    if (!IsEmptyText(pszArgs) && !StepOk("put_Arguments", exec.Get()->put_Arguments(CBstr(pszArgs))))
        return false;
    return true;
}

// The program's own manifest as an activation context, made once per process; null where
// the system has no activation contexts or the program no manifest.
class COwnActivationContext {
public:
    COwnActivationContext()
    {
        HMODULE hKernel = ::GetModuleHandleA("kernel32.dll");
        if (!hKernel)
            return;
        m_pfnCreate = reinterpret_cast<CreateFn>(reinterpret_cast<void*>(::GetProcAddress(hKernel, "CreateActCtxA")));
        m_pfnActivate = reinterpret_cast<ActivateFn>(reinterpret_cast<void*>(::GetProcAddress(hKernel, "ActivateActCtx")));
        m_pfnDeactivate =
            reinterpret_cast<DeactivateFn>(reinterpret_cast<void*>(::GetProcAddress(hKernel, "DeactivateActCtx")));
        m_pfnRelease = reinterpret_cast<ReleaseFn>(reinterpret_cast<void*>(::GetProcAddress(hKernel, "ReleaseActCtx")));
        if (!m_pfnCreate || !m_pfnActivate || !m_pfnDeactivate || !m_pfnRelease)
            return;
        char szModule[MAX_PATH];
        DWORD n = ::GetModuleFileNameA(nullptr, szModule, MAX_PATH);
        if (n == 0 || n >= MAX_PATH)
            return;
        // The isolation-aware resource id first, then the process manifest.
        for (WORD wId : {WORD(2), WORD(1)}) {
            ACTCTXA ctx = {};
            ctx.cbSize = sizeof(ctx);
            ctx.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID | ACTCTX_FLAG_HMODULE_VALID;
            ctx.lpSource = szModule;
            ctx.lpResourceName = MAKEINTRESOURCEA(wId);
            ctx.hModule = ::GetModuleHandleA(nullptr);
            HANDLE h = m_pfnCreate(&ctx);
            if (h != INVALID_HANDLE_VALUE) {
                m_hContext = h;
                return;
            }
        }
    }
    ~COwnActivationContext()
    {
        if (m_hContext)
            m_pfnRelease(m_hContext);
    }
    COwnActivationContext(const COwnActivationContext&) = delete;
    COwnActivationContext& operator=(const COwnActivationContext&) = delete;

    HMODULE Load(const char* pszName)
    {
        ULONG_PTR cookie = 0;
        if (!m_hContext || !m_pfnActivate(m_hContext, &cookie))
            return ::LoadLibraryA(pszName);
        HMODULE h = ::LoadLibraryA(pszName);
        DWORD dwError = ::GetLastError();
        m_pfnDeactivate(0, cookie);
        ::SetLastError(dwError);
        return h;
    }

private:
    using CreateFn = HANDLE(WINAPI*)(PCACTCTXA);
    using ActivateFn = BOOL(WINAPI*)(HANDLE, ULONG_PTR*);
    using DeactivateFn = BOOL(WINAPI*)(DWORD, ULONG_PTR);
    using ReleaseFn = void(WINAPI*)(HANDLE);
    CreateFn m_pfnCreate = nullptr;
    ActivateFn m_pfnActivate = nullptr;
    DeactivateFn m_pfnDeactivate = nullptr;
    ReleaseFn m_pfnRelease = nullptr;
    HANDLE m_hContext = nullptr;
};

// The long form of a full path through the shell, for systems without GetLongPathNameA.
bool ShellLongPath(const char* pszPath, CString& sLong)
{
    IShellFolder* pDesktop = nullptr;
    if (FAILED(::SHGetDesktopFolder(&pDesktop)) || !pDesktop)
        return false;
    CComRef<IShellFolder> desktop(pDesktop);
    CBstr wide(pszPath);
    LPITEMIDLIST pidl = nullptr;
    if (FAILED(desktop.Get()->ParseDisplayName(nullptr, nullptr, wide, nullptr, &pidl, nullptr)) || !pidl)
        return false;
    char szLong[MAX_PATH] = "";
    BOOL bOk = ::SHGetPathFromIDListA(pidl, szLong);
    ::CoTaskMemFree(pidl);
    if (!bOk)
        return false;
    sLong = szLong;
    return true;
}

// Systems without the wide calls (Windows 9x), where the ANSI names are exact.
bool GetModuleFolderAnsi(CString& sFolder, CString& sError)
{
    char szName[MAX_PATH] = "";
    DWORD n = ::GetModuleFileNameA(nullptr, szName, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) {
        sError = "Tessaly cannot get module file name";
        return false;
    }
    CString sLong;
    using GetLongPathFn = DWORD(WINAPI*)(LPCSTR, LPSTR, DWORD);
    HMODULE hKernel = ::GetModuleHandleA("kernel32.dll");
    auto pfnLong = hKernel ? reinterpret_cast<GetLongPathFn>(reinterpret_cast<void*>(::GetProcAddress(hKernel, "GetLongPathNameA")))
                           : nullptr;
    bool bLong = false;
    if (pfnLong) {
        char szLong[MAX_PATH] = "";
        DWORD nLong = pfnLong(szName, szLong, MAX_PATH);
        bLong = nLong > 0 && nLong < MAX_PATH;
        if (bLong)
            sLong = szLong;
    } else {
        bLong = ShellLongPath(szName, sLong);
    }
    if (!bLong) {
        sError = CString("Tessaly cannot get long path name from ") + szName;
        return false;
    }
    int nLast = sLong.ReverseFind('\\');
    if (nLast < 1) {
        sError = "Tessaly cannot get folder name from " + sLong;
        return false;
    }
    sFolder = sLong.Left(nLast);
    return true;
}

}  // namespace

// --- files and folders -------------------------------------------------------------

CString GetFolderOfPath(const char* pszPath, bool bWithBackslash)
{
    CString sPath(pszPath);
    int nLast = sPath.ReverseFind('\\');
    SOFTASSERT(nLast > 0);
    if (nLast < 0)
        return CString();
    return sPath.Left(bWithBackslash ? nLast + 1 : nLast);
}

bool CreateFolder(const char* pszPath, CString& sError)
{
    CString sPath(pszPath);
    int nStart = 0;
    if (sPath.Left(2) == "\\\\") {
        int nServerEnd = sPath.Find('\\', 2);
        if (nServerEnd < 0)
            return true;
        nStart = nServerEnd + 1;
    } else if (sPath.Left(1) == "\\") {
        nStart = 1;   // the root of the current drive exists
    }
    int nComponent = nStart;
    for (;;) {
        int nSlash = sPath.Find('\\', nComponent);
        int nEnd = nSlash < 0 ? sPath.GetLength() : nSlash;
        if (nEnd == nComponent)
            return true;   // an empty component ends the walk
        CString sPrefix = sPath.Left(nEnd);
        if (!IsDirectory(sPrefix) && !CreateOneFolder(sPrefix, sError))
            return false;
        if (nSlash < 0)
            return true;
        nComponent = nSlash + 1;
    }
}

bool TsCopyFile(const char* pszSource, const char* pszTarget, bool bMove, bool bFailIfExists, bool bCreateFolder,
                bool bLowIntegrity, CString& sError)
{
    CString sTarget(pszTarget);
    int nLast = sTarget.ReverseFind('\\');
    if (bCreateFolder && nLast >= 0) {
        CString sFolder = sTarget.Left(nLast);
        if (!IsDirectory(sFolder) && !CreateFolder(sFolder, sError))
            return false;
    }

    BOOL bOk;
    if (bMove) {
        bOk = ::MoveFileExA(pszSource, pszTarget, bFailIfExists ? 0 : MOVEFILE_REPLACE_EXISTING);
    } else {
        using CopyFileExFn = BOOL(WINAPI*)(LPCSTR, LPCSTR, LPPROGRESS_ROUTINE, LPVOID, LPBOOL, DWORD);
        CopyFileExFn pfnCopyEx = nullptr;
        const TsVersionRecord& ver = TsGetVersionRecord();
        bool bNT51 = ver.dwPlatformId == VER_PLATFORM_WIN32_NT &&
                     (ver.dwMajorVersion > 5 || (ver.dwMajorVersion == 5 && ver.dwMinorVersion >= 1));
        HMODULE hKernel = bNT51 ? ::GetModuleHandleA("kernel32.dll") : nullptr;
        if (hKernel)
            pfnCopyEx = reinterpret_cast<CopyFileExFn>(reinterpret_cast<void*>(::GetProcAddress(hKernel, "CopyFileExA")));
        if (pfnCopyEx) {
            DWORD dwFlags = COPY_FILE_ALLOW_DECRYPTED_DESTINATION | (bFailIfExists ? COPY_FILE_FAIL_IF_EXISTS : 0);
            bOk = pfnCopyEx(pszSource, pszTarget, nullptr, nullptr, nullptr, dwFlags);
        } else {
            bOk = ::CopyFileA(pszSource, pszTarget, bFailIfExists);
        }
    }
    if (!bOk) {
        sError = CString("Cannot copy file '") + pszSource + "' to '" + pszTarget + "': " + ErrorText(::GetLastError());
        return false;
    }
    if (bLowIntegrity)
        TsSetFileSecurity(nullptr, pszTarget, true);
    return true;
}

bool TsDeleteFile(const char* pszPath, CString& sError)
{
    if (::DeleteFileA(pszPath))
        return true;
    sError = CString("Can not delete file ") + pszPath + "\n" + LastErrorText();
    return false;
}

bool TryOpenFileExclusive(const char* pszPath, bool bWriteAndDelete)
{
    CUniqueFile file(::CreateFileA(pszPath, GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return false;
    if (!bWriteAndDelete)
        return true;
    DWORD dwLength = static_cast<DWORD>(lstrlenA(pszPath));
    DWORD dwWritten = 0;
    bool bWritten = ::WriteFile(file.Get(), pszPath, dwLength, &dwWritten, nullptr) && dwWritten == dwLength;
    file.Reset();
    bool bDeleted = ::DeleteFileA(pszPath) != FALSE;
    return bWritten && bDeleted;
}

bool SleepPumping(DWORD dwMs, int nCount, bool bPump)
{
    for (int i = 0; i < nCount; ++i) {
        if (bPump && !ProcessMessages())
            return false;
        ::Sleep(dwMs);
    }
    return bPump ? ProcessMessages() : true;
}

bool WaitForFileUnlocked(const char* pszPath, int& nTries, int nMaxTries, DWORD dwSleepMs)
{
    nTries = 0;
    if (nMaxTries < 1)
        return false;
    while (IsExistingFile(pszPath) && !TryOpenFileExclusive(pszPath, false)) {
        if (!SleepPumping(dwSleepMs, 1, true))
            return false;
        if (++nTries >= nMaxTries)
            return false;
    }
    return true;
}

// --- downloads ----------------------------------------------------------------------

bool DownloadToCache(const char* pszUrl, IBindStatusCallback* pCallback, CString& sLocalFile, bool bWaitForFile,
                     CString& sError)
{
    char szFile[MAX_PATH] = "";
    HRESULT hr = ::URLDownloadToCacheFileA(nullptr, pszUrl, szFile, MAX_PATH, 16, pCallback);
    sLocalFile = szFile;
    if (FAILED(hr)) {
        char szText[1024] = "";
        HMODULE hUrlmon = ::GetModuleHandleA("urlmon.dll");
        DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS | 255, hUrlmon,
                                   static_cast<DWORD>(hr), 0, szText, sizeof(szText), nullptr);
        CString sReason = n ? CString(szText) : CString("Error");
        sReason.AppendFormat(" (%lX)", static_cast<unsigned long>(hr));
        sError = "Cannot connect to server: " + sReason;
        return false;
    }
    if (!bWaitForFile)
        return true;
    for (int nTry = 0;; ++nTry) {
        CUniqueFile file(::CreateFileA(szFile, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        if (file)
            return true;
        DWORD dwError = ::GetLastError();
        bool bBusy = dwError == ERROR_SHARING_VIOLATION || dwError == ERROR_LOCK_VIOLATION;
        if (!bBusy || nTry + 1 >= 20) {
            sError = "Cannot open download file " + sLocalFile + ":\n" + ErrorText(dwError);
            return false;
        }
        if (!ProcessMessages())
            return false;
        ::Sleep(50);
    }
}

// --- starting programs ------------------------------------------------------------

bool TsRunExeFile(const char* pszProgram, const char* pszArgs, const char* pszFolder, bool bDetached,
                  PROCESS_INFORMATION& pi, CString& sError)
{
    TsTrace("RRE: '%s' '%s'\n", "$$$TsRunExeFile: run sExeName='%s' sArgs='%s'\n", pszProgram ? pszProgram : "",
            pszArgs ? pszArgs : "");
    ZeroMemory(&pi, sizeof(pi));
    try {
        STARTUPINFOA si;
        ZeroMemory(&si, sizeof(si));
        si.cb = sizeof(si);
        CString sCmd = CString("\"") + pszProgram + "\" " + pszArgs;
        std::vector<char> cmd(sCmd.c_str(), sCmd.c_str() + sCmd.GetLength() + 1);
        // Before version 6 the program is named in the command line only, as old systems expect.
        const char* pszApplication = OsMajor() >= 6 ? pszProgram : nullptr;
        DWORD dwFlags = NORMAL_PRIORITY_CLASS | (bDetached ? DETACHED_PROCESS : 0);
        if (!::CreateProcessA(pszApplication, cmd.data(), nullptr, nullptr, FALSE, dwFlags, nullptr,
                              IsEmptyText(pszFolder) ? nullptr : pszFolder, &si, &pi)) {
            sError = CString("Failed to run ") + pszProgram + "\nReason: " + ErrorText(::GetLastError());
            ZeroMemory(&pi, sizeof(pi));
            return false;
        }
        return true;
    } catch (...) {
        sError = CString("TsRunExeFile: crash while trying to run ") + pszProgram;
        TsTrace("!EX: %s\n", "!!!TsRunExeFile: %s\n", sError.c_str());
        return false;
    }
}

bool TsRunExe(const char* pszProgram, const char* pszArgs, const char* pszFolder, CString& sError)
{
    PROCESS_INFORMATION pi;
    if (!TsRunExeFile(pszProgram, pszArgs, IsEmptyText(pszFolder) ? nullptr : pszFolder, false, pi, sError))
        return false;
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    return true;
}

bool TsRunExeFileAndWait(const char* pszProgram, const char* pszArgs, bool bDetached, bool bPumpMessages,
                         DWORD& dwExitCode, CString& sError, DWORD dwLimitMs)
{
    PROCESS_INFORMATION pi;
    if (!TsRunExeFile(pszProgram, pszArgs, nullptr, bDetached, pi, sError))
        return false;
    CUniqueHandle process(pi.hProcess);
    CUniqueHandle thread(pi.hThread);
    if (!WaitForProgram(process.Get(), pszProgram, bPumpMessages, "TsRunExeFileAndWait", dwLimitMs, sError))
        return false;
    if (!::GetExitCodeProcess(process.Get(), &dwExitCode)) {
        sError = CString("Cannot get the exit code of ") + pszProgram + "\nReason: " + LastErrorText();
        return false;
    }
    return true;
}

bool TsShellExecute(const char* pszFile, const char* pszParameters, const char* pszFolder, const char* pszVerb,
                    bool bWait, bool bPumpMessages, DWORD& dwExitCode, CString& sError, DWORD dwLimitMs)
{
    SHELLEXECUTEINFOA sei;
    ZeroMemory(&sei, sizeof(sei));
    sei.cbSize = sizeof(sei);
    // No shell error box: the caller decides what the user sees.
    sei.fMask = SEE_MASK_FLAG_NO_UI | (bWait ? SEE_MASK_NOCLOSEPROCESS : 0);
    sei.lpVerb = IsEmptyText(pszVerb) ? nullptr : pszVerb;
    sei.lpFile = pszFile;
    sei.lpParameters = IsEmptyText(pszParameters) ? nullptr : pszParameters;
    sei.lpDirectory = IsEmptyText(pszFolder) ? nullptr : pszFolder;
    sei.nShow = SW_SHOWNORMAL;
    BOOL bOk;
    DWORD dwError = 0;
    try {
        ::SetLastError(0);
        bOk = ::ShellExecuteExA(&sei);
        dwError = ::GetLastError();
    } catch (...) {
        bOk = FALSE;
    }
    CUniqueHandle process(sei.hProcess);
    if (!bOk) {
        sError = CString("Failed to run ") + pszFile;
        if (dwError)
            sError += "\nReason: " + ErrorText(dwError);
        return false;
    }
    if (bWait && process) {
        if (!WaitForProgram(process.Get(), pszFile, bPumpMessages, "TsShellExecute", dwLimitMs, sError))
            return false;
        ::GetExitCodeProcess(process.Get(), &dwExitCode);
    }
    return true;
}

bool IsProcessElevated(bool& bElevated)
{
    bElevated = false;
    CTsAdvApi& api = TsGetAdvApi();
    if (!api.pfnOpenProcessToken || !api.pfnGetTokenInformation)
        return false;
    HANDLE hToken = nullptr;
    if (!api.pfnOpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &hToken))
        return false;
    CUniqueHandle token(hToken);
    TOKEN_ELEVATION elevation = {};
    DWORD cb = 0;
    if (!api.pfnGetTokenInformation(token.Get(), TokenElevation, &elevation, sizeof(elevation), &cb))
        return false;
    bElevated = elevation.TokenIsElevated != 0;
    return true;
}

bool TsRunElevated(const char* pszProgram, const char* pszArgs, const char* pszFolder, CString& sError)
{
    bool bElevated = false;
    if (OsMajor() >= 6 && IsProcessElevated(bElevated) && !bElevated) {
        DWORD dwExitCode = 0;
        return TsShellExecute(pszProgram, pszArgs, pszFolder, "runas", false, false, dwExitCode, sError);
    }
    return TsRunExe(pszProgram, pszArgs, pszFolder, sError);
}

bool TsRunAsStandardUser(const char* pszProgram, const char* pszArgs, const char* pszFolder, CString& sError)
{
    bool bElevated = false;
    if (OsMajor() >= 6 && TsIsUacEnabled() && IsProcessElevated(bElevated) && bElevated) {
        if (RegisterRunAsStdUserTask(kTsRunAsStdUserTaskName, pszProgram, pszArgs, pszFolder))
            return true;
        sError.Format("Can not run '%s' via TaskSheduler: '%s'", pszProgram ? pszProgram : "", LastErrorText().c_str());
        return false;
    }
    return TsRunExe(pszProgram, pszArgs, pszFolder, sError);
}

bool RegisterRunAsStdUserTask(const char* pszTaskName, const char* pszProgram, const char* pszArgs,
                              const char* pszFolder)
{
    if (OsMajor() < 6)
        return false;
    ITaskService* pService = nullptr;
    HRESULT hr = ::CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskService,
                                    reinterpret_cast<void**>(&pService));
    if (!StepOk("CoCreateInstance", SUCCEEDED(hr) && !pService ? E_POINTER : hr))
        return false;
    CComRef<ITaskService> service(pService);
    return RegisterRunAsStdUserTask(service.Get(), pszTaskName, pszProgram, pszArgs, pszFolder);
}

bool RegisterRunAsStdUserTask(ITaskService* pService, const char* pszTaskName, const char* pszProgram,
                              const char* pszArgs, const char* pszFolder)
{
    if (!pService)
        return false;
    // Local machine, current user.
    if (!StepOk("Connect", pService->Connect(CVariant(), CVariant(), CVariant(), CVariant())))
        return false;

    CComRef<ITaskFolder> root;
    if (!Obtain("GetFolder", root, [&](ITaskFolder** pp) { return pService->GetFolder(CBstr("\\"), pp); }))
        return false;
    CBstr name(pszTaskName);
    root.Get()->DeleteTask(name, 0);   // a task left from an earlier start may or may not be there

    CComRef<ITaskDefinition> definition;
    if (!Obtain("NewTask", definition, [&](ITaskDefinition** pp) { return pService->NewTask(0, pp); }) ||
        !FillTaskDefinition(definition.Get(), pszProgram, pszArgs, pszFolder))
        return false;

    CComRef<IRegisteredTask> registered;
    return Obtain("RegisterTaskDefinition", registered, [&](IRegisteredTask** pp) {
        return root.Get()->RegisterTaskDefinition(name, definition.Get(), TASK_CREATE_OR_UPDATE, CVariant(),
                                                   CVariant(), TASK_LOGON_INTERACTIVE_TOKEN, CVariant(""), pp);
    });
}

// --- the program's own folder and version resources --------------------------------

bool GetModuleFolder(CString& sFolder, CString& sError)
{
    // In wide characters, so that a folder name outside the ANSI code page comes out as its
    // short form rather than as question marks or a look-alike of another folder.
    using GetLongPathWFn = DWORD(WINAPI*)(LPCWSTR, LPWSTR, DWORD);
    HMODULE hKernel = ::GetModuleHandleA("kernel32.dll");
    auto pfnLongW = hKernel ? reinterpret_cast<GetLongPathWFn>(
                                  reinterpret_cast<void*>(::GetProcAddress(hKernel, "GetLongPathNameW")))
                            : nullptr;
    wchar_t wszName[MAX_PATH] = L"";
    DWORD n = ::GetModuleFileNameW(nullptr, wszName, MAX_PATH);
    if (!pfnLongW || (n == 0 && ::GetLastError() == ERROR_CALL_NOT_IMPLEMENTED))
        return GetModuleFolderAnsi(sFolder, sError);
    if (n == 0 || n >= MAX_PATH) {
        sError = "Tessaly cannot get module file name";
        return false;
    }
    wchar_t wszLong[MAX_PATH] = L"";
    DWORD nLong = pfnLongW(wszName, wszLong, MAX_PATH);
    CString sLong;
    if (nLong == 0 || nLong >= MAX_PATH || !TsExactAnsiPath(wszLong, sLong)) {
        sError = "Tessaly cannot get long path name from " + TsUtf8Of(wszName);
        return false;
    }
    int nLast = sLong.ReverseFind('\\');
    if (nLast < 1) {
        sError = "Tessaly cannot get folder name from " + sLong;
        return false;
    }
    sFolder = sLong.Left(nLast);
    return true;
}

bool ReadFileVersionInfo(const char* pszPath, VS_FIXEDFILEINFO* pFixedInfo, CString* psProductName,
                         CString* psProductVersion, CString* psFileVersion)
{
    if (pFixedInfo)
        ZeroMemory(pFixedInfo, sizeof(*pFixedInfo));
    if (psProductName)
        psProductName->Empty();
    if (psProductVersion)
        psProductVersion->Empty();
    if (psFileVersion)
        psFileVersion->Empty();

    DWORD dwHandle = 0;
    DWORD dwSize = ::GetFileVersionInfoSizeA(pszPath, &dwHandle);
    if (dwSize == 0)
        return false;
    SOFTASSERT(dwSize <= kMaxVersionResource);
    if (dwSize > kMaxVersionResource)
        return false;
    std::vector<char> data(kMaxVersionResource, '\0');
    if (!::GetFileVersionInfoA(pszPath, 0, kMaxVersionResource, data.data()))
        return false;

    void* pValue = nullptr;
    UINT nLength = 0;
    if (pFixedInfo && ::VerQueryValueA(data.data(), "\\", &pValue, &nLength) && pValue &&
        nLength >= sizeof(VS_FIXEDFILEINFO)) {
        const auto* pFixed = static_cast<const VS_FIXEDFILEINFO*>(pValue);
        if (pFixed->dwSignature == 0xFEEF04BD)
            *pFixedInfo = *pFixed;
    }
    struct {
        CString* pOut;
        const char* pszKey;
    } const kStrings[] = {
        {psProductName, "\\StringFileInfo\\000004b0\\ProductName"},
        {psProductVersion, "\\StringFileInfo\\000004b0\\ProductVersion"},
        {psFileVersion, "\\StringFileInfo\\000004b0\\FileVersion"},
    };
    for (const auto& item : kStrings) {
        if (item.pOut && ::VerQueryValueA(data.data(), item.pszKey, &pValue, &nLength) && pValue && nLength > 0)
            *item.pOut = CString(static_cast<const char*>(pValue), static_cast<int>(strnlen(static_cast<const char*>(pValue), nLength)));
    }
    return true;
}

bool GetFileVersion(const char* pszPath, DWORD& dwMs, DWORD& dwLs)
{
    VS_FIXEDFILEINFO fixed;
    if (!ReadFileVersionInfo(pszPath, &fixed, nullptr, nullptr, nullptr) || fixed.dwSignature != 0xFEEF04BD)
        return false;
    dwMs = fixed.dwFileVersionMS;
    dwLs = fixed.dwFileVersionLS;
    return true;
}

HMODULE TsLoadLibrary(const char* pszName)
{
    static COwnActivationContext s_context;
    return s_context.Load(pszName);
}
