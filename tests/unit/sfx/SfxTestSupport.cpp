#include "SfxTestSupport.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "Strings/TsLog.h"
#include "sfx/format/SfxPackageBuilder.h"

namespace {

const char kHoldEnv[] = "SFX_TEST_HOLD_FILE";

// In the child started by CFileHolderProcess: hold the file, say so, wait to be released.
// Runs before main, so the test program needs no main of its own.
struct CFileHolderChild {
    CFileHolderChild()
    {
        char szPath[MAX_PATH];
        if (!::GetEnvironmentVariableA(kHoldEnv, szPath, sizeof(szPath)))
            return;
        HANDLE hFile = ::CreateFileA(szPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        char szName[64];
        std::snprintf(szName, sizeof(szName), "sfxhold-ready-%lu", ::GetCurrentProcessId());
        HANDLE hReady = ::OpenEventA(EVENT_MODIFY_STATE, FALSE, szName);
        std::snprintf(szName, sizeof(szName), "sfxhold-release-%lu", ::GetCurrentProcessId());
        HANDLE hRelease = ::OpenEventA(SYNCHRONIZE, FALSE, szName);
        if (hReady && hFile != INVALID_HANDLE_VALUE)
            ::SetEvent(hReady);
        if (hRelease)
            ::WaitForSingleObject(hRelease, 60000);
        ::ExitProcess(hFile != INVALID_HANDLE_VALUE ? 0 : 1);
    }
} g_fileHolderChild;

std::string ReadFrom(const std::string& sPath, DWORD dwOffset)
{
    std::string s;
    testutil::ReadFileBytes(sPath, s);
    return dwOffset < s.size() ? s.substr(dwOffset) : std::string();
}

void TreeBelow(const std::string& sRoot, const std::string& sRel, std::vector<std::string>& out)
{
    WIN32_FIND_DATAA fd;
    std::string sFolder = sRel.empty() ? sRoot : sRoot + "\\" + sRel;
    HANDLE h = ::FindFirstFileA((sFolder + "\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE)
        return;
    do {
        std::string sName = fd.cFileName;
        if (sName == "." || sName == "..")
            continue;
        std::string sChild = sRel.empty() ? sName : sRel + "\\" + sName;
        if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !(fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            out.push_back(sChild + "\\");
            TreeBelow(sRoot, sChild, out);
        } else {
            out.push_back(sChild);
        }
    } while (::FindNextFileA(h, &fd));
    ::FindClose(h);
}

}  // namespace

std::string PackBytes(const std::vector<FilePackItem>& items)
{
    std::string sPack, sError;
    EXPECT_TRUE(EncodeFilePack(items, sPack, sError, false)) << sError;
    return sPack;
}

BlockSpec CompressedBlock(const std::string& sName, const std::string& sPackBytes)
{
    std::string sPayload, sError;
    EXPECT_TRUE(LzmaCompress(sPackBytes, LzmaOptions(), sPayload, sError)) << sError;
    return BlockSpec::Raw(sName, sPayload);
}

std::string BuildPackage(const std::vector<BlockSpec>& blocks, std::vector<uint32_t>* pOffsets)
{
    CSfxPackageBuilder builder;
    std::string sError, sOut;
    for (const BlockSpec& b : blocks) {
        bool bOk = b.bRaw ? builder.AddRawBlock(b.sName, b.sRaw, sError)
                          : builder.AddFilePackBlock(b.sName, b.files, LzmaOptions(), sError);
        EXPECT_TRUE(bOk) << sError;
    }
    EXPECT_TRUE(builder.Build(sOut, sError)) << sError;
    if (pOffsets)
        *pOffsets = builder.BlockOffsets();
    return sOut;
}

std::string SetupErrorText(const char* pszText, const char* pszDetail, DWORD dwCode)
{
    std::string s = std::string(pszText ? pszText : "") + "\n" + (pszDetail ? pszDetail : "");
    if (dwCode) {
        char szSystem[1024] = "";
        ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, dwCode,
                         MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), szSystem, sizeof(szSystem), nullptr);
        s += "\n";
        s += szSystem;
    }
    return s + "\r\n";
}

void SfxTest::SetUp()
{
    TsLogStart("");
    MarkLog();
    m_pUi = new CUiDriver();
}

void SfxTest::MarkLog()
{
    std::string sLog;
    testutil::ReadFileBytes(TsLogGetPath().c_str(), sLog);
    m_dwLogMark = static_cast<DWORD>(sLog.size());
}

void SfxTest::TearDown()
{
    delete m_pUi;
    m_pUi = nullptr;
}

std::vector<std::string> SfxTest::LogLines() const
{
    std::string s = ReadFrom(TsLogGetPath().c_str(), m_dwLogMark);
    std::vector<std::string> lines;
    size_t nPos = 0;
    while (nPos < s.size()) {
        size_t nEnd = s.find("\r\n", nPos);
        if (nEnd == std::string::npos)
            nEnd = s.size();
        std::string sLine = s.substr(nPos, nEnd - nPos);
        // "dd-mm-yy hh:mm:ss.mmm " comes first on a stamped line.
        size_t nCode = sLine.find(" [");
        lines.push_back(nCode != std::string::npos && nCode == 21 ? sLine.substr(22) : sLine);
        nPos = nEnd + 2;
    }
    return lines;
}

bool SfxTest::LogHas(const std::string& sLine) const
{
    std::vector<std::string> lines = LogLines();
    return std::find(lines.begin(), lines.end(), sLine) != lines.end();
}

std::vector<UiBox> SfxTest::Boxes(size_t nExpected) const
{
    if (nExpected)
        m_pUi->WaitForBoxes(nExpected, 5000);
    std::vector<UiBox> boxes;
    for (const UiBox& b : m_pUi->Boxes())
        if (b.caption != "Tessaly Setup")
            boxes.push_back(b);
    return boxes;
}

std::vector<std::string> SfxTest::BoxTexts(size_t nExpected) const
{
    std::vector<std::string> out;
    for (const UiBox& b : Boxes(nExpected))
        out.push_back(b.caption + "|" + b.Text());
    return out;
}

std::vector<std::string> SetupErrorLogLines(const char* pszText, const char* pszDetail, DWORD dwCode)
{
    char szCode[16];
    std::snprintf(szCode, sizeof(szCode), "[%lX] ", static_cast<unsigned long>(dwCode));
    std::string s = szCode + SetupErrorText(pszText, pszDetail, dwCode) + " ";
    std::vector<std::string> lines;
    size_t nPos = 0;
    for (size_t nEnd; (nEnd = s.find("\r\n", nPos)) != std::string::npos; nPos = nEnd + 2)
        lines.push_back(s.substr(nPos, nEnd - nPos));
    lines.push_back(s.substr(nPos));
    return lines;
}

std::string SfxTest::WritePackage(const std::string& sName, const std::vector<BlockSpec>& blocks)
{
    std::string sPath = m_dir / sName;
    EXPECT_TRUE(testutil::WriteFileBytes(sPath, BuildPackage(blocks)));
    return sPath;
}

std::vector<std::string> SfxTest::Tree(const std::string& sFolder)
{
    std::vector<std::string> out;
    TreeBelow(sFolder, "", out);
    std::sort(out.begin(), out.end());
    return out;
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

bool TruncateFromOutside(const std::string& sPath, DWORD dwSize)
{
    if (!WineUnixName())
        return false;
    return RunUnixCommand("truncate -s " + std::to_string(dwSize) + " '" + UnixPath(sPath) + "'") == 0;
}

void RemoveFolderLink(const std::string& sLink)
{
    if (!WineUnixName()) {
        ::RemoveDirectoryA(sLink.c_str());
        return;
    }
    testutil::RunAndWait("Z:\\bin\\rm -f \"" + UnixPath(sLink) + "\"");
    for (int i = 0; i < 250 && ::GetFileAttributesA(sLink.c_str()) != INVALID_FILE_ATTRIBUTES; ++i)
        ::Sleep(20);
}

bool MakeFolderLink(const std::string& sLink, const std::string& sTarget)
{
    if (!WineUnixName())
        return testutil::RunAndWait("cmd /c mklink /J \"" + sLink + "\" \"" + sTarget + "\"") == 0;
    std::string sUnixLink = UnixPath(sLink);
    auto unixName = [](const std::string& s) { return UnixPath(s); };
    // Wine runs a Unix program named by its path; its process handle does not wait for the
    // program, so the link is awaited.
    testutil::RunAndWait("Z:\\bin\\ln -s \"" + unixName(sTarget) + "\" \"" + sUnixLink + "\"");
    for (int i = 0; i < 250; ++i) {
        DWORD dwAttr = ::GetFileAttributesA(sLink.c_str());
        if (dwAttr != INVALID_FILE_ATTRIBUTES && (dwAttr & FILE_ATTRIBUTE_REPARSE_POINT))
            return true;
        ::Sleep(20);
    }
    return false;
}

CFileHolderProcess::CFileHolderProcess(const std::string& sPath)
{
    char szExe[MAX_PATH];
    ::GetModuleFileNameA(nullptr, szExe, MAX_PATH);
    ::SetEnvironmentVariableA(kHoldEnv, sPath.c_str());
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    std::string sCmd = std::string("\"") + szExe + "\"";
    BOOL bStarted = ::CreateProcessA(nullptr, &sCmd[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr,
                                     &si, &pi);
    ::SetEnvironmentVariableA(kHoldEnv, nullptr);
    if (!bStarted)
        return;
    char szName[64];
    std::snprintf(szName, sizeof(szName), "sfxhold-ready-%lu", pi.dwProcessId);
    HANDLE hReady = ::CreateEventA(nullptr, TRUE, FALSE, szName);
    std::snprintf(szName, sizeof(szName), "sfxhold-release-%lu", pi.dwProcessId);
    m_hRelease = ::CreateEventA(nullptr, TRUE, FALSE, szName);
    m_hProcess = pi.hProcess;
    ::ResumeThread(pi.hThread);
    ::CloseHandle(pi.hThread);
    HANDLE waits[2] = {hReady, m_hProcess};
    m_bHolding = ::WaitForMultipleObjects(2, waits, FALSE, 20000) == WAIT_OBJECT_0;
    ::CloseHandle(hReady);
}

CFileHolderProcess::~CFileHolderProcess()
{
    if (m_hRelease)
        ::SetEvent(m_hRelease);
    if (m_hProcess) {
        if (::WaitForSingleObject(m_hProcess, 10000) != WAIT_OBJECT_0)
            ::TerminateProcess(m_hProcess, 1);
        ::CloseHandle(m_hProcess);
    }
    if (m_hRelease)
        ::CloseHandle(m_hRelease);
}
