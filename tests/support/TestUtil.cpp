#include "TestUtil.h"

#include <cstdlib>
#include <vector>

namespace testutil {

CTempDir::CTempDir()
{
    char szTemp[MAX_PATH];
    ::GetTempPathA(MAX_PATH, szTemp);
    static LONG s_n = 0;
    char szName[MAX_PATH];
    wsprintfA(szName, "%swft%lu_%ld_%lu", szTemp, ::GetCurrentProcessId(), ::InterlockedIncrement(&s_n),
              ::GetTickCount());
    m_path = szName;
    CreateFolders(m_path);
}

CTempDir::~CTempDir()
{
    RemoveTree(m_path);
}

bool CreateFolders(const std::string& path)
{
    if (path.empty() || FolderExists(path))
        return true;
    size_t pos = path.find_last_of("\\/");
    if (pos != std::string::npos && pos > 2)
        CreateFolders(path.substr(0, pos));
    return ::CreateDirectoryA(path.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS;
}

bool WriteFileBytes(const std::string& path, const std::string& bytes)
{
    size_t pos = path.find_last_of("\\/");
    if (pos != std::string::npos)
        CreateFolders(path.substr(0, pos));
    HANDLE h = ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    DWORD n = 0;
    BOOL ok = ::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr);
    ::CloseHandle(h);
    return ok && n == bytes.size();
}

bool ReadFileBytes(const std::string& path, std::string& bytes)
{
    bytes.clear();
    HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    char buf[65536];
    DWORD n = 0;
    while (::ReadFile(h, buf, sizeof(buf), &n, nullptr) && n > 0)
        bytes.append(buf, n);
    ::CloseHandle(h);
    return true;
}

std::string ReadFileOrEmpty(const std::string& path)
{
    std::string s;
    ReadFileBytes(path, s);
    return s;
}

bool FileExists(const std::string& path)
{
    DWORD a = ::GetFileAttributesA(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool FolderExists(const std::string& path)
{
    DWORD a = ::GetFileAttributesA(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

void RemoveTree(const std::string& path)
{
    DWORD a = ::GetFileAttributesA(path.c_str());
    if (a == INVALID_FILE_ATTRIBUTES)
        return;
    if ((a & FILE_ATTRIBUTE_DIRECTORY) && !(a & FILE_ATTRIBUTE_REPARSE_POINT)) {
        WIN32_FIND_DATAA fd;
        HANDLE h = ::FindFirstFileA((path + "\\*").c_str(), &fd);
        if (h != INVALID_HANDLE_VALUE) {
            do {
                std::string name = fd.cFileName;
                if (name != "." && name != "..")
                    RemoveTree(path + "\\" + name);
            } while (::FindNextFileA(h, &fd));
            ::FindClose(h);
        }
        ::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::RemoveDirectoryA(path.c_str());
    } else if (a & FILE_ATTRIBUTE_DIRECTORY) {
        ::RemoveDirectoryA(path.c_str());
    } else {
        ::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileA(path.c_str());
    }
}

std::string ModuleFolder()
{
    char sz[MAX_PATH];
    DWORD n = ::GetModuleFileNameA(nullptr, sz, MAX_PATH);
    std::string s(sz, n);
    return s.substr(0, s.find_last_of('\\'));
}

DWORD WindowsMajor()
{
    return LOBYTE(LOWORD(::GetVersion()));
}

int RunAndWait(const std::string& cmdLine, DWORD dwTimeoutMs, const char* pszCurrentDir)
{
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    std::vector<char> cmd(cmdLine.begin(), cmdLine.end());
    cmd.push_back(0);
    if (!::CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, pszCurrentDir, &si, &pi))
        return -1;
    ::CloseHandle(pi.hThread);
    int rc;
    if (::WaitForSingleObject(pi.hProcess, dwTimeoutMs) != WAIT_OBJECT_0) {
        ::TerminateProcess(pi.hProcess, 1);
        rc = -2;
    } else {
        DWORD code = 0;
        ::GetExitCodeProcess(pi.hProcess, &code);
        rc = static_cast<int>(code);
    }
    ::CloseHandle(pi.hProcess);
    return rc;
}

CGuardedPage::CGuardedPage()
{
    SYSTEM_INFO si;
    ::GetSystemInfo(&si);
    m_pBase = static_cast<char*>(::VirtualAlloc(nullptr, 2 * si.dwPageSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    DWORD dwOld;
    if (m_pBase && ::VirtualProtect(m_pBase + si.dwPageSize, si.dwPageSize, PAGE_NOACCESS, &dwOld))
        m_pEnd = m_pBase + si.dwPageSize;
}

CGuardedPage::~CGuardedPage()
{
    if (m_pBase)
        ::VirtualFree(m_pBase, 0, MEM_RELEASE);
}

namespace {

using UnixNameFn = char*(CDECL*)(const WCHAR*);

UnixNameFn WineUnixName()
{
    return reinterpret_cast<UnixNameFn>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
}

// The Unix path of a Windows path whose last part need not exist.
std::string UnixPath(const std::string& s)
{
    size_t nSlash = s.find_last_of('\\');
    WCHAR wsz[MAX_PATH];
    ::MultiByteToWideChar(CP_ACP, 0, s.substr(0, nSlash).c_str(), -1, wsz, MAX_PATH);
    char* p = WineUnixName()(wsz);
    std::string r = p ? p : "";
    ::HeapFree(::GetProcessHeap(), 0, p);
    return r + "/" + s.substr(nSlash + 1);
}

}  // namespace

std::string UnixPathOf(const std::string& sPath)
{
    return WineUnixName() ? UnixPath(sPath) : std::string();
}

int RunUnixCommand(const std::string& sCommand)
{
    if (!WineUnixName())
        return -1;
    // Wine does not wait for a Unix program it starts: the command leaves a mark when done.
    char szTemp[MAX_PATH];
    ::GetTempPathA(MAX_PATH, szTemp);
    static int s_nRun = 0;
    std::string sMark = std::string(szTemp) + "unixrun-" + std::to_string(::GetCurrentProcessId()) + "-" +
                        std::to_string(++s_nRun);
    std::string sUnixMark = UnixPath(sMark);
    RunAndWait("Z:\\bin\\sh -c \"" + sCommand + "; echo $? > '" + sUnixMark + "'\"");
    for (int i = 0; i < 1000; ++i) {
        std::string sCode;
        if (ReadFileBytes(sMark, sCode) && !sCode.empty() && sCode.back() == '\n') {
            ::DeleteFileA(sMark.c_str());
            return std::atoi(sCode.c_str());
        }
        ::Sleep(20);
    }
    return -1;
}

CSmallVolume::CSmallVolume(const std::string& sFolder, const char* pszSize)
{
    std::string sUnix = UnixPathOf(sFolder);
    if (!sUnix.empty() && RunUnixCommand("mount -t tmpfs -o size=" + std::string(pszSize) + " tmpfs '" + sUnix + "'") == 0)
        m_sUnix = sUnix;
}

CSmallVolume::~CSmallVolume()
{
    if (Mounted())
        RunUnixCommand("umount '" + m_sUnix + "'");
}

bool CSmallVolume::Fill(const std::string& sFile) const
{
    // dd ends with an error when the volume is full: that is the point.
    return Mounted() && RunUnixCommand("dd if=/dev/zero of='" + m_sUnix + "/" + sFile + "' bs=4k 2>/dev/null; df '" +
                                       m_sUnix + "' | tail -1 | awk '{ exit $4 != 0 }'") == 0;
}

bool MakeFolderLink(const std::string& sLink, const std::string& sTarget)
{
    if (!WineUnixName())
        return RunAndWait("cmd /c mklink /J \"" + sLink + "\" \"" + sTarget + "\"") == 0;
    // Wine runs a Unix program named by its path; its process handle does not wait for the
    // program, so the link is awaited.
    RunAndWait("Z:\\bin\\ln -s \"" + UnixPath(sTarget) + "\" \"" + UnixPath(sLink) + "\"");
    for (int i = 0; i < 250; ++i) {
        DWORD dwAttr = ::GetFileAttributesA(sLink.c_str());
        if (dwAttr != INVALID_FILE_ATTRIBUTES && (dwAttr & FILE_ATTRIBUTE_REPARSE_POINT))
            return true;
        ::Sleep(20);
    }
    return false;
}

void RemoveFolderLink(const std::string& sLink)
{
    if (!WineUnixName()) {
        ::RemoveDirectoryA(sLink.c_str());
        return;
    }
    RunAndWait("Z:\\bin\\rm -f \"" + UnixPath(sLink) + "\"");
    for (int i = 0; i < 250 && ::GetFileAttributesA(sLink.c_str()) != INVALID_FILE_ATTRIBUTES; ++i)
        ::Sleep(20);
}

}  // namespace testutil
