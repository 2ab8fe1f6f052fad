#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "HelperProcess.h"
#include "Strings/TsLock.h"
#include "Strings/TsSharedData.h"
#include "Strings/TsString.h"
#include "TestUtil.h"

namespace {

// Every connection of a test is undone by the test, so this process starts each one
// disconnected, and without a helper running nobody else holds the block.
class SharedData : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(nullptr, g_pTsSharedData); }
    void TearDown() override { EXPECT_EQ(nullptr, g_pTsSharedData); }
};

}  // namespace

TEST_F(SharedData, CountsConnectionsAndUnmapsAtTheLast)
{
    bool bCreated = false;
    DWORD dwError = 1;
    ASSERT_TRUE(TsConnectSharedData(bCreated, dwError));
    EXPECT_TRUE(bCreated);
    EXPECT_EQ(0u, dwError);
    TsSharedDataBlock* pFirst = g_pTsSharedData;
    ASSERT_NE(nullptr, pFirst);
    pFirst->dwChangeCount = 41;

    ASSERT_TRUE(TsConnectSharedData(bCreated, dwError));
    EXPECT_FALSE(bCreated);
    EXPECT_EQ(pFirst, g_pTsSharedData);

    // Another process sees the same block, created by us.
    EXPECT_EQ("connect ok=1 created=0 error=0\ndword@0=41\n", RunHelper("connect dword 0 disconnect"));

    TsDisconnectShared();
    EXPECT_EQ(pFirst, g_pTsSharedData);
    EXPECT_EQ(41u, g_pTsSharedData->dwChangeCount);
    TsDisconnectShared();
    EXPECT_EQ(nullptr, g_pTsSharedData);
    TsDisconnectShared();   // one too many changes nothing
}

TEST_F(SharedData, AFreshBlockAfterEveryoneLeft)
{
    bool bCreated = false;
    DWORD dwError = 0;
    ASSERT_TRUE(TsConnectSharedData(bCreated, dwError));
    g_pTsSharedData->dwLogoffCount = 5;
    TsDisconnectShared();

    // Nobody holds the block any more: the next process creates it zero-filled.
    EXPECT_EQ("connect ok=1 created=1 error=0\ndword@236=0\n", RunHelper("connect dword 236 disconnect"));

    // While the helper stays connected, our connection finds its data.
    CMeetingEvent connected("connected");
    CMeetingEvent done("done");
    CHelperProcess helper("connect setwatcher 1234abc signal " + connected.Name() + " wait " + done.Name() +
                          " disconnect");
    ASSERT_TRUE(connected.Wait());
    ASSERT_TRUE(TsConnectSharedData(bCreated, dwError));
    EXPECT_FALSE(bCreated);
    EXPECT_EQ(TsFieldToWnd(0x1234abc), GetWatcherWnd());
    EXPECT_EQ(0x5A5Au, g_pTsSharedData->dwWatcherCompanion);
    EXPECT_EQ(0x1234abcu, g_pTsSharedData->hWatcherWnd);
    done.Set();
    EXPECT_EQ(0, helper.Wait());
    TsDisconnectShared();
}

TEST_F(SharedData, WindowHandlesInTheirFields)
{
    bool bCreated = false;
    DWORD dwError = 0;
    ASSERT_TRUE(TsConnectSharedData(bCreated, dwError));
    HWND hWnd = ::CreateWindowA("STATIC", "watcher", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(nullptr, hWnd);
    SetWatcherWnd(hWnd, 77);
    EXPECT_EQ(hWnd, GetWatcherWnd());
    EXPECT_EQ(static_cast<DWORD>(reinterpret_cast<UINT_PTR>(hWnd)), g_pTsSharedData->hWatcherWnd);

    // Another process reads the same handle from the 32-bit field.
    char szExpected[64];
    wsprintfA(szExpected, "connect ok=1 created=0 error=0\nwatcher=%lx\n", TsWndToField(hWnd));
    EXPECT_EQ(std::string(szExpected), RunHelper("connect getwatcher disconnect"));

    g_pTsSharedData->hPasswordWnd = TsWndToField(hWnd);
    g_pTsSharedData->hListWnd = 0x10;
    g_pTsSharedData->hOptionsWnd = 0x20;
    EXPECT_EQ(hWnd, GetPasswordWnd());
    EXPECT_EQ(TsFieldToWnd(0x10), GetListWnd());
    EXPECT_EQ(TsFieldToWnd(0x20), GetOptWnd());

    SetWatcherWnd(nullptr, 0);
    EXPECT_EQ(0u, g_pTsSharedData->hWatcherWnd);
    EXPECT_EQ(0u, g_pTsSharedData->dwWatcherCompanion);
    ::DestroyWindow(hWnd);
    TsDisconnectShared();
    EXPECT_EQ(nullptr, GetWatcherWnd());   // not connected: nothing to read
}

TEST_F(SharedData, LogoffEmptiesPasswordsAndCounts)
{
    bool bCreated = false;
    DWORD dwError = 0;
    ASSERT_TRUE(TsConnectSharedData(bCreated, dwError));
    TsSharedDataBlock* p = g_pTsSharedData;
    TsStorePassText(p->szMasterPass, kTsPassTextBytesMaster, TsString(L"Secret master"));
    TsStorePassText(p->szCurrentPass, kTsPassTextBytesCurrent, TsString(L"current"));
    EXPECT_EQ(TsString(L"Secret master"), TsLoadPassText(p->szMasterPass, kTsPassTextBytesMaster));
    EXPECT_EQ(TsScrambleChar(L'S'), p->szMasterPass[0]);
    p->dwChangeCount = 10;
    p->dwLoggedOnFlag = 1;
    p->dwLogoffCount = 20;
    p->dwLogoffWord = 0xFFFF;
    p->hWatcherWnd = 0x99;

    // The helper logs off through its own connection.
    EXPECT_EQ("", RunHelper("logoff"));
    EXPECT_EQ(11u, p->dwChangeCount);
    EXPECT_EQ(0u, p->dwLoggedOnFlag);
    EXPECT_EQ(21u, p->dwLogoffCount);
    EXPECT_EQ(0u, p->dwLogoffWord);
    EXPECT_EQ(0x99u, p->hWatcherWnd);   // not the logoff's business
    // Both fields are empty, and no character of the old passwords is left behind.
    const WCHAR zeros[kTsPassTextBytesCurrent / 2] = {};
    EXPECT_EQ(0, std::memcmp(zeros, p->szMasterPass, kTsPassTextBytesMaster));
    EXPECT_EQ(0, std::memcmp(zeros, p->szCurrentPass, kTsPassTextBytesCurrent));

    ExternalLogoff(p);
    EXPECT_EQ(12u, p->dwChangeCount);
    EXPECT_EQ(22u, p->dwLogoffCount);
    TsDisconnectShared();

    ExternalLogoff(p);   // not connected: nothing may be touched
}

TEST(SharedDataText, ScrambleSwapsBitPairsAndTruncates)
{
    struct Case {
        WCHAR ch;
        WCHAR scrambled;
    };
    static const Case kCases[] = {{0x0001, 0x0002}, {0x0002, 0x0001}, {0x0041, 0x0082}, {0xFFFF, 0xFFFF},
                                  {0x8000, 0x4000}, {0x5555, 0xAAAA}, {0x0000, 0x0000}};
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.ch);
        EXPECT_EQ(c.scrambled, TsScrambleChar(c.ch));
        EXPECT_EQ(c.ch, TsScrambleChar(TsScrambleChar(c.ch)));
    }
    // A text longer than the field keeps its terminator.
    WCHAR field[4] = {1, 1, 1, 1};
    TsStorePassText(field, sizeof(field), TsString(L"abcdef"));
    EXPECT_EQ(0, field[3]);
    EXPECT_EQ(TsString(L"abc"), TsLoadPassText(field, sizeof(field)));
}

// The private block stands in when the name cannot be mapped; a separate process shows it,
// since the stand-in serves that process for the rest of its life.
TEST(SharedDataFallback, PrivateBlockWhenMappingFails)
{
    EXPECT_EQ("connect ok=0 created=0 error=6\nconnect ok=1 created=0 error=0\ndword@0=0\n",
              RunHelper("blockmapping connect connect dword 0 disconnect disconnect"));
}

// A mapping of the block's name that another program made one page small is not used: the
// fields past its end would lie outside it.
TEST(SharedDataFallback, PrivateBlockWhenTheMappingIsTooSmall)
{
    EXPECT_EQ("smallmapping=1\nconnect ok=0 created=0 error=24\nconnect ok=1 created=0 error=0\ndword@0=0\n",
              RunHelper("smallmapping connect connect dword 0 disconnect disconnect"));
}

// Texts in the block are read up to their field's end at most: any program of the user can
// leave a field without its terminator.
TEST(SharedDataText, FieldTextsAreBoundedByTheirField)
{
    testutil::CGuardedPage page;
    ASSERT_TRUE(page.Valid());
    char* pField = page.End() - kTsOwnerLabelBytes;
    std::memset(pField, 'L', kTsOwnerLabelBytes);   // no terminator, and nothing readable after it
    CString s = TsReadBlockText(pField, kTsOwnerLabelBytes);
    EXPECT_EQ(kTsOwnerLabelBytes, s.GetLength());
    EXPECT_EQ(std::string(kTsOwnerLabelBytes, 'L'), std::string(s.c_str()));

    std::memcpy(pField, "GetWatcherWnd", 14);
    EXPECT_STREQ("GetWatcherWnd", TsReadBlockText(pField, kTsOwnerLabelBytes));
    EXPECT_STREQ("", TsReadBlockText(pField, 0));
    EXPECT_STREQ("", TsReadBlockText(nullptr, kTsOwnerLabelBytes));
}
