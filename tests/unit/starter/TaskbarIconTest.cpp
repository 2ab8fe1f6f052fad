// Starting the taskbar-icon program and waiting for its watcher window, with the tray
// stand-in as the program and the real shared data block.
#include <gtest/gtest.h>

#include <string>

#include "Strings/TsLog.h"
#include "Strings/TsSharedData.h"
#include "TestUtil.h"
#include "UiDriver.h"
#include "starter/PortableStarterApp.h"
#include "starter/TaskbarIcon.h"

namespace {

using testutil::CTempDir;

// The stand-in built beside the tests: <build>\standins\TessTaskBarIcon.exe.
std::string TrayStandIn()
{
    std::string s = testutil::ModuleFolder();
    return s.substr(0, s.find_last_of('\\')) + "\\standins\\TessTaskBarIcon.exe";
}

// A program folder holding the tray stand-in with the given settings.
void PrepareProgramFolder(const CTempDir& dir, const std::string& sSettings)
{
    ASSERT_TRUE(::CopyFileA(TrayStandIn().c_str(), (dir / "TessTaskBarIcon.exe").c_str(), FALSE));
    if (!sSettings.empty()) {
        ASSERT_TRUE(testutil::WriteFileBytes(dir / "TessTaskBarIcon.ini", "[StandIn]\r\n" + sSettings));
    }
}

// Ends every tray stand-in that a test started, through its watcher window or its record.
void CloseTray(const CTempDir& dir)
{
    bool bCreated = false;
    DWORD dwError = 0;
    bool bAsked = false;
    if (TsConnectSharedData(bCreated, dwError)) {
        if (HWND h = GetWatcherWindow(g_pTsSharedData))
            bAsked = ::PostMessageA(h, WM_CLOSE, 0, 0) != FALSE;
        TsDisconnectShared();
    }
    std::string sRecord = testutil::ReadFileOrEmpty(dir / "TessTaskBarIcon.exe.rec");
    size_t nPos = sRecord.find("start pid=");
    if (nPos != std::string::npos) {
        DWORD dwPid = std::stoul(sRecord.substr(nPos + 10));
        if (HANDLE h = ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, dwPid)) {
            if (::WaitForSingleObject(h, bAsked ? 5000 : 0) == WAIT_TIMEOUT)
                ::TerminateProcess(h, 1);
            ::CloseHandle(h);
        }
    }
}

class TaskbarIcon : public ::testing::Test {
protected:
    void SetUp() override
    {
        // A block held for the whole test, as the running product would hold it.
        ASSERT_TRUE(TsConnectSharedData(m_bCreated, m_dwError));
        g_pTsSharedData->hWatcherWnd = 0;
        g_pTsSharedData->dwWatcherCompanion = 0;
    }
    void TearDown() override
    {
        CloseTray(m_dir);
        TsDisconnectShared();
    }

    CTempDir m_dir;
    CPortableStarterApp m_app;
    bool m_bCreated = false;
    DWORD m_dwError = 0;
};

TEST_F(TaskbarIcon, StartsTheProgramFromItsFolderAndFindsItsWatcher)
{
    PrepareProgramFolder(m_dir, "");
    CUiDriver driver;
    DWORD dwStart = ::GetTickCount();
    EXPECT_EQ(1, m_app.StartTaskbarIcon(m_dir.Path().c_str()));
    EXPECT_LT(::GetTickCount() - dwStart, 5000u);
    EXPECT_TRUE(driver.Boxes().empty());

    HWND hWatcher = GetWatcherWindow(g_pTsSharedData);
    ASSERT_NE(nullptr, hWatcher);
    std::string sRecord = testutil::ReadFileOrEmpty(m_dir / "TessTaskBarIcon.exe.rec");
    EXPECT_NE(std::string::npos, sRecord.find(" folder=" + m_dir.Path() + " args=\r\n")) << sRecord;
}

TEST_F(TaskbarIcon, LatePublishingEndsTheWaitAtTheNextCheck)
{
    PrepareProgramFolder(m_dir, "PublishAfterMs=3000\r\n");
    CUiDriver driver;
    DWORD dwStart = ::GetTickCount();
    EXPECT_EQ(1, m_app.StartTaskbarIcon(m_dir.Path().c_str()));
    DWORD dwElapsed = ::GetTickCount() - dwStart;
    EXPECT_GE(dwElapsed, 3000u);
    // Ended by the check after the publishing, long before the whole wait (41 steps of
    // 500 ms) ran out; the margin is for a busy machine, where a step can take longer.
    EXPECT_LT(dwElapsed, 3000u + 12 * kWatcherWaitStepMs);
    EXPECT_TRUE(driver.Boxes().empty());
}

TEST_F(TaskbarIcon, AWatcherThatNeverComesGivesTheTimeoutWarning)
{
    PrepareProgramFolder(m_dir, "Publish=0\r\n");
    CUiDriver driver;
    DWORD dwStart = ::GetTickCount();
    EXPECT_EQ(1, m_app.StartTaskbarIcon(m_dir.Path().c_str()));
    DWORD dwElapsed = ::GetTickCount() - dwStart;
    // 41 waits of 500 ms, then the warning (answered at once by the driver).
    EXPECT_GE(dwElapsed, 20000u);
    EXPECT_LT(dwElapsed, 26000u);
    std::vector<UiBox> boxes = driver.Boxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ("Wayfarer", boxes[0].caption);
    EXPECT_EQ("Timeout waiting for Wayfarer Taskbar Icon\n", boxes[0].Text());
}

TEST_F(TaskbarIcon, AMissingProgramIsReported)
{
    CUiDriver driver;
    EXPECT_EQ(0, m_app.StartTaskbarIcon(m_dir.Path().c_str()));
    std::vector<UiBox> boxes = driver.Boxes();
    ASSERT_EQ(1u, boxes.size());
    CString sReason;
    GetErrorText(sReason, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ("Wayfarer", boxes[0].caption);
    EXPECT_EQ("Cannot run Wayfarer Taskbar Icon:\nFailed to run " + m_dir.Path() + "\\TessTaskBarIcon.exe\nReason: " +
                  sReason.c_str(),
              boxes[0].Text());
}

TEST_F(TaskbarIcon, AStaleWatcherHandleIsClearedByTheFirstLook)
{
    HWND hGone = ::CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(nullptr, hGone);
    ::DestroyWindow(hGone);
    g_pTsSharedData->hWatcherWnd = TsWndToField(hGone);
    g_pTsSharedData->dwWatcherCompanion = 1234;

    EXPECT_EQ(nullptr, GetWatcherWindow(g_pTsSharedData));
    EXPECT_EQ(0u, g_pTsSharedData->hWatcherWnd);
    EXPECT_EQ(0u, g_pTsSharedData->dwWatcherCompanion);

    // A live window stays, and the wait for it ends at once.
    HWND hLive = ::CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    g_pTsSharedData->hWatcherWnd = TsWndToField(hLive);
    g_pTsSharedData->dwWatcherCompanion = 99;
    EXPECT_EQ(hLive, GetWatcherWindow(g_pTsSharedData));
    EXPECT_EQ(99u, g_pTsSharedData->dwWatcherCompanion);
    DWORD dwStart = ::GetTickCount();
    EXPECT_EQ(TRUE, WaitForWatcherWindow());
    EXPECT_LT(::GetTickCount() - dwStart, 400u);
    g_pTsSharedData->hWatcherWnd = 0;
    ::DestroyWindow(hLive);
}

}  // namespace
