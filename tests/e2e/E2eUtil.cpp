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

std::string Describe(const std::vector<UiBox>& boxes)
{
    std::string s;
    for (const UiBox& b : boxes) {
        std::string sText = b.Text();
        for (size_t n = sText.find('\n'); n != std::string::npos; n = sText.find('\n', n + 2))
            sText.replace(n, 1, "\\n");
        s += "\n  [pid " + std::to_string(b.processId) + ", " + b.className + "] \"" + b.caption + "\": \"" + sText +
             "\"";
        if (b.pressed)
            s += " (pressed " + std::to_string(b.pressed) + ")";
    }
    return s;
}

namespace {

void ListKey(HKEY hKey, const std::string& sName, bool bWithData, std::set<std::string>& out)
{
    out.insert(sName);
    for (DWORD i = 0;; ++i) {
        char szValue[16384];
        DWORD cchValue = sizeof(szValue);
        BYTE data[8192];
        DWORD cbData = sizeof(data);
        DWORD dwType = 0;
        LONG r = ::RegEnumValueA(hKey, i, szValue, &cchValue, nullptr, &dwType, data, &cbData);
        if (r == ERROR_NO_MORE_ITEMS)
            break;
        std::string sEntry = sName + " : " + std::string(szValue, cchValue);
        if (bWithData && r == ERROR_SUCCESS)
            sEntry += " = " + std::string(reinterpret_cast<const char*>(data), cbData);
        out.insert(sEntry);
    }
    std::vector<std::string> subkeys;
    for (DWORD i = 0;; ++i) {
        char szSub[256];
        DWORD cchSub = sizeof(szSub);
        if (::RegEnumKeyExA(hKey, i, szSub, &cchSub, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        subkeys.emplace_back(szSub, cchSub);
    }
    for (const std::string& sSub : subkeys) {
        HKEY hSub = nullptr;
        if (::RegOpenKeyExA(hKey, sSub.c_str(), 0, KEY_READ, &hSub) == ERROR_SUCCESS) {
            ListKey(hSub, sName + "\\" + sSub, bWithData, out);
            ::RegCloseKey(hSub);
        }
    }
}

void ListFiles(const std::string& sFolder, const std::string& sRelative, std::set<std::string>& out)
{
    WIN32_FIND_DATAA fd;
    HANDLE h = ::FindFirstFileA((sFolder + "\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE)
        return;
    do {
        std::string sName = fd.cFileName;
        if (sName == "." || sName == "..")
            continue;
        std::string sRel = sRelative.empty() ? sName : sRelative + "\\" + sName;
        out.insert(sRel);
        if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !(fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            ListFiles(sFolder + "\\" + sName, sRel, out);
    } while (::FindNextFileA(h, &fd));
    ::FindClose(h);
}

}  // namespace

std::set<std::string> ListRegistry(HKEY hRoot, const char* pszKey, bool bWithData)
{
    std::set<std::string> out;
    HKEY hKey = nullptr;
    if (::RegOpenKeyExA(hRoot, pszKey, 0, KEY_READ, &hKey) == ERROR_SUCCESS) {
        ListKey(hKey, pszKey, bWithData, out);
        ::RegCloseKey(hKey);
    }
    return out;
}

std::set<std::string> ListFolder(const std::string& sFolder)
{
    std::set<std::string> out;
    ListFiles(sFolder, "", out);
    return out;
}

std::vector<std::string> Added(const std::set<std::string>& before, const std::set<std::string>& after)
{
    std::vector<std::string> added;
    for (const std::string& s : after)
        if (!before.count(s))
            added.push_back(s);
    return added;
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

bool SaveWindowShot(HWND hWnd, const std::string& sPath)
{
    RECT rc;
    if (!::IsWindow(hWnd) || !::GetWindowRect(hWnd, &rc))
        return false;
    int nWidth = rc.right - rc.left;
    int nHeight = rc.bottom - rc.top;
    if (nWidth <= 0 || nHeight <= 0)
        return false;
    BITMAPINFO bmi = {};
    bmi.bmiHeader.biSize = sizeof(bmi.bmiHeader);
    bmi.bmiHeader.biWidth = nWidth;
    bmi.bmiHeader.biHeight = nHeight;   // bottom-up, as the file stores it
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = 24;
    void* pBits = nullptr;
    HDC hScreen = ::GetDC(nullptr);
    HDC hMem = ::CreateCompatibleDC(hScreen);
    HBITMAP hDib = ::CreateDIBSection(hScreen, &bmi, DIB_RGB_COLORS, &pBits, nullptr, 0);
    HGDIOBJ hOld = ::SelectObject(hMem, hDib);
    ::BitBlt(hMem, 0, 0, nWidth, nHeight, hScreen, rc.left, rc.top, SRCCOPY);
    ::GdiFlush();
    DWORD dwStride = (static_cast<DWORD>(nWidth) * 3 + 3) & ~3u;
    BITMAPFILEHEADER fh = {};
    fh.bfType = 0x4D42;
    fh.bfOffBits = sizeof(fh) + sizeof(bmi.bmiHeader);
    fh.bfSize = fh.bfOffBits + dwStride * static_cast<DWORD>(nHeight);
    std::string sFile(reinterpret_cast<const char*>(&fh), sizeof(fh));
    sFile.append(reinterpret_cast<const char*>(&bmi.bmiHeader), sizeof(bmi.bmiHeader));
    sFile.append(static_cast<const char*>(pBits), dwStride * static_cast<DWORD>(nHeight));
    ::SelectObject(hMem, hOld);
    ::DeleteObject(hDib);
    ::DeleteDC(hMem);
    ::ReleaseDC(nullptr, hScreen);
    return testutil::WriteFileBytes(sPath, sFile);
}

std::string ShotFolder()
{
    char sz[MAX_PATH] = "";
    DWORD n = ::GetEnvironmentVariableA("WAYFARER_SHOTS", sz, sizeof(sz));
    return n && n < sizeof(sz) ? std::string(sz) : std::string();
}

}  // namespace e2e
