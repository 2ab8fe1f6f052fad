#include <gtest/gtest.h>

#include "Strings/TsLog.h"
#include "ErrorReports.h"
#include "TestUtil.h"
#include "framework/Exceptions.h"

#include <string>

using testutil::CTempDir;

TEST(TsLog, StampedLineFormat)
{
    SYSTEMTIME st = {};
    st.wYear = 2009; st.wMonth = 12; st.wDay = 6;
    st.wHour = 14; st.wMinute = 3; st.wSecond = 27; st.wMilliseconds = 512;
    EXPECT_STREQ("06-12-09 14:03:27.512 [2F] Unpack  file.dll\r\n", TsLogFormatLine(st, "Unpack ", "file.dll", 0x2F));
    st.wYear = 1999;
    EXPECT_STREQ("06-12-99 14:03:27.512 [0]  \r\n", TsLogFormatLine(st, nullptr, nullptr, 0));
    // A line longer than the buffer is cut at 4096 characters and loses its line end.
    std::string sLong(5000, 'x');
    CString s = TsLogFormatLine(st, sLong.c_str(), "", 1);
    EXPECT_EQ(4096, s.GetLength());
    EXPECT_EQ('x', s[4095]);
}

// The log is process-wide and starts once, so one test covers the whole life of it.
TEST(TsLog, StartsOnceInTheTempOptionFolderAndAppends)
{
    TsLogReset();
    CTempDir dir;
    std::string cmd = "/tempdir=x /temp=\"" + dir.Path() + "\\\" /other";
    // The first occurrence of "/temp" is "/tempdir", which has no "=" right after it.
    char szValue[256];
    EXPECT_FALSE(GetCmdLineValue(cmd.c_str(), "/temp", szValue, sizeof(szValue)));

    cmd = "/temp=\"" + dir.Path() + "\\\" kill";
    TsLogStart(cmd.c_str());
    TsLogStart("/temp=c:\\elsewhere");
    TsLogWrite("Step ", "detail", 0x10, TRUE);
    TsLogWrite("raw text", "ignored", 5, FALSE);
    TsLogWriteRaw("|end");

    const std::string sLog = dir / "_ts.log";
    EXPECT_STREQ(sLog.c_str(), TsLogGetPath());
    std::string text = testutil::ReadFileOrEmpty(sLog);
    ASSERT_EQ(0u, text.find("\n\n***\n"));
    EXPECT_EQ(std::string::npos, text.find("***", 6)) << "the header is written once";
    EXPECT_NE(std::string::npos, text.find("[0] TsSetup started from "));
    EXPECT_NE(std::string::npos, text.find("[0] TsSetup command line " + cmd + "\r\n"));
    EXPECT_NE(std::string::npos, text.find("[10] Step  detail\r\nraw text|end"));
    // The file is not held open between writes.
    EXPECT_TRUE(::DeleteFileA(sLog.c_str()));
    TsLogReset();
}

// A log left in the folder as a hard link to another file, or a log folder reached through
// a link: the other file is never written.
TEST(TsLog, NeverWritesThroughALink)
{
    CTempDir dir;
    CTempDir outside;
    const std::string sOther = outside / "other.txt";
    ASSERT_TRUE(testutil::WriteFileBytes(sOther, "somebody else's"));
    ASSERT_TRUE(::CreateHardLinkA((dir / "_ts.log").c_str(), sOther.c_str(), nullptr));
    ASSERT_TRUE(testutil::MakeFolderLink(dir / "linked", outside.Path()));
    TsLogReset();
    TsLogStart(("/temp=\"" + dir / "linked" + "\"").c_str());
    EXPECT_EQ(std::string::npos, std::string(TsLogGetPath().c_str()).find(dir / "linked")) << "the next place";
    TsLogWrite("Step ", "detail", 0, TRUE);
    EXPECT_EQ((std::vector<std::string>{"other.txt"}), [&] {
        std::vector<std::string> v;
        WIN32_FIND_DATAA fd;
        HANDLE h = ::FindFirstFileA((outside / "*").c_str(), &fd);
        do
            if (fd.cFileName[0] != '.')
                v.push_back(fd.cFileName);
        while (h != INVALID_HANDLE_VALUE && ::FindNextFileA(h, &fd));
        ::FindClose(h);
        return v;
    }()) << "nothing made behind the link";
    TsLogReset();
    TsLogStart(("/temp=\"" + dir.Path() + "\"").c_str());
    TsLogWrite("Step ", "detail", 0, TRUE);
    EXPECT_EQ("somebody else's", testutil::ReadFileOrEmpty(sOther));
    EXPECT_NE(std::string::npos, testutil::ReadFileOrEmpty(dir / "_ts.log").find("[0] Step  detail"));
    TsLogReset();
    ::DeleteFileA((dir / "_ts.log").c_str());
    testutil::RemoveFolderLink(dir / "linked");
}

TEST(TsLog, DeleteOldKeepsADayOldTemporaryLog)
{
    char szTemp[MAX_PATH];
    ::GetTempPathA(MAX_PATH, szTemp);
    const std::string sLog = std::string(szTemp) + "_ts.log";

    auto writeWithAge = [&](double hoursCreate, double hoursWrite) {
        ASSERT_TRUE(testutil::WriteFileBytes(sLog, "old"));
        FILETIME now;
        ::GetSystemTimeAsFileTime(&now);
        auto ago = [&](double hours) {
            ULARGE_INTEGER u;
            u.LowPart = now.dwLowDateTime;
            u.HighPart = now.dwHighDateTime;
            u.QuadPart -= static_cast<ULONGLONG>(hours * 36000000000.0);
            FILETIME ft;
            ft.dwLowDateTime = u.LowPart;
            ft.dwHighDateTime = u.HighPart;
            return ft;
        };
        FILETIME c = ago(hoursCreate), w = ago(hoursWrite);
        HANDLE h = ::CreateFileA(sLog.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, h);
        ASSERT_TRUE(::SetFileTime(h, &c, &c, &w));
        ::CloseHandle(h);
    };

    writeWithAge(30, 23);
    TsLogDeleteOld();
    EXPECT_TRUE(testutil::FileExists(sLog)) << "written 23 hours ago: kept";

    writeWithAge(30, 25);
    TsLogDeleteOld();
    EXPECT_FALSE(testutil::FileExists(sLog)) << "all three times older than a day: deleted";
}

TEST(TsLog, WritableTempFolderHasNoTrailingBackslash)
{
    CString s;
    ASSERT_TRUE(GetWritableTempFolder(s));
    ASSERT_FALSE(s.IsEmpty());
    EXPECT_NE('\\', s[s.GetLength() - 1]);
    EXPECT_TRUE(IsFolderWritable(s));
    EXPECT_FALSE(IsFolderWritable("c:\\no\\such\\folder"));
}

struct CmdValueCase {
    const char* cmdLine;
    const char* key;
    int size;
    bool found;
    const char* value;
    int rest;
};
static const CmdValueCase kCmdValueCases[] = {
    {"/temp=c:\\x kill", "/temp", 256, true, "c:\\x", 10},
    {"/TEMP=\"c:\\my folder\\\" next", "/temp", 256, true, "c:\\my folder\\", 21},
    {"/temp=abcdef", "/temp", 4, true, "abc", 12},
    {"/temp", "/temp", 256, false, "", -1},
    {"/temp c:\\x", "/temp", 256, false, "", -1},
    {"/temp=\"unterminated", "/temp", 256, true, "unterminated", 19},
    {"nothing here", "/temp", 256, false, "", -1},
};

TEST(TsLog, GetCmdLineValue)
{
    for (const CmdValueCase& c : kCmdValueCases) {
        SCOPED_TRACE(c.cmdLine);
        char szValue[256] = "";
        int nRest = -1;
        EXPECT_EQ(c.found, GetCmdLineValue(c.cmdLine, c.key, szValue, c.size, nullptr, &nRest));
        EXPECT_STREQ(c.value, szValue);
        EXPECT_EQ(c.rest, nRest);
    }
    char sz[8];
    EXPECT_FALSE(GetCmdLineValue(nullptr, "/temp", sz, sizeof(sz)));
    EXPECT_FALSE(GetCmdLineValue("/temp=x", "/temp", nullptr, 8));
}

TEST(TsLog, FindNoCaseAndAbsolutePaths)
{
    EXPECT_EQ(4, FindNoCase("abc SILENT", "silent"));
    EXPECT_EQ(-1, FindNoCase("ab", "abc"));
    EXPECT_EQ(0, FindNoCase("abc", "ABC"));
    EXPECT_EQ(-1, FindNoCase("abcab", "abd"));

    struct { const char* path; bool absolute; } cases[] = {
        {"\\\\server\\share", true}, {"//server", true}, {"\\/mixed", true}, {"c:\\x", true}, {"c:/x", true},
        {"c:x", false}, {"c:", false}, {"\\x", false}, {"x\\y", false}, {"", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(c.absolute, IsAbsolutePath(c.path));
    }
    char szPath[] = "c:\\dir\\";
    StripTrailingBackslash(szPath);
    EXPECT_STREQ("c:\\dir", szPath);
    char szEmpty[] = "";
    StripTrailingBackslash(szEmpty);
    EXPECT_STREQ("", szEmpty);
}

TEST(TsTrace, RingKeepsTheNewestTextInPlainOrder)
{
    TsTraceReset();
    CString sEmpty;
    TsGetTraceText(sEmpty);
    EXPECT_TRUE(sEmpty.IsEmpty());

    TsTrace("first %d\n", "the first trace %d\n", 1);
    TsTrace("no line end ", "long");
    TsTrace("continued\n", "long");
    CString s;
    TsGetTraceText(s);
    // Only texts that begin a line get the time and thread prefix.
    char szPrefix[64];
    wsprintfA(szPrefix, ": t=%lx: first 1\n", ::GetCurrentThreadId());
    EXPECT_NE(-1, s.Find(szPrefix)) << s.c_str();
    EXPECT_NE(-1, s.Find(": no line end continued\n")) << s.c_str();

    // More than the ring holds: only the newest bytes remain, oldest first.
    for (int i = 0; i < 200; ++i)
        TsTrace("line %03d\n", "line %03d\n", i);
    CString sAll;
    TsGetTraceText(sAll);
    EXPECT_LE(sAll.GetLength(), 1811);
    EXPECT_EQ(-1, sAll.Find("first 1"));
    EXPECT_EQ(sAll.GetLength() - 9, sAll.Find("line 199\n"));
    EXPECT_LT(sAll.Find("line 190\n"), sAll.Find("line 191\n"));
}

TEST(TsTrace, LongTextIsCutAndEndsTheLine)
{
    TsTraceReset();
    std::string sLong(400, 'y');
    TsTrace("%s", "%s", sLong.c_str());
    TsTrace("after\n", "after\n");
    CString s;
    TsGetTraceText(s);
    int nBar = s.Find("|\n");
    ASSERT_NE(-1, nBar);
    EXPECT_EQ(252, nBar);
    EXPECT_NE(-1, (s.Find(": t=", 254))) << "the next text starts a new line with its prefix";
    EXPECT_NE(-1, s.Find("after\n"));
}

TEST(TsTrace, SoftAssertRecordsSourceAndLine)
{
    TsTraceReset();
    SOFTASSERT(1 + 1 == 3);
    const int nLine = __LINE__ - 1;
    SOFTASSERT(true);
    CString s;
    TsGetTraceText(s);
    CString sExpected;
    sExpected.Format("!!!SA tests/unit/Strings/TsLogTest.cpp: %d\n", nLine);
    EXPECT_NE(-1, s.Find(sExpected)) << s.c_str();
    EXPECT_EQ(-1, s.Find("!!!SA", s.Find("!!!SA") + 1)) << "only the failed one is recorded";
}

TEST(TsAssert, HardAssertionReportsAndThrowsUserException)
{
    testutil::ClearRecordedErrorReports();
    ::SetLastError(0x57);
    EXPECT_THROW(TsAssertFail("Strings\\TsTls", 42, 7, nullptr), CUserException);
    auto reports = testutil::RecordedErrorReports();
    ASSERT_EQ(1u, reports.size());
    EXPECT_EQ(0u, reports[0].sMessage.find("ASSERT\nAssertion failed: c=7 s=-null- GetLastError=57\n"
                                           "File: Strings\\TsTls, Line: 42\n"))
        << reports[0].sMessage;
    EXPECT_FALSE(reports[0].bDontAsk);
    EXPECT_FALSE(reports[0].bShowDuplicates);
}

TEST(TsLog, ErrorText)
{
    CString s;
    GetErrorText(s, 0x2AF3B0C1);
    EXPECT_STREQ("Error (2AF3B0C1)", s);
    GetErrorText(s, ERROR_FILE_NOT_FOUND);
    EXPECT_STREQ(" (2)", s.Right(4));
    EXPECT_NE(0, s.Find("Error")) << "the system has a text for code 2: " << s.c_str();

    CString sTime = GetTimeStamp();
    EXPECT_EQ(10, sTime.GetLength());
    EXPECT_EQ('.', sTime[6]);
    CString sDate = GetDateStamp();
    EXPECT_EQ(10, sDate.GetLength());
    EXPECT_EQ('/', sDate[4]);
}
