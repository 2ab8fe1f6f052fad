#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <windows.h>
#include <wininet.h>

#include "ErrorReports.h"
#include "LocalHttpServer.h"
#include "Strings/ErrorReportText.h"
#include "Strings/TsErrorCatcher.h"
#include "Strings/TsLog.h"
#include "Strings/TsMaker.h"
#include "Strings/TsSharedData.h"
#include "Strings/TsWindowCommon.h"
#include "TestUtil.h"
#include "UiDriver.h"
#include "framework/Exceptions.h"

using testutil::CRealErrorReports;
using testutil::CTempDir;

namespace {

const char kSystemErrorCaption[] = "Tessaly System Error";
const char kQuestionStart[] =
    "This is an internal error report. Please click Yes and it will be sent to Tessaly server.\n"
    "No personal information will be sent, only the technical data to help us fix this bug.\n"
    "If auto send fails, email file _ts.log from your temporary folder to support@norvaneworks.example.\n"
    "You can see where your temp folder is by typing %TEMP% into Address bar of IE browser.\n\n";
const char kQuestionEnd[] = "\nDo you want to send error report to www.norvaneworks.example?";
const char kLogFence[] = "\r\n==================\r\n";

std::string Lines(int nCount, const char* pszText)
{
    std::string s;
    for (int i = 0; i < nCount; ++i)
        s += std::string(pszText) + std::to_string(i) + "\n";
    return s;
}

// The user as the report names it: nobody, whoever is registered.
const char kUserPart[] = "\nName:  Mail: \n";

// A registered user for the time of a test.
class CRegisteredUser {
public:
    CRegisteredUser()
    {
        HKEY hKey;
        if (::RegCreateKeyExA(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_WRITE, nullptr, &hKey, nullptr) != 0)
            return;
        const char* values[][2] = {{"Name", "Erika Musterfrau"}, {"Email", "erika@mail.example"}};
        for (const auto& v : values)
            ::RegSetValueExA(hKey, v[0], 0, REG_SZ, reinterpret_cast<const BYTE*>(v[1]),
                             static_cast<DWORD>(std::strlen(v[1]) + 1));
        ::RegCloseKey(hKey);
    }
    ~CRegisteredUser() { ::RegDeleteKeyA(HKEY_CURRENT_USER, kKey); }
private:
    static constexpr const char* kKey = "Software\\Norvane Works\\UserReg";
};

// The addresses in the system's URL cache that contain sPart.
std::vector<std::string> CachedUrlsWith(const std::string& sPart)
{
    using FindFirstFn = HANDLE(WINAPI*)(LPCSTR, LPINTERNET_CACHE_ENTRY_INFOA, LPDWORD);
    using FindNextFn = BOOL(WINAPI*)(HANDLE, LPINTERNET_CACHE_ENTRY_INFOA, LPDWORD);
    using FindCloseFn = BOOL(WINAPI*)(HANDLE);
    std::vector<std::string> urls;
    HMODULE hWininet = ::LoadLibraryA("wininet.dll");
    if (!hWininet)
        return {"(no wininet)"};
    auto lookUp = [hWininet](const char* pszName) {
        return reinterpret_cast<void*>(::GetProcAddress(hWininet, pszName));
    };
    auto pfnFirst = reinterpret_cast<FindFirstFn>(lookUp("FindFirstUrlCacheEntryA"));
    auto pfnNext = reinterpret_cast<FindNextFn>(lookUp("FindNextUrlCacheEntryA"));
    auto pfnClose = reinterpret_cast<FindCloseFn>(lookUp("FindCloseUrlCache"));
    std::vector<char> buffer(64 * 1024);
    auto* pEntry = reinterpret_cast<LPINTERNET_CACHE_ENTRY_INFOA>(buffer.data());
    DWORD dwSize = static_cast<DWORD>(buffer.size());
    HANDLE hFind = pfnFirst(nullptr, pEntry, &dwSize);
    for (BOOL bFound = hFind != nullptr; bFound; bFound = pfnNext(hFind, pEntry, &dwSize)) {
        const std::string sUrl = pEntry->lpszSourceUrlName ? pEntry->lpszSourceUrlName : "";
        if (sUrl.find(sPart) != std::string::npos) {
            urls.push_back(sUrl.substr(0, 80));
            const char* pszFile = pEntry->lpszLocalFileName;
            if (pszFile && ::GetFileAttributesA(pszFile) != INVALID_FILE_ATTRIBUTES)
                urls.push_back(std::string("file ") + pszFile);
        }
        dwSize = static_cast<DWORD>(buffer.size());
    }
    if (hFind)
        pfnClose(hFind);
    ::FreeLibrary(hWininet);
    return urls;
}

// Each test reports into a log of its own and to a server of its own.
class ErrorReportTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_server.Listening());
        TsLogReset();
        const std::string sCmd = "/temp=\"" + m_dir.Path() + "\"";
        TsLogStart(sCmd.c_str());
        ASSERT_TRUE(TsLogIsStarted());
        TsTraceReset();
    }
    void TearDown() override { TsLogReset(); }

    std::string Endpoint() const { return m_server.Url("/tserror"); }

    // The reports appended to the log, each without its fences.
    std::vector<std::string> LoggedReports() const
    {
        std::vector<std::string> reports;
        const std::string sLog = testutil::ReadFileOrEmpty(m_dir / "_ts.log");
        size_t nPos = 0;
        for (;;) {
            size_t nStart = sLog.find(kLogFence, nPos);
            if (nStart == std::string::npos)
                break;
            nStart += std::strlen(kLogFence);
            size_t nEnd = sLog.find(kLogFence, nStart);
            if (nEnd == std::string::npos)
                break;
            reports.push_back(sLog.substr(nStart, nEnd - nStart));
            nPos = nEnd + std::strlen(kLogFence);
        }
        return reports;
    }

    std::vector<std::string> Queries() const
    {
        std::vector<std::string> queries;
        for (const std::string& sTarget : m_server.Targets())
            queries.push_back(CLocalHttpServer::DecodedQuery(sTarget));
        return queries;
    }

    // The length of the whole address that was fetched.
    size_t UrlLength(const std::string& sTarget) const { return m_server.Url("").size() + sTarget.size(); }

    CTempDir m_dir;
    CLocalHttpServer m_server;
};

__attribute__((noinline)) void AssertInKnownFunction(volatile int* pnValue)
{
    *pnValue += 1;
    TsAssertFail("tests\\unit\\Strings\\TsErrorCatcherTest", 123, *pnValue, "known function");
}

struct FrameLine {
    unsigned nSection = 0;
    unsigned nOffset = 0;
    std::string sModule;
};

bool ParseFrameLine(const std::string& sLine, FrameLine& frame)
{
    char szModule[MAX_PATH] = "";
    if (std::sscanf(sLine.c_str(), "%4X:%8X %259[^\n]", &frame.nSection, &frame.nOffset, szModule) < 2)
        return false;
    frame.sModule = szModule;
    return sLine.size() > 14 && sLine[4] == ':' && sLine[13] == ' ';
}

std::vector<std::string> SplitLines(const std::string& s)
{
    std::vector<std::string> lines;
    size_t nPos = 0;
    while (nPos < s.size()) {
        size_t nEnd = s.find('\n', nPos);
        if (nEnd == std::string::npos)
            nEnd = s.size();
        lines.push_back(s.substr(nPos, nEnd - nPos));
        nPos = nEnd + 1;
    }
    return lines;
}

DWORD FirstSectionRva(HMODULE hModule)
{
    auto pBase = reinterpret_cast<const BYTE*>(hModule);
    auto pNt = reinterpret_cast<const IMAGE_NT_HEADERS*>(pBase + reinterpret_cast<const IMAGE_DOS_HEADER*>(pBase)->e_lfanew);
    return IMAGE_FIRST_SECTION(pNt)->VirtualAddress;
}

class CNoMessageException : public CException {};

}  // namespace

TEST(ErrorCatcher, ShippedEndpointIsHttpsAndTestsCanReplaceIt)
{
    EXPECT_EQ(0, std::strncmp(kTsErrorReportEndpoint, "https://", 8)) << kTsErrorReportEndpoint;
    EXPECT_STREQ(kTsErrorReportEndpoint, TsGetErrorReportEndpoint());
    {
        CRealErrorReports real("http://127.0.0.1:1/x");
        EXPECT_STREQ("http://127.0.0.1:1/x", TsGetErrorReportEndpoint());
    }
    EXPECT_STREQ(kTsErrorReportEndpoint, TsGetErrorReportEndpoint());
}

TEST(ErrorCatcher, CodeAddressNamesModuleSectionAndOffset)
{
    HMODULE hKernel = ::GetModuleHandleA("kernel32.dll");
    const void* pSleep = reinterpret_cast<const void*>(::GetProcAddress(hKernel, "Sleep"));
    FrameLine frame;
    ASSERT_TRUE(ParseFrameLine(FormatCodeAddress(pSleep).c_str(), frame));
    EXPECT_GE(frame.nSection, 1u);
    EXPECT_EQ(0, lstrcmpiA("kernel32.dll", frame.sModule.c_str())) << frame.sModule;

    // The first byte of this program's first section.
    HMODULE hSelf = ::GetModuleHandleA(nullptr);
    const BYTE* pText = reinterpret_cast<const BYTE*>(hSelf) + FirstSectionRva(hSelf);
    EXPECT_STREQ("0001:00000000 strings_tests.exe\n", FormatCodeAddress(pText));
    EXPECT_STREQ("0001:00000010 strings_tests.exe\n", FormatCodeAddress(pText + 16));

    // Memory of no module.
    std::vector<char> heap(64);
    EXPECT_STREQ("0000:00000000 \n", FormatCodeAddress(heap.data()));
}

TEST(ErrorCatcher, HardAssertionReportsTheStackFromTheFailingFunction)
{
    testutil::ClearRecordedErrorReports();
    volatile int nValue = 6;
    EXPECT_THROW(AssertInKnownFunction(&nValue), CUserException);
    auto reports = testutil::RecordedErrorReports();
    ASSERT_EQ(1u, reports.size());
    const std::string& sReport = reports[0].sMessage;
    ASSERT_EQ(0u, sReport.find("ASSERT\nAssertion failed: c=7 s=known function GetLastError=")) << sReport;
    const size_t nFrames = sReport.find("Line: 123\n");
    ASSERT_NE(std::string::npos, nFrames) << sReport;
    std::vector<std::string> lines = SplitLines(sReport.substr(nFrames + 10));
    ASSERT_GE(lines.size(), 3u) << sReport;
    EXPECT_LE(lines.size(), 66u);
    EXPECT_EQ('\n', sReport.back());

    FrameLine first;
    ASSERT_TRUE(ParseFrameLine(lines[0], first)) << lines[0];
    EXPECT_EQ("strings_tests.exe", first.sModule);
    EXPECT_EQ(1u, first.nSection);
    HMODULE hSelf = ::GetModuleHandleA(nullptr);
    const DWORD dwText = FirstSectionRva(hSelf);
#ifdef _WIN64
    // The offset lies within the function, as its unwind record bounds it.
    DWORD64 nImageBase = 0;
    PRUNTIME_FUNCTION pFunction = ::RtlLookupFunctionEntry(
        reinterpret_cast<DWORD64>(reinterpret_cast<void*>(&AssertInKnownFunction)), &nImageBase, nullptr);
    ASSERT_NE(nullptr, pFunction);
    ASSERT_EQ(reinterpret_cast<DWORD64>(hSelf), nImageBase);
    const DWORD dwBegin = pFunction->BeginAddress;
    const DWORD dwEnd = pFunction->EndAddress;
#else
    // No unwind records on i686: the offset lies just after the function's start (it is a
    // handful of instructions).
    const DWORD dwBegin = static_cast<DWORD>(reinterpret_cast<const char*>(&AssertInKnownFunction) -
                                             reinterpret_cast<const char*>(hSelf));
    const DWORD dwEnd = dwBegin + 128;
#endif
    EXPECT_GT(first.nOffset, dwBegin - dwText) << lines[0];
    EXPECT_LE(first.nOffset, dwEnd - dwText) << lines[0];

    // The next frame is this test, in the same module.
    FrameLine second;
    ASSERT_TRUE(ParseFrameLine(lines[1], second)) << lines[1];
    EXPECT_EQ("strings_tests.exe", second.sModule);
    EXPECT_EQ(1u, second.nSection);
}

TEST(ErrorCatcher, FrameworkExceptionsAreReportedUnlessTheUserWasTold)
{
    struct Case {
        const char* name;
        const CException* exception;
        const char* expected;   // null: nothing reported
        bool memory;
    };
    const CUserException user;
    const CMemoryException memory;
    const CNoMessageException noMessage;
    const Case kCases[] = {
        {"user", &user, nullptr, false},
        {"memory", &memory, "Out of memory.", true},
        {"no message", &noMessage, "Unknown error: LastError=57", false},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        testutil::ClearRecordedErrorReports();
        ::SetLastError(0x57);
        ReportFrameworkException(*c.exception);
        auto reports = testutil::RecordedErrorReports();
        if (!c.expected) {
            EXPECT_TRUE(reports.empty());
            continue;
        }
        ASSERT_EQ(1u, reports.size());
        EXPECT_EQ(c.expected, reports[0].sMessage);
        EXPECT_EQ(c.memory, reports[0].bMemoryFull);
        EXPECT_TRUE(reports[0].bShowDuplicates);
        EXPECT_FALSE(reports[0].bDontAsk);
    }
}

TEST_F(ErrorReportTest, SameMessageIsShownOnceUnlessDuplicatesAreAsked)
{
    struct Case {
        bool showDuplicates;
        size_t boxes;
    };
    static const Case kCases[] = {{false, 1}, {true, 2}};
    CRealErrorReports real(Endpoint());
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.showDuplicates);
        TsResetLastReport();
        CUiDriver ui(CUiDriver::Press(IDNO));
        TsReportBadError("The same message", false, c.showDuplicates, false);
        TsReportBadError("The same message", false, c.showDuplicates, false);
        EXPECT_EQ(c.boxes, ui.Boxes().size());
    }
    EXPECT_TRUE(m_server.Targets().empty()) << "the user said no";
    EXPECT_EQ(3u, LoggedReports().size());
}

TEST_F(ErrorReportTest, MemoryExhaustedShowsOnlyTheMemoryTextAndLogsTheReport)
{
    CRealErrorReports real(Endpoint());
    bool bCreated = false;
    DWORD dwError = 0;
    const bool bConnected = TsConnectSharedData(bCreated, dwError);
    if (bConnected)
        g_pTsSharedData->dwOutOfMemory = 0;

    CUiDriver ui;
    ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    TsReportBadError("Allocation failed", false, false, false);

    auto boxes = ui.Boxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ("Out of Resources/Memory", boxes[0].caption);
    EXPECT_EQ(kTsOutOfMemoryTrouble.pszText, boxes[0].Text());
    EXPECT_TRUE(m_server.Targets().empty());
    auto logged = LoggedReports();
    ASSERT_EQ(1u, logged.size());
    EXPECT_NE(std::string::npos, logged[0].find("\nOUT OF MEMORY\nAllocation failed\n")) << logged[0];
    EXPECT_NE(std::string::npos, logged[0].find("*Processes*: ")) << logged[0];
    if (bConnected) {
        EXPECT_EQ(1u, g_pTsSharedData->dwOutOfMemory);
        g_pTsSharedData->dwOutOfMemory = 0;
        TsDisconnectShared();
    }
}

TEST_F(ErrorReportTest, KnownModulesAreMatchedInExactCase)
{
    struct Case {
        const char* fileName;
        const char* caption;
        const char* textStart;
    };
    static const Case kCases[] = {
        {"shw95dll.dll", "Exception in Tessaly caused by Others", "You have Kensington Mouse Works software\n"},
        {"GDIWXP.DLL", kSystemErrorCaption, kQuestionStart},
    };
    CRealErrorReports real(Endpoint());
    const std::string sLibrary = testutil::ModuleFolder() + "\\tsver_small.dll";
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.fileName);
        const std::string sCopy = m_dir / c.fileName;
        ASSERT_TRUE(::CopyFileA(sLibrary.c_str(), sCopy.c_str(), FALSE));
        HMODULE hModule = ::LoadLibraryA(sCopy.c_str());
        ASSERT_NE(nullptr, hModule);
        CUiDriver ui(CUiDriver::Press(IDNO));
        TsTraceReset();   // the trace must not name the module of an earlier case
        TsReportBadError("A report with a module loaded", false, true, false);
        ::FreeLibrary(hModule);
        auto boxes = ui.Boxes();
        ASSERT_EQ(1u, boxes.size());
        EXPECT_EQ(c.caption, boxes[0].caption);
        EXPECT_EQ(0u, boxes[0].Text().find(c.textStart)) << boxes[0].Text();
        auto logged = LoggedReports();
        ASSERT_FALSE(logged.empty());
        EXPECT_NE(std::string::npos, logged.back().find(std::string(c.fileName) + " ")) << "in the module list";
    }
    EXPECT_TRUE(m_server.Targets().empty());
}

TEST_F(ErrorReportTest, QuestionShowsTheShortenedReportAndYesSendsIt)
{
    CRealErrorReports real(Endpoint());
    const std::string sMessage = std::string(200, 'w') + "\n" + Lines(40, "line ");
    CUiDriver ui(CUiDriver::Press(IDYES));
    TsReportBadError(sMessage.c_str(), false, false, false);

    auto logged = LoggedReports();
    ASSERT_EQ(1u, logged.size());
    auto boxes = ui.Boxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(kSystemErrorCaption, boxes[0].caption);
    EXPECT_EQ(kQuestionStart + ShortenReportForDisplay(logged[0]) + kQuestionEnd, boxes[0].Text());
    EXPECT_NE(std::string::npos, boxes[0].Text().find("\n" + std::string(80, 'w') + "\nline 0\n"));
    EXPECT_EQ(3u, m_server.Targets().size());
}

TEST_F(ErrorReportTest, DontAskSendsTheThreeRequestsWithoutAQuestion)
{
    CRegisteredUser registered;
    TsUserRegInfo user;
    ASSERT_TRUE(GetUserRegInfo(user));
    ASSERT_STREQ("Erika Musterfrau", user.sName.c_str());
    CRealErrorReports real(Endpoint());
    CUiDriver ui;
    TsTrace("MARK\n", "marker\n");
    TsReportBadError("Short message (with parentheses)", false, false, true);
    EXPECT_TRUE(ui.Boxes().empty());

    auto queries = Queries();
    ASSERT_EQ(3u, queries.size());
    auto logged = LoggedReports();
    ASSERT_EQ(1u, logged.size());
    for (const std::string& sTarget : m_server.Targets())
        EXPECT_EQ(0u, sTarget.find("/tserror?%0AName:%20")) << sTarget;

    // No request names the registered user, and none stays in the URL cache.
    for (const std::string& sQuery : queries) {
        EXPECT_EQ(std::string::npos, sQuery.find("Musterfrau")) << sQuery;
        EXPECT_EQ(std::string::npos, sQuery.find("erika@")) << sQuery;
    }
    EXPECT_EQ(std::vector<std::string>{}, CachedUrlsWith(Endpoint()));

    // First: the (empty) user, then the report's header and the message.
    const std::string sUser = kUserPart;
    ASSERT_EQ(0u, queries[0].find(sUser)) << queries[0];
    const std::string sHeaderAndMessage = queries[0].substr(sUser.size());
    EXPECT_EQ(0u, logged[0].find(sHeaderAndMessage));
    EXPECT_EQ(0u, sHeaderAndMessage.find(GetDateStamp().c_str()));
    EXPECT_EQ("\nShort message (with parentheses)",
              sHeaderAndMessage.substr(sHeaderAndMessage.size() - 33));

    // Second: the version and the trace, newest text last.
    const std::string sVersion = sUser + "V 6.10.2 \n";
    ASSERT_EQ(0u, queries[1].find(sVersion + "*MiniTr:*\n")) << queries[1];
    EXPECT_NE(std::string::npos, queries[1].find("MARK\n"));
    EXPECT_NE(std::string::npos, queries[1].find("BADE: mf=0 sd=0 msg=Short message (with |\n"));
    EXPECT_EQ("BADR: 1 1\n", queries[1].substr(queries[1].size() - 10));

    // Third: the processes and modules.
    ASSERT_EQ(0u, queries[2].find(sVersion + "*Modules*: ")) << queries[2];
    EXPECT_NE(std::string::npos, queries[2].find("strings_tests.exe ")) << queries[2];
    EXPECT_NE(std::string::npos, queries[2].find("\n*Processes*: ")) << queries[2];

    CString sTrace;
    TsGetTraceText(sTrace);
    EXPECT_NE(-1, sTrace.Find("BADR: 3 1\n")) << sTrace.c_str();
    EXPECT_NE(-1, sTrace.Find("BAD-\n", sTrace.Find("BADR: 3 1\n"))) << sTrace.c_str();
}

TEST_F(ErrorReportTest, RequestsKeepToTheLimitAndTheTraceKeepsItsNewestPart)
{
    CRealErrorReports real(Endpoint());
    for (int i = 0; i < 100; ++i)
        TsTrace("TRC %04d\n", "trace line %04d\n", i);
    TsReportBadError(std::string(3000, 'm').c_str(), false, false, true);

    auto targets = m_server.Targets();
    ASSERT_EQ(3u, targets.size());
    EXPECT_EQ(kTsReportRequestLimit, UrlLength(targets[0]));
    EXPECT_EQ(kTsReportRequestLimit, UrlLength(targets[1]));
    const std::string sSecond = CLocalHttpServer::DecodedQuery(targets[1]);
    EXPECT_EQ("BADR: 1 1\n", sSecond.substr(sSecond.size() - 10));
    EXPECT_NE(std::string::npos, sSecond.find("TRC 0099\n"));
    EXPECT_EQ(std::string::npos, sSecond.find("TRC 0010\n")) << "the oldest part is left out";
    EXPECT_LE(UrlLength(targets[2]), kTsReportRequestLimit);
}

TEST_F(ErrorReportTest, FailedFirstRequestTellsTheUserAndTheOthersAreStillTried)
{
    const std::string sEndpoint =
        "http://127.0.0.1:" + std::to_string(CLocalHttpServer::UnusedPort()) + "/tserror";
    CRealErrorReports real(sEndpoint);
    CUiDriver ui;
    TsReportBadError("Nobody listens", false, false, true);

    auto boxes = ui.Boxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(kSystemErrorCaption, boxes[0].caption);
    const std::string sText = boxes[0].Text();
    EXPECT_EQ(0u, sText.find("Cannot connect to " + sEndpoint + ":\nCannot connect to server: ")) << sText;
    const std::string sEnd = "\nPlease report this to support@norvaneworks.example";
    EXPECT_EQ(sEnd, sText.substr(sText.size() - sEnd.size()));

    CString sTrace;
    TsGetTraceText(sTrace);
    EXPECT_NE(-1, sTrace.Find("BADR: 1 0\n")) << sTrace.c_str();
    EXPECT_NE(-1, sTrace.Find("BADR: 2 0\n")) << sTrace.c_str();
    EXPECT_NE(-1, sTrace.Find("BADR: 3 0\n")) << sTrace.c_str();
}
