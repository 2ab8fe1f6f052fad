#include "StandInRecord.h"

#include <cstdio>
#include <string>

namespace standin {

std::string ModulePath()
{
    char szPath[MAX_PATH * 2] = "";
    ::GetModuleFileNameA(nullptr, szPath, sizeof(szPath));
    return szPath;
}

std::string ModuleFolder()
{
    std::string s = ModulePath();
    size_t n = s.find_last_of('\\');
    return n == std::string::npos ? std::string() : s.substr(0, n);
}

std::string CurrentFolder()
{
    char szPath[MAX_PATH * 2] = "";
    ::GetCurrentDirectoryA(sizeof(szPath), szPath);
    std::string s = szPath;
    if (s.size() > 3 && s.back() == '\\')
        s.pop_back();
    return s;
}

// Beside the program, or in the folder WAYFARER_STANDIN_RECORDS names, so that a demo can
// show a host folder as the programs leave it.
std::wstring RecordPath()
{
    // The record is found even when the folder's name has no ANSI form.
    wchar_t wszPath[MAX_PATH * 2] = L"";
    ::GetModuleFileNameW(nullptr, wszPath, MAX_PATH * 2 - 8);
    std::wstring sPath = wszPath;
    wchar_t wszFolder[MAX_PATH] = L"";
    DWORD n = ::GetEnvironmentVariableW(L"WAYFARER_STANDIN_RECORDS", wszFolder, MAX_PATH);
    if (n > 0 && n < MAX_PATH) {
        std::wstring sFolder = wszFolder;
        if (sFolder.back() != L'\\')
            sFolder += L'\\';
        sPath = sFolder + sPath.substr(sPath.find_last_of(L'\\') + 1);
    }
    return sPath + L".rec";
}

void Record(const std::string& sLine)
{
    const std::wstring sPath = RecordPath();
    // Several instances may write at once: retry while another one holds the file.
    for (int nTry = 0; nTry < 50; ++nTry) {
        HANDLE h = ::CreateFileW(sPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            std::string s = sLine + "\r\n";
            DWORD n = 0;
            ::WriteFile(h, s.data(), static_cast<DWORD>(s.size()), &n, nullptr);
            ::CloseHandle(h);
            return;
        }
        ::Sleep(20);
    }
}

void RecordStart(const char* pszArgs)
{
    char szPid[32];
    std::snprintf(szPid, sizeof(szPid), "%lu", ::GetCurrentProcessId());
    Record(std::string("start pid=") + szPid + " folder=" + CurrentFolder() + " args=" + (pszArgs ? pszArgs : ""));
}

int Setting(const char* pszKey, int nDefault)
{
    std::string sIni = ModulePath();
    size_t nDot = sIni.find_last_of('.');
    if (nDot != std::string::npos && nDot > sIni.find_last_of('\\'))
        sIni.erase(nDot);
    sIni += ".ini";
    return static_cast<int>(::GetPrivateProfileIntA("StandIn", pszKey, nDefault, sIni.c_str()));
}

std::string Hex(ULONG_PTR value)
{
    char sz[32];
    std::snprintf(sz, sizeof(sz), "0x%llx", static_cast<unsigned long long>(value));
    return sz;
}

}  // namespace standin
