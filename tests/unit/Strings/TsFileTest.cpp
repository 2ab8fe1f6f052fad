#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>
#include <taskschd.h>

#include <string>
#include <thread>

#include "Strings/TsFile.h"
#include "Strings/TsLog.h"
#include "TestUtil.h"

using testutil::CTempDir;
using testutil::WriteFileBytes;

namespace {

std::string ErrorText(DWORD dwCode)
{
    CString s;
    GetErrorText(s, dwCode);
    return s.c_str();
}

std::string ProcPath()
{
    return testutil::ModuleFolder() + "\\tsproc.exe";
}

std::string TraceText()
{
    CString s;
    TsGetTraceText(s);
    return s.c_str();
}

bool WaitForFile(const std::string& path, DWORD dwTimeoutMs = 20000)
{
    for (DWORD dwStart = ::GetTickCount(); ::GetTickCount() - dwStart < dwTimeoutMs; ::Sleep(50)) {
        if (testutil::FileExists(path) && !testutil::ReadFileOrEmpty(path).empty())
            return true;
    }
    return false;
}

// Starts the task scheduler service and waits until it runs. A fresh Wine prefix starts it
// on first use with a one-second allowance, which a busy machine can miss.
bool EnsureTaskServiceRunning()
{
    SC_HANDLE hScm = ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!hScm)
        return false;
    SC_HANDLE hService = ::OpenServiceA(hScm, "Schedule", SERVICE_START | SERVICE_QUERY_STATUS);
    bool bRunning = false;
    if (hService) {
        ::StartServiceA(hService, 0, nullptr);
        for (DWORD dwStart = ::GetTickCount(); ::GetTickCount() - dwStart < 60000; ::Sleep(100)) {
            SERVICE_STATUS status;
            if (!::QueryServiceStatus(hService, &status))
                break;
            if (status.dwCurrentState == SERVICE_RUNNING) {
                bRunning = true;
                break;
            }
        }
        ::CloseServiceHandle(hService);
    }
    ::CloseServiceHandle(hScm);
    return bRunning;
}

// COM for the tests that talk to the task service.
class CComScope {
public:
    CComScope() : m_hr(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ~CComScope()
    {
        if (SUCCEEDED(m_hr))
            ::CoUninitialize();
    }
private:
    HRESULT m_hr;
};

// Whether the scheduler's root folder holds a task of that name.
bool TaskExists(const char* pszName)
{
    ITaskService* pService = nullptr;
    if (FAILED(::CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskService,
                                  reinterpret_cast<void**>(&pService))))
        return false;
    VARIANT empty;
    ::VariantInit(&empty);
    bool bExists = false;
    ITaskFolder* pFolder = nullptr;
    BSTR root = ::SysAllocString(L"\\");
    std::wstring wName(pszName, pszName + strlen(pszName));
    BSTR name = ::SysAllocString(wName.c_str());
    if (SUCCEEDED(pService->Connect(empty, empty, empty, empty)) && SUCCEEDED(pService->GetFolder(root, &pFolder))) {
        IRegisteredTask* pTask = nullptr;
        bExists = SUCCEEDED(pFolder->GetTask(name, &pTask)) && pTask;
        if (pTask)
            pTask->Release();
        pFolder->Release();
    }
    ::SysFreeString(root);
    ::SysFreeString(name);
    pService->Release();
    return bExists;
}

}  // namespace

// --- files and folders -------------------------------------------------------------

TEST(TsFile, FolderOfPath)
{
    EXPECT_STREQ("C:\\a", GetFolderOfPath("C:\\a\\b.txt", false));
    EXPECT_STREQ("C:\\a\\", GetFolderOfPath("C:\\a\\b.txt", true));

    TsTraceReset();
    EXPECT_STREQ("", GetFolderOfPath("b.txt", true));
    EXPECT_NE(std::string::npos, TraceText().find("!!!SA Strings/TsFile.cpp")) << TraceText();
    TsTraceReset();
    EXPECT_STREQ("\\", GetFolderOfPath("\\b.txt", true));
    EXPECT_STREQ("", GetFolderOfPath("\\b.txt", false));
    EXPECT_NE(std::string::npos, TraceText().find("!!!SA ")) << TraceText();
}

TEST(TsFile, CreateFolderMakesEveryMissingLevel)
{
    CTempDir dir;
    CString sError;
    ASSERT_TRUE(testutil::CreateFolders(dir / "a"));
    EXPECT_TRUE(CreateFolder((dir / "a\\b\\c").c_str(), sError)) << sError.c_str();
    EXPECT_TRUE(testutil::FolderExists(dir / "a\\b\\c"));

    // A trailing backslash is an empty last component: the walk ends there.
    EXPECT_TRUE(CreateFolder((dir / "d\\e\\").c_str(), sError));
    EXPECT_TRUE(testutil::FolderExists(dir / "d\\e"));
    // An empty component in the middle ends the walk too.
    EXPECT_TRUE(CreateFolder((dir / "f\\\\g").c_str(), sError));
    EXPECT_TRUE(testutil::FolderExists(dir / "f"));
    EXPECT_FALSE(testutil::FolderExists(dir / "f\\g"));
    // A server name alone has nothing to create.
    EXPECT_TRUE(CreateFolder("\\\\server", sError));

    ASSERT_TRUE(WriteFileBytes(dir / "file", "x"));
    sError.Empty();
    EXPECT_FALSE(CreateFolder((dir / "file\\sub").c_str(), sError));
    EXPECT_EQ("Can not create folder " + (dir / "file") + ": " + ErrorText(ERROR_ALREADY_EXISTS), sError.c_str());
}

TEST(TsFile, CopyAndMove)
{
    CTempDir dir;
    const std::string src = dir / "src.txt", dst = dir / "dst.txt";
    ASSERT_TRUE(WriteFileBytes(src, "source"));
    CString sError;
    EXPECT_TRUE(TsCopyFile(src.c_str(), dst.c_str(), false, true, false, false, sError)) << sError.c_str();
    EXPECT_EQ("source", testutil::ReadFileOrEmpty(dst));

    ASSERT_TRUE(WriteFileBytes(src, "second"));
    EXPECT_FALSE(TsCopyFile(src.c_str(), dst.c_str(), false, true, false, false, sError));
    EXPECT_EQ("Cannot copy file '" + src + "' to '" + dst + "': " + ErrorText(ERROR_FILE_EXISTS), sError.c_str());
    EXPECT_EQ("source", testutil::ReadFileOrEmpty(dst));
    EXPECT_TRUE(TsCopyFile(src.c_str(), dst.c_str(), false, false, false, true, sError));
    EXPECT_EQ("second", testutil::ReadFileOrEmpty(dst));

    const std::string deep = dir / "new\\folder\\copy.txt";
    EXPECT_FALSE(TsCopyFile(src.c_str(), deep.c_str(), false, false, false, false, sError));
    EXPECT_EQ("Cannot copy file '" + src + "' to '" + deep + "': " + ErrorText(ERROR_PATH_NOT_FOUND), sError.c_str());
    EXPECT_TRUE(TsCopyFile(src.c_str(), deep.c_str(), false, false, true, false, sError)) << sError.c_str();
    EXPECT_EQ("second", testutil::ReadFileOrEmpty(deep));

    // Moving replaces the target unless asked not to.
    const std::string moved = dir / "moved.txt";
    ASSERT_TRUE(WriteFileBytes(moved, "old"));
    EXPECT_FALSE(TsCopyFile(src.c_str(), moved.c_str(), true, true, false, false, sError));
    EXPECT_EQ("Cannot copy file '" + src + "' to '" + moved + "': " + ErrorText(ERROR_ALREADY_EXISTS), sError.c_str());
    EXPECT_TRUE(TsCopyFile(src.c_str(), moved.c_str(), true, false, false, false, sError)) << sError.c_str();
    EXPECT_EQ("second", testutil::ReadFileOrEmpty(moved));
    EXPECT_FALSE(testutil::FileExists(src));

    EXPECT_FALSE(TsCopyFile(src.c_str(), dst.c_str(), false, false, false, false, sError));
    EXPECT_EQ("Cannot copy file '" + src + "' to '" + dst + "': " + ErrorText(ERROR_FILE_NOT_FOUND), sError.c_str());
}

TEST(TsFile, DeleteFile)
{
    CTempDir dir;
    ASSERT_TRUE(WriteFileBytes(dir / "a.txt", "x"));
    CString sError;
    EXPECT_TRUE(TsDeleteFile((dir / "a.txt").c_str(), sError));
    EXPECT_FALSE(testutil::FileExists(dir / "a.txt"));
    EXPECT_FALSE(TsDeleteFile((dir / "a.txt").c_str(), sError));
    EXPECT_EQ("Can not delete file " + (dir / "a.txt") + "\n" + ErrorText(ERROR_FILE_NOT_FOUND), sError.c_str());
}

TEST(TsFile, ExclusiveOpenProbe)
{
    CTempDir dir;
    const std::string probe = dir / "_xxx.xxx";
    EXPECT_TRUE(TryOpenFileExclusive(probe.c_str(), true));
    EXPECT_FALSE(testutil::FileExists(probe));
    EXPECT_TRUE(TryOpenFileExclusive(probe.c_str(), false));
    EXPECT_TRUE(testutil::FileExists(probe));   // left behind, empty
    EXPECT_EQ("", testutil::ReadFileOrEmpty(probe));

    const std::string held = dir / "held.dat";
    ASSERT_TRUE(WriteFileBytes(held, "content"));
    EXPECT_TRUE(TryOpenFileExclusive(held.c_str(), false));
    EXPECT_EQ("content", testutil::ReadFileOrEmpty(held));   // opening changes nothing
    HANDLE h = ::CreateFileA(held.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_FALSE(TryOpenFileExclusive(held.c_str(), false));
    EXPECT_FALSE(TryOpenFileExclusive(held.c_str(), true));
    ::CloseHandle(h);
    EXPECT_FALSE(TryOpenFileExclusive((dir / "missing\\x").c_str(), true));
}

TEST(TsFile, WaitForFileUnlocked)
{
    CTempDir dir;
    const std::string file = dir / "locked.dat";
    int nTries = -1;
    EXPECT_TRUE(WaitForFileUnlocked(file.c_str(), nTries, 5, 10));   // missing
    EXPECT_EQ(0, nTries);
    EXPECT_TRUE(WaitForFileUnlocked(dir.Path().c_str(), nTries, 5, 10));   // a folder
    ASSERT_TRUE(WriteFileBytes(file, "x"));
    EXPECT_FALSE(WaitForFileUnlocked(file.c_str(), nTries, 0, 10));

    HANDLE h = ::CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    DWORD dwStart = ::GetTickCount();
    EXPECT_FALSE(WaitForFileUnlocked(file.c_str(), nTries, 5, 40));
    EXPECT_EQ(5, nTries);
    EXPECT_GE(::GetTickCount() - dwStart, 180u);

    // Freed by another thread while waiting.
    std::thread releaser([h] {
        ::Sleep(150);
        ::CloseHandle(h);
    });
    EXPECT_TRUE(WaitForFileUnlocked(file.c_str(), nTries, 200, 20));
    releaser.join();
    EXPECT_GT(nTries, 0);
    EXPECT_LT(nTries, 200);
}

namespace {

int g_nPumped = 0;
LRESULT CALLBACK CountingProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    if (uMsg == WM_USER + 7)
        ++g_nPumped;
    return ::DefWindowProcA(hWnd, uMsg, wParam, lParam);
}

}  // namespace

TEST(TsFile, SleepPumpingDispatchesAndStopsAtQuit)
{
    WNDCLASSA wc = {};
    wc.lpfnWndProc = CountingProc;
    wc.hInstance = ::GetModuleHandleA(nullptr);
    wc.lpszClassName = "TsFileTestCounter";
    ::RegisterClassA(&wc);
    HWND hWnd = ::CreateWindowA(wc.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
    ASSERT_NE(nullptr, hWnd);

    g_nPumped = 0;
    ::PostMessageA(hWnd, WM_USER + 7, 0, 0);
    EXPECT_TRUE(SleepPumping(1, 2, false));
    EXPECT_EQ(0, g_nPumped);
    EXPECT_TRUE(SleepPumping(1, 2, true));
    EXPECT_EQ(1, g_nPumped);

    ::PostQuitMessage(5);
    DWORD dwStart = ::GetTickCount();
    EXPECT_FALSE(SleepPumping(500, 10, true));
    EXPECT_LT(::GetTickCount() - dwStart, 2000u);
    MSG msg;
    ASSERT_TRUE(::PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));   // posted again for the caller
    EXPECT_EQ(5u, msg.wParam);
    ::DestroyWindow(hWnd);
}

// --- starting programs ------------------------------------------------------------

TEST(TsFile, RunAndWaitForExitCode)
{
    for (bool bPump : {false, true}) {
        SCOPED_TRACE(bPump ? "pumping" : "plain wait");
        DWORD dwExit = 0;
        CString sError;
        EXPECT_TRUE(TsRunExeFileAndWait(ProcPath().c_str(), "exit 3", false, bPump, dwExit, sError)) << sError.c_str();
        EXPECT_EQ(3u, dwExit);
    }
    CTempDir dir;
    const std::string missing = dir / "missing.exe";
    DWORD dwExit = 77;
    CString sError;
    EXPECT_FALSE(TsRunExeFileAndWait(missing.c_str(), "", false, true, dwExit, sError));
    EXPECT_EQ("Failed to run " + missing + "\nReason: " + ErrorText(ERROR_FILE_NOT_FOUND), sError.c_str());
}

TEST(TsFile, WaitingEndsAtAQuitMessage)
{
    ::PostQuitMessage(4);
    DWORD dwExit = 0;
    CString sError;
    DWORD dwStart = ::GetTickCount();
    EXPECT_FALSE(TsRunExeFileAndWait(ProcPath().c_str(), "sleep 5000", false, true, dwExit, sError));
    EXPECT_LT(::GetTickCount() - dwStart, 4000u);
    EXPECT_EQ("Stopped waiting for " + ProcPath() + ": this program is closing", sError.c_str());
    MSG msg;
    ASSERT_TRUE(::PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));   // left for the caller's loop
    EXPECT_EQ(4u, msg.wParam);
}

TEST(TsFile, AProgramThatDoesNotEndIsWaitedForUpToTheLimit)
{
    for (bool bPump : {false, true}) {
        SCOPED_TRACE(bPump ? "pumping" : "plain wait");
        DWORD dwExit = 0;
        CString sError;
        EXPECT_FALSE(TsRunExeFileAndWait(ProcPath().c_str(), "sleep 5000", false, bPump, dwExit, sError, 1000));
        EXPECT_EQ("Stopped waiting for " + ProcPath() + ": it did not end within 1 seconds", sError.c_str());
    }
}

TEST(TsFile, RunInAFolderWithArguments)
{
    CTempDir dir;
    const std::string rec = dir / "rec.txt";
    CString sError;
    ASSERT_TRUE(TsRunExe(ProcPath().c_str(), ("record " + rec + " two words").c_str(), dir.Path().c_str(), sError))
        << sError.c_str();
    ASSERT_TRUE(WaitForFile(rec));
    EXPECT_EQ("\"" + ProcPath() + "\" record " + rec + " two words\n" + dir.Path() + "\n", testutil::ReadFileOrEmpty(rec));

    PROCESS_INFORMATION pi;
    ASSERT_TRUE(TsRunExeFile(ProcPath().c_str(), "exit 9", nullptr, true, pi, sError));
    ASSERT_NE(nullptr, pi.hProcess);
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(pi.hProcess, 20000));
    DWORD dwExit = 0;
    ::GetExitCodeProcess(pi.hProcess, &dwExit);
    EXPECT_EQ(9u, dwExit);
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);

    EXPECT_FALSE(TsRunExeFile((dir / "none.exe").c_str(), "", nullptr, false, pi, sError));
    EXPECT_EQ(nullptr, pi.hProcess);
}

TEST(TsFile, ShellExecuteWaitsForTheExitCode)
{
    DWORD dwExit = 0;
    CString sError;
    EXPECT_TRUE(TsShellExecute(ProcPath().c_str(), "exit 7", nullptr, "open", true, true, dwExit, sError))
        << sError.c_str();
    EXPECT_EQ(7u, dwExit);

    CTempDir dir;
    const std::string missing = dir / "missing.exe";
    EXPECT_FALSE(TsShellExecute(missing.c_str(), "", nullptr, nullptr, true, false, dwExit, sError));
    EXPECT_EQ("Failed to run " + missing + "\nReason: " + ErrorText(ERROR_FILE_NOT_FOUND), sError.c_str());
}

TEST(TsFile, ElevatedAndStandardUserStartsGoDirectlyHere)
{
    // Wine runs every process elevated with user account control off: both start the program
    // directly, and no scheduler task is made.
    CComScope com;
    CTempDir dir;
    const std::string recElevated = dir / "elevated.txt", recStandard = dir / "standard.txt";
    CString sError;
    EXPECT_TRUE(TsRunElevated(ProcPath().c_str(), ("record " + recElevated).c_str(), dir.Path().c_str(), sError))
        << sError.c_str();
    EXPECT_TRUE(WaitForFile(recElevated));
    EXPECT_TRUE(TsRunAsStandardUser(ProcPath().c_str(), ("record " + recStandard).c_str(), dir.Path().c_str(), sError))
        << sError.c_str();
    EXPECT_TRUE(WaitForFile(recStandard));
    EXPECT_FALSE(TaskExists(kTsRunAsStdUserTaskName));
}

TEST(TsFile, TaskServiceRefusesTheDefinitionCleanly)
{
    // Wine's scheduler answers E_NOTIMPL to the principal's logon type: the registration
    // must fail there and leave no task behind. Before version 6 there is no Task
    // Scheduler 2.0: the registration fails without asking for it.
    const bool bVista = testutil::WindowsMajor() >= 6;
    ASSERT_TRUE(!bVista || EnsureTaskServiceRunning());
    CComScope com;
    const char kName[] = "Tessaly Test Task";
    TsTraceReset();
    EXPECT_FALSE(RegisterRunAsStdUserTask(kName, ProcPath().c_str(), "exit 0", testutil::ModuleFolder().c_str()));
    if (bVista)
        EXPECT_NE(std::string::npos, TraceText().find("RSUT: put_LogonType 80004001")) << TraceText();
    else
        EXPECT_EQ(std::string::npos, TraceText().find("RSUT")) << TraceText();
    EXPECT_FALSE(TaskExists(kName));
}

// --- the program's own folder and version resources --------------------------------

TEST(TsFile, ModuleFolder)
{
    CString sFolder, sError;
    ASSERT_TRUE(GetModuleFolder(sFolder, sError)) << sError.c_str();
    char szLong[MAX_PATH];
    ASSERT_NE(0u, ::GetLongPathNameA(testutil::ModuleFolder().c_str(), szLong, MAX_PATH));
    EXPECT_STREQ(szLong, sFolder);
}

TEST(TsFile, VersionResources)
{
    const std::string wfstart = testutil::ModuleFolder() + "\\..\\starter\\wfstart.exe";
    VS_FIXEDFILEINFO fixed;
    CString sName("stale"), sProduct("stale"), sFile("stale");
    ASSERT_TRUE(ReadFileVersionInfo(wfstart.c_str(), &fixed, &sName, &sProduct, &sFile));
    EXPECT_EQ(0xFEEF04BDu, fixed.dwSignature);
    EXPECT_EQ(0x0006000Au, fixed.dwFileVersionMS);
    EXPECT_EQ(0x00020000u, fixed.dwFileVersionLS);
    EXPECT_STREQ("", sName);   // our programs' strings are in the 040904b0 table, not read here
    DWORD dwMs = 0, dwLs = 0;
    EXPECT_TRUE(GetFileVersion(wfstart.c_str(), dwMs, dwLs));
    EXPECT_EQ(0x0006000Au, dwMs);
    EXPECT_EQ(0x00020000u, dwLs);

    const std::string small = testutil::ModuleFolder() + "\\tsver_small.dll";
    ASSERT_TRUE(ReadFileVersionInfo(small.c_str(), &fixed, &sName, &sProduct, &sFile));
    EXPECT_EQ(0x00010002u, fixed.dwFileVersionMS);
    EXPECT_EQ(0x00030004u, fixed.dwFileVersionLS);
    EXPECT_STREQ("Version Test", sName);
    EXPECT_STREQ("1.2", sProduct);
    EXPECT_STREQ("1.2.3.4", sFile);
    EXPECT_TRUE(ReadFileVersionInfo(small.c_str(), nullptr, nullptr, &sProduct, nullptr));
    EXPECT_STREQ("1.2", sProduct);

    const std::string big = testutil::ModuleFolder() + "\\tsver_big.dll";
    DWORD dwHandle = 0;
    ASSERT_GT(::GetFileVersionInfoSizeA(big.c_str(), &dwHandle), 4096u);
    TsTraceReset();
    EXPECT_FALSE(ReadFileVersionInfo(big.c_str(), &fixed, &sName, &sProduct, &sFile));
    EXPECT_STREQ("", sName);
    EXPECT_EQ(0u, fixed.dwSignature);
    EXPECT_NE(std::string::npos, TraceText().find("!!!SA Strings/TsFile.cpp")) << TraceText();
    EXPECT_FALSE(GetFileVersion(big.c_str(), dwMs, dwLs));

    EXPECT_FALSE(ReadFileVersionInfo((testutil::ModuleFolder() + "\\none.dll").c_str(), nullptr, nullptr, nullptr, nullptr));
    EXPECT_FALSE(GetFileVersion((testutil::ModuleFolder() + "\\framework_tests.exe").c_str(), dwMs, dwLs));
}

TEST(TsFile, LibrariesLoadInTheProgramsManifestContext)
{
    // The helper carries its manifest as an isolation-aware resource: only TsLoadLibrary
    // gets the side-by-side common controls, a plain load does not.
    EXPECT_EQ(10, testutil::RunAndWait("\"" + ProcPath() + "\" comctl"));
}

// --- downloads ----------------------------------------------------------------------

TEST(TsFile, DownloadToCache)
{
    CTempDir dir;
    ASSERT_TRUE(WriteFileBytes(dir / "report.txt", "report body"));
    std::string url = "file:///" + dir.Path() + "\\report.txt";
    for (bool bWait : {false, true}) {
        SCOPED_TRACE(bWait ? "waiting for the file" : "not waiting");
        CString sLocal, sError;
        ASSERT_TRUE(DownloadToCache(url.c_str(), nullptr, sLocal, bWait, sError)) << sError.c_str();
        EXPECT_EQ("report body", testutil::ReadFileOrEmpty(sLocal.c_str()));
    }

    // Nothing listens on the discard port of this host.
    CString sLocal, sError;
    EXPECT_FALSE(DownloadToCache("http://127.0.0.1:9/report?x=1", nullptr, sLocal, false, sError));
    // Wine's URL library answers E_FAIL and has no text of its own for it.
    EXPECT_STREQ("Cannot connect to server: Error (80004005)", sError);
}
