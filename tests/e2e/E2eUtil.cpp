#include "E2eUtil.h"

#include "TestUtil.h"

namespace e2e {

namespace {

const char kMutexName[] = "{7D3E92A1-B64C-11D3-8F2A-31C9E7D05B66} Interprocess";
const char kMappingName[] = "{7D3E92A1-B64C-11D3-8F2A-31C9E7D05B66} SharedData";
const DWORD kBlockSize = 11984;

// Opens the block only when some process holds it, so that reading never keeps it alive.
template <class F> bool WithBlock(F f)
{
    HANDLE hMapping = ::OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, kMappingName);
    if (!hMapping)
        return false;
    BYTE* p = static_cast<BYTE*>(::MapViewOfFile(hMapping, FILE_MAP_ALL_ACCESS, 0, 0, kBlockSize));
    if (p) {
        HANDLE hMutex = ::CreateMutexA(nullptr, FALSE, kMutexName);
        DWORD dwWait = hMutex ? ::WaitForSingleObject(hMutex, 10000) : WAIT_FAILED;
        f(p);
        if (dwWait == WAIT_OBJECT_0 || dwWait == WAIT_ABANDONED)
            ::ReleaseMutex(hMutex);
        if (hMutex)
            ::CloseHandle(hMutex);
        ::UnmapViewOfFile(p);
    }
    ::CloseHandle(hMapping);
    return p != nullptr;
}

}  // namespace

std::string BuildFolder()
{
    // The test program lives in <build>\tests\e2e.
    std::string s = testutil::ModuleFolder();
    for (int i = 0; i < 2; ++i)
        s = s.substr(0, s.find_last_of('\\'));
    return s;
}

std::string StandInPath(const char* pszName)
{
    return BuildFolder() + "\\standins\\" + pszName + ".exe";
}

std::vector<std::string> ReadRecord(const std::string& sProgramPath)
{
    std::vector<std::string> lines;
    std::string s = testutil::ReadFileOrEmpty(sProgramPath + ".rec");
    size_t nPos = 0;
    while (nPos < s.size()) {
        size_t nEnd = s.find("\r\n", nPos);
        if (nEnd == std::string::npos)
            nEnd = s.size();
        lines.push_back(s.substr(nPos, nEnd - nPos));
        nPos = nEnd + 2;
    }
    return lines;
}

bool RecordHas(const std::string& sProgramPath, const std::string& sLine)
{
    for (const std::string& s : ReadRecord(sProgramPath))
        if (s == sLine)
            return true;
    return false;
}

bool WaitForRecord(const std::string& sProgramPath, const std::string& sLine, DWORD dwTimeoutMs)
{
    DWORD dwStart = ::GetTickCount();
    for (;;) {
        if (RecordHas(sProgramPath, sLine))
            return true;
        if (::GetTickCount() - dwStart > dwTimeoutMs)
            return false;
        ::Sleep(50);
    }
}

WatcherField ReadWatcherField()
{
    WatcherField w;
    WithBlock([&](BYTE* p) {
        w.hWnd = static_cast<HWND>(LongToHandle(*reinterpret_cast<LONG*>(p + 228)));
        w.dwCompanion = *reinterpret_cast<DWORD*>(p + 3488);
    });
    return w;
}

void WriteWatcherField(HWND hWnd, DWORD dwCompanion)
{
    WithBlock([&](BYTE* p) {
        *reinterpret_cast<LONG*>(p + 228) = HandleToLong(hWnd);
        *reinterpret_cast<DWORD*>(p + 3488) = dwCompanion;
    });
}

HWND WaitForWatcher(DWORD dwTimeoutMs)
{
    DWORD dwStart = ::GetTickCount();
    for (;;) {
        HWND h = ReadWatcherField().hWnd;
        if (h && ::IsWindow(h))
            return h;
        if (::GetTickCount() - dwStart > dwTimeoutMs)
            return nullptr;
        ::Sleep(50);
    }
}

CChild::~CChild()
{
    if (!m_h)
        return;
    if (::WaitForSingleObject(m_h, 0) == WAIT_TIMEOUT) {
        ::TerminateProcess(m_h, 99);
        ::WaitForSingleObject(m_h, 5000);
    }
    ::CloseHandle(m_h);
}

HANDLE StartProcess(const std::string& sProgram, const std::string& sArgs, const std::string& sFolder)
{
    std::string sCmd = "\"" + sProgram + "\"";
    if (!sArgs.empty())
        sCmd += " " + sArgs;
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!::CreateProcessA(sProgram.c_str(), &sCmd[0], nullptr, nullptr, FALSE, 0, nullptr,
                          sFolder.empty() ? nullptr : sFolder.c_str(), &si, &pi))
        return nullptr;
    ::CloseHandle(pi.hThread);
    return pi.hProcess;
}

bool WaitForExit(HANDLE hProcess, DWORD dwTimeoutMs, DWORD* pdwExitCode)
{
    if (::WaitForSingleObject(hProcess, dwTimeoutMs) != WAIT_OBJECT_0)
        return false;
    if (pdwExitCode)
        ::GetExitCodeProcess(hProcess, pdwExitCode);
    return true;
}

}  // namespace e2e
