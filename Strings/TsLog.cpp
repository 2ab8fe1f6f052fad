#include "Strings/TsLog.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "Strings/TsAnsiPath.h"
#include "Strings/TsErrorCatcher.h"
#include "Strings/TsSafeFs.h"
#include "Strings/TsSecurity.h"
#include "framework/Exceptions.h"
#include "framework/Sync.h"
#include "framework/Unique.h"

namespace {

const int kRingSize = 1812;
const int kTraceBufSize = 256;

char g_szLogPath[512];
LONG g_bLogStarted = 0;
// The latest notes made before the log was started (choosing its folder makes some, and
// so do the settings files read before it), oldest first.
const int kPendingNotes = 4;
char g_szPendingNotes[kPendingNotes][1024];
int g_nPendingNotes = 0;

char g_ring[kRingSize];
char* g_pRingPos = nullptr;
bool g_bLineStart = true;

CCriticalSection& TraceLock()
{
    // Constructed on first use; the first trace happens during static initialisation at the latest.
    static CCriticalSection cs;
    return cs;
}

// Runs before main so that the lock exists before any second thread can trace.
struct TraceLockInit {
    TraceLockInit() { TraceLock(); }
} g_traceLockInit;

// Everyone-access security attributes (a present, null DACL). The two functions are looked
// up at run time in an already loaded ADVAPI32; without them no attributes are passed.
class CEveryoneAttributes {
public:
    CEveryoneAttributes()
    {
        HMODULE hAdvapi = ::GetModuleHandleA("ADVAPI32.dll");
        if (!hAdvapi)
            return;
        using InitFn = BOOL(WINAPI*)(PSECURITY_DESCRIPTOR, DWORD);
        using SetDaclFn = BOOL(WINAPI*)(PSECURITY_DESCRIPTOR, BOOL, PACL, BOOL);
        auto pInit = reinterpret_cast<InitFn>(reinterpret_cast<void*>(::GetProcAddress(hAdvapi, "InitializeSecurityDescriptor")));
        auto pSetDacl = reinterpret_cast<SetDaclFn>(reinterpret_cast<void*>(::GetProcAddress(hAdvapi, "SetSecurityDescriptorDacl")));
        if (!pInit || !pSetDacl)
            return;
        if (!pInit(&m_sd, SECURITY_DESCRIPTOR_REVISION) || !pSetDacl(&m_sd, TRUE, nullptr, FALSE))
            return;
        m_sa.nLength = sizeof(m_sa);
        m_sa.lpSecurityDescriptor = &m_sd;
        m_sa.bInheritHandle = TRUE;
        m_bValid = true;
    }
    SECURITY_ATTRIBUTES* Get() { return m_bValid ? &m_sa : nullptr; }
private:
    SECURITY_DESCRIPTOR m_sd = {};
    SECURITY_ATTRIBUTES m_sa = {};
    bool m_bValid = false;
};

bool FolderExists(const char* pszFolder)
{
    DWORD dwAttr = ::GetFileAttributesA(pszFolder);
    return dwAttr != INVALID_FILE_ATTRIBUTES && (dwAttr & FILE_ATTRIBUTE_DIRECTORY);
}

// "C:" from a Windows directory of the form "C:\...", else "C:".
CString WindowsDrive()
{
    char szWin[MAX_PATH];
    UINT n = ::GetWindowsDirectoryA(szWin, MAX_PATH);
    if (n >= 3 && n < MAX_PATH && szWin[1] == ':' && szWin[2] == '\\')
        return CString(szWin, 2);
    return CString("C:");
}

// The root to put "\_ts" under: the drive, or for a Windows directory on a network path,
// "\\server\share".
CString WindowsRootForFallback()
{
    char szWin[MAX_PATH];
    UINT n = ::GetWindowsDirectoryA(szWin, MAX_PATH);
    if (n >= 2 && n < MAX_PATH && szWin[0] == '\\' && szWin[1] == '\\') {
        CString s(szWin);
        int nServerEnd = s.Find('\\', 2);
        if (nServerEnd > 2) {
            int nShareEnd = s.Find('\\', nServerEnd + 1);
            return nShareEnd < 0 ? s : s.Left(nShareEnd);
        }
    }
    return WindowsDrive();
}

// The log is never written through a link: the folder is reached from its drive's root
// without passing one, and a log there that is a link, or a hard link to another file, is
// removed (as itself) before the log is made anew. False when the folder is refused.
bool TakeLogPlace(const char* pszFolder)
{
    CSafeFolder folder;
    CString sError;
    if (!TsOpenFolderChain(pszFolder, folder, sError)) {
        TsTrace("LOGF %s\n", "TsLogStart: log folder refused: %s\n", sError.c_str());
        return false;
    }
    CSafeItem item;
    DWORD dwError = 0;
    if (!folder.Find("_ts.log", item, dwError))
        return dwError == ERROR_FILE_NOT_FOUND;
    if (item.IsFolder())
        return false;
    bool bForeign = item.IsLink();
    if (!bForeign) {
        CUniqueFile file(::CreateFileA(g_szLogPath, FILE_READ_ATTRIBUTES,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        BY_HANDLE_FILE_INFORMATION info = {};
        bForeign = !file || !::GetFileInformationByHandle(file.Get(), &info) || info.nNumberOfLinks != 1 ||
                   (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
    }
    return !bForeign || folder.Remove(item, dwError);
}

void AppendToLog(const char* pszText)
{
    if (!g_szLogPath[0])
        return;
    CUniqueFile file(::CreateFileA(g_szLogPath, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return;
    ::SetFilePointer(file.Get(), 0, nullptr, FILE_END);
    DWORD dwWritten = 0;
    ::WriteFile(file.Get(), pszText, static_cast<DWORD>(lstrlenA(pszText)), &dwWritten, nullptr);
}

void SwapBitPairs(char* p, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        unsigned char b = static_cast<unsigned char>(p[i]);
        p[i] = static_cast<char>(((b & 0x55) << 1) | ((b & 0xAA) >> 1));
    }
}

bool IsLater(const FILETIME& a, const ULARGE_INTEGER& b)
{
    ULARGE_INTEGER ua;
    ua.LowPart = a.dwLowDateTime;
    ua.HighPart = a.dwHighDateTime;
    return ua.QuadPart > b.QuadPart;
}

}  // namespace

// --- setup log ---------------------------------------------------------------

CString TsLogFormatLine(const SYSTEMTIME& st, const char* pszText, const char* pszDetail, DWORD dwCode)
{
    char szLine[4097];
    short nYear = static_cast<short>(st.wYear >= 2000 ? st.wYear - 2000 : st.wYear - 1900);
    int n = std::snprintf(szLine, sizeof(szLine), "%02hd-%02hd-%02hd %02hd:%02hd:%02hd.%03hd [%lX] %s %s\r\n",
                          static_cast<short>(st.wDay), static_cast<short>(st.wMonth), nYear,
                          static_cast<short>(st.wHour), static_cast<short>(st.wMinute),
                          static_cast<short>(st.wSecond), static_cast<short>(st.wMilliseconds),
                          static_cast<unsigned long>(dwCode), pszText ? pszText : "", pszDetail ? pszDetail : "");
    (void)n;  // a longer line is cut at 4096 characters and loses its line end
    return CString(szLine);
}

void TsLogStart(const char* pszCommandLine)
{
    if (g_bLogStarted)
        return;

    char szFolder[260] = "";
    char szValue[256];
    bool bHaveFolder = false;
    if (GetCmdLineValue(pszCommandLine, "/temp", szValue, sizeof(szValue))) {
        StripTrailingBackslash(szValue);
        CSafeFolder chain;
        CString sRefused;
        // A folder reached through a link is no place for the log: the next place is taken.
        if (FolderExists(szValue) && TsOpenFolderChain(szValue, chain, sRefused) && IsFolderWritable(szValue)) {
            lstrcpynA(szFolder, szValue, sizeof(szFolder));
            bHaveFolder = true;
        }
    }
    // Without a folder of our own there is no log: a refused fallback folder belongs to
    // somebody else, who could have put anything under the log's name there.
    if (!bHaveFolder && !GetWritableTempFolder(szFolder, sizeof(szFolder)))
        return;

    std::snprintf(g_szLogPath, sizeof(g_szLogPath), "%s\\_ts.log", szFolder);
    if (!TakeLogPlace(szFolder)) {
        g_szLogPath[0] = '\0';
        return;
    }

    CEveryoneAttributes sa;
    HANDLE h = ::CreateFileA(g_szLogPath, GENERIC_WRITE, FILE_SHARE_WRITE, sa.Get(), OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return;
    ::CloseHandle(h);
    g_bLogStarted = 1;

    char szModule[MAX_PATH] = "";
    ::GetModuleFileNameA(nullptr, szModule, MAX_PATH);
    TsLogWriteRaw("\n\n***\n");
    TsLogWrite("TsSetup started from", szModule, 0, TRUE);
    TsLogWrite("TsSetup command line", pszCommandLine ? pszCommandLine : "", 0, TRUE);
    for (int i = 0; i < g_nPendingNotes; ++i)
        TsLogWrite(g_szPendingNotes[i], "", 0, TRUE);
    g_nPendingNotes = 0;
}

void TsLogNote(const char* pszText, const char* pszDetail)
{
    TsTrace("LNOT: %s%s\n", "TsLogNote: %s%s\n", pszText ? pszText : "", pszDetail ? pszDetail : "");
    if (g_bLogStarted) {
        TsLogWrite(pszText, pszDetail, 0, TRUE);
        return;
    }
    if (g_nPendingNotes == kPendingNotes) {
        std::memmove(g_szPendingNotes[0], g_szPendingNotes[1], sizeof(g_szPendingNotes[0]) * (kPendingNotes - 1));
        --g_nPendingNotes;
    }
    std::snprintf(g_szPendingNotes[g_nPendingNotes++], sizeof(g_szPendingNotes[0]), "%s%s", pszText ? pszText : "",
                  pszDetail ? pszDetail : "");
}

bool TsLogHasPendingNotes()
{
    return g_nPendingNotes > 0;
}

void TsLogWrite(const char* pszText, const char* pszDetail, DWORD dwCode, BOOL bStamped)
{
    if (!bStamped) {
        TsLogWriteRaw(pszText ? pszText : "");
        return;
    }
    SYSTEMTIME st;
    ::GetLocalTime(&st);
    AppendToLog(TsLogFormatLine(st, pszText, pszDetail, dwCode));
}

void TsLogWriteRaw(const char* pszText)
{
    AppendToLog(pszText ? pszText : "");
}

CString TsLogGetPath()
{
    return CString(g_szLogPath);
}

bool TsLogIsStarted()
{
    return g_bLogStarted != 0;
}

void TsLogReset()
{
    g_bLogStarted = 0;
    g_szLogPath[0] = 0;
}

void TsLogDeleteOld()
{
    CString sDrive = WindowsDrive();
    ::DeleteFileA(sDrive + "\\_ts.log");
    ::DeleteFileA(sDrive + "\\_ts\\_ts.log");

    // Only the exact temporary folder: a look-alike name would be somebody else's folder.
    CString sLog;
    if (!TsGetTempPathExact(sLog))
        return;
    StripTrailingBackslash(sLog);
    sLog += "\\_ts.log";
    if (::GetFileAttributesA(sLog) == INVALID_FILE_ATTRIBUTES)
        return;

    HANDLE h = ::CreateFileA(sLog, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        ::DeleteFileA(sLog);
        return;
    }
    FILETIME ftCreate, ftAccess, ftWrite, ftNow;
    bool bTimes = ::GetFileTime(h, &ftCreate, &ftAccess, &ftWrite) != FALSE;
    ::CloseHandle(h);
    ::GetSystemTimeAsFileTime(&ftNow);
    ULARGE_INTEGER limit;
    limit.LowPart = ftNow.dwLowDateTime;
    limit.HighPart = ftNow.dwHighDateTime;
    limit.QuadPart -= 864000000000ULL;
    if (bTimes && (IsLater(ftCreate, limit) || IsLater(ftAccess, limit) || IsLater(ftWrite, limit)))
        return;
    ::DeleteFileA(sLog);
}

// --- folders and command line -------------------------------------------------

bool IsFolderWritable(const char* pszFolder)
{
    char szFile[MAX_PATH];
    if (!pszFolder || !::GetTempFileNameA(pszFolder, "ts", 0, szFile))
        return false;
    ::DeleteFileA(szFile);
    return true;
}

bool GetWritableTempFolder(char* pszBuffer, DWORD dwSize)
{
    if (!pszBuffer || dwSize == 0)
        return false;
    pszBuffer[0] = '\0';
    CString sTemp;
    std::wstring wsTemp;
    if (TsGetTempPathExact(sTemp, &wsTemp)) {
        StripTrailingBackslash(sTemp);
        if (sTemp.GetLength() < static_cast<int>(dwSize) && IsFolderWritable(sTemp)) {
            lstrcpynA(pszBuffer, sTemp, static_cast<int>(dwSize));
            return true;
        }
    } else if (!wsTemp.empty()) {
        TsLogNote("Temporary folder has no ANSI name; using the fallback folder: ", TsUtf8Of(wsTemp.c_str()));
    }
    // Shared by every user of the computer: made private, and refused when somebody else's.
    CString sFolder = WindowsRootForFallback() + "\\_ts";
    CString sError;
    if (!TsMakePrivateFolder(sFolder, sError)) {
        TsLogNote("Fallback folder refused: ", sError);
        return false;
    }
    if (sFolder.GetLength() >= static_cast<int>(dwSize))
        return false;
    lstrcpynA(pszBuffer, sFolder, static_cast<int>(dwSize));
    StripTrailingBackslash(pszBuffer);
    return true;
}

bool GetWritableTempFolder(CString& sOut)
{
    char szBuf[260];
    bool b = GetWritableTempFolder(szBuf, sizeof(szBuf));
    sOut = szBuf;
    return b;
}

int FindNoCase(const char* pszText, const char* pszPart)
{
    if (!pszText || !pszPart)
        return -1;
    const int nPart = lstrlenA(pszPart);
    const int nText = lstrlenA(pszText);
    if (nText < nPart)
        return -1;
    char szChunk[4096];
    if (nPart >= static_cast<int>(sizeof(szChunk)))
        return -1;
    for (const char* p = pszText; *p && (pszText + nText - p) >= nPart; p = ::CharNextA(p)) {
        std::memcpy(szChunk, p, static_cast<size_t>(nPart));
        szChunk[nPart] = 0;
        if (lstrcmpiA(szChunk, pszPart) == 0)
            return static_cast<int>(p - pszText);
    }
    return -1;
}

bool GetCmdLineValue(const char* pszCmdLine, const char* pszKey, char* pszValue, int nValueSize,
                     int* pnKeyPos, int* pnRest)
{
    if (!pszCmdLine || !pszValue || nValueSize <= 0)
        return false;
    int nKey = FindNoCase(pszCmdLine, pszKey);
    if (nKey < 0)
        return false;
    if (pnKeyPos)
        *pnKeyPos = nKey;
    const char* p = pszCmdLine + nKey + lstrlenA(pszKey);
    if (*p != '=')
        return false;
    ++p;
    const char* pEnd;
    if (*p == '"') {
        ++p;
        pEnd = std::strchr(p, '"');
    } else {
        pEnd = std::strchr(p, ' ');
    }
    if (!pEnd)
        pEnd = p + std::strlen(p);
    size_t nLen = static_cast<size_t>(pEnd - p);
    if (nLen > static_cast<size_t>(nValueSize - 1))
        nLen = static_cast<size_t>(nValueSize - 1);
    std::memcpy(pszValue, p, nLen);
    pszValue[nLen] = 0;
    if (pnRest)
        *pnRest = static_cast<int>(pEnd - pszCmdLine) + (*pEnd == '"' ? 1 : 0);
    return true;
}

void StripTrailingBackslash(char* pszPath)
{
    if (!pszPath)
        return;
    size_t n = std::strlen(pszPath);
    if (n > 0 && pszPath[n - 1] == '\\')
        pszPath[n - 1] = 0;
}

void StripTrailingBackslash(CString& sPath)
{
    int n = sPath.GetLength();
    if (n > 0 && sPath[n - 1] == '\\')
        sPath = sPath.Left(n - 1);
}

bool IsAbsolutePath(const char* pszPath)
{
    if (!pszPath)
        return false;
    auto isSlash = [](char c) { return c == '\\' || c == '/'; };
    if (isSlash(pszPath[0]) && isSlash(pszPath[1]))
        return true;
    return pszPath[0] && pszPath[1] == ':' && isSlash(pszPath[2]);
}

// --- trace ring and assertions -------------------------------------------------

void TsTrace(const char* pszShortFormat, const char* pszLongFormat, ...)
{
    char szText[kTraceBufSize];
    int nPrefix = 0;
    if (g_bLineStart) {
        nPrefix = std::snprintf(szText, sizeof(szText), "%s: t=%lx: ", GetTimeStamp().c_str(),
                                static_cast<unsigned long>(::GetCurrentThreadId()));
        if (nPrefix < 0)
            nPrefix = 0;
    }
    va_list args;
    va_start(args, pszLongFormat);
    int nRoom = kTraceBufSize - nPrefix;
    int n = pszShortFormat ? std::vsnprintf(szText + nPrefix, static_cast<size_t>(nRoom), pszShortFormat, args) : 0;
    va_end(args);
    if (n < 0) {
        lstrcpyA(szText, "!!!BADMIFMT!!!\n");
    } else if (n >= nRoom) {
        szText[252] = '|';
        szText[253] = '\n';
        szText[254] = 0;
    }
    size_t nLen = std::strlen(szText);
    g_bLineStart = nLen > 0 && szText[nLen - 1] == '\n';
    SwapBitPairs(szText, nLen);

    CSingleLock lock(&TraceLock(), true);
    if (!g_pRingPos) {
        std::memset(g_ring, 0, sizeof(g_ring));
        g_pRingPos = g_ring;
    }
    for (size_t i = 0; i < nLen; ++i) {
        *g_pRingPos++ = szText[i];
        if (g_pRingPos == g_ring + kRingSize)
            g_pRingPos = g_ring;
    }
}

void TsGetTraceText(CString& sOut)
{
    CSingleLock lock(&TraceLock(), true);
    if (!g_pRingPos)
        return;
    std::string s;
    s.reserve(kRingSize);
    const int nStart = static_cast<int>(g_pRingPos - g_ring);
    for (int i = 1; i < kRingSize; ++i) {
        char ch = g_ring[(nStart + i) % kRingSize];
        if (ch)
            s += ch;
    }
    SwapBitPairs(&s[0], s.size());
    sOut += CString(s);
}

void TsTraceReset()
{
    CSingleLock lock(&TraceLock(), true);
    g_pRingPos = nullptr;
    g_bLineStart = true;
}

void TsSoftAssertFailed(const char* pszSourcePath, int nLine)
{
    TsTrace("!!!SA %s: %d\n", "!!!SOFTASSERT!!! %s: %d\n", pszSourcePath, nLine);
}

// Out of line, so that the crash report can leave exactly this one frame out of its stack.
__attribute__((noinline)) void TsAssertFail(const char* pszSourcePath, int nLine, INT_PTR nContext, const char* pszContext)
{
    DWORD dwLastError = ::GetLastError();
    MSG msg;
    ::PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
    char szText[4096];
    std::snprintf(szText, sizeof(szText), "Assertion failed: c=%d s=%s GetLastError=%lx\nFile: %s, Line: %d",
                  static_cast<int>(nContext), pszContext ? pszContext : "-null-",
                  static_cast<unsigned long>(dwLastError), pszSourcePath ? pszSourcePath : "-no-file-", nLine);
    TsReportCrash(szText, false, 1);
    AfxThrowUserException();
}

// --- error text and stamps -------------------------------------------------------

void GetErrorText(CString& sOut, DWORD dwCode)
{
    char szMsg[1024];
    DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | 255, nullptr, dwCode,
                               MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), szMsg, sizeof(szMsg), nullptr);
    sOut = n ? szMsg : "Error";
    sOut.AppendFormat(" (%lX)", static_cast<unsigned long>(dwCode));
}

void GetLastErrorText(CString& sOut)
{
    GetErrorText(sOut, ::GetLastError());
}

CString GetTimeStamp()
{
    SYSTEMTIME st;
    ::GetLocalTime(&st);
    CString s;
    s.Format("%02d%02d%02d.%03d", st.wHour, st.wMinute, st.wSecond, st.wMilliseconds);
    return s;
}

CString GetDateStamp()
{
    SYSTEMTIME st;
    ::GetLocalTime(&st);
    CString s;
    s.Format("%04d/%02d/%02d", st.wYear, st.wMonth, st.wDay);
    return s;
}
