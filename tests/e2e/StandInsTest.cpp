// The stand-ins for the product's programs keep the promises the starter relies on: the
// tray program publishes its watcher window in the shared block and answers 0x504 and
// WM_CLOSE; the keycards program and the installer record what they were given.
#include <gtest/gtest.h>

#include "E2eUtil.h"
#include "TestUtil.h"

namespace {

using testutil::CTempDir;

std::string CopyStandIn(const CTempDir& dir, const char* pszName, const char* pszTarget = nullptr)
{
    std::string sTarget = dir / (std::string(pszTarget ? pszTarget : pszName) + (pszTarget ? "" : ".exe"));
    EXPECT_TRUE(::CopyFileA(e2e::StandInPath(pszName).c_str(), sTarget.c_str(), FALSE)) << sTarget;
    return sTarget;
}

std::string StartLine(HANDLE hProcess, const std::string& sFolder, const std::string& sArgs)
{
    return "start pid=" + std::to_string(::GetProcessId(hProcess)) + " folder=" + sFolder + " args=" + sArgs;
}

TEST(StandIns, TrayProgramPublishesItsWatcherAndAnswersMessages)
{
    CTempDir dir;
    std::string sTray = CopyStandIn(dir, "TessTaskBarIcon");
    e2e::CChild child(e2e::StartProcess(sTray, "", dir.Path()));
    ASSERT_TRUE(child);
    HANDLE hProcess = child.Get();

    HWND hWatcher = e2e::WaitForWatcher(10000);
    ASSERT_NE(nullptr, hWatcher);
    DWORD dwOwner = 0;
    ::GetWindowThreadProcessId(hWatcher, &dwOwner);
    EXPECT_EQ(::GetProcessId(hProcess), dwOwner);
    EXPECT_FALSE(::IsWindowVisible(hWatcher));
    EXPECT_EQ(::GetProcessId(hProcess), e2e::ReadWatcherField().dwCompanion);
    EXPECT_EQ(StartLine(hProcess, dir.Path(), ""), e2e::ReadRecord(sTray).at(0));

    ::PostMessageA(hWatcher, WM_USER + 0x104, 0, 0);
    EXPECT_TRUE(e2e::WaitForRecord(sTray, "message 0x504 wParam=0x0 lParam=0x0", 5000));

    ::PostMessageA(hWatcher, WM_CLOSE, 0, 0);
    EXPECT_TRUE(e2e::WaitForExit(hProcess, 5000));
    std::vector<std::string> rec = e2e::ReadRecord(sTray);
    ASSERT_GE(rec.size(), 3u);
    EXPECT_EQ("close", rec[rec.size() - 2]);
    EXPECT_EQ("exit", rec.back());
    // It takes its handle back out of the block when it ends.
    EXPECT_EQ(nullptr, e2e::ReadWatcherField().hWnd);
}

TEST(StandIns, TrayProgramBehaviourFollowsItsSettings)
{
    CTempDir dir;
    std::string sTray = CopyStandIn(dir, "TessTaskBarIcon");
    ASSERT_TRUE(testutil::WriteFileBytes(dir / "TessTaskBarIcon.ini",
                                         "[StandIn]\r\nPublishAfterMs=1500\r\nIgnoreClose=1\r\n"));
    DWORD dwStart = ::GetTickCount();
    e2e::CChild child(e2e::StartProcess(sTray, "", dir.Path()));
    ASSERT_TRUE(child);
    HANDLE hProcess = child.Get();
    HWND hWatcher = e2e::WaitForWatcher(10000);
    ASSERT_NE(nullptr, hWatcher);
    EXPECT_GE(::GetTickCount() - dwStart, 1400u);

    ::PostMessageA(hWatcher, WM_CLOSE, 0, 0);
    EXPECT_TRUE(e2e::WaitForRecord(sTray, "close", 5000));
    EXPECT_FALSE(e2e::WaitForExit(hProcess, 1000));
    ::TerminateProcess(hProcess, 1);
    e2e::WaitForExit(hProcess, 5000);
    // Killed, it leaves a dead handle behind, as a crashed product would.
    HWND hLeft = e2e::ReadWatcherField().hWnd;
    EXPECT_FALSE(hLeft && ::IsWindow(hLeft));
}

TEST(StandIns, KeycardsAndInstallerRecordTheirArguments)
{
    CTempDir dir;
    std::string sKeycards = CopyStandIn(dir, "Keycards");
    ASSERT_TRUE(testutil::WriteFileBytes(dir / "Keycards.ini", "[StandIn]\r\nExitCode=3\r\n"));
    e2e::CChild keycards(e2e::StartProcess(sKeycards, "-bc", dir.Path()));
    ASSERT_TRUE(keycards);
    DWORD dwExit = 0;
    ASSERT_TRUE(e2e::WaitForExit(keycards.Get(), 10000, &dwExit));
    EXPECT_EQ(3u, dwExit);
    std::vector<std::string> rec = e2e::ReadRecord(sKeycards);
    ASSERT_EQ(2u, rec.size());
    EXPECT_EQ(StartLine(keycards.Get(), dir.Path(), "-bc"), rec[0]);
    EXPECT_EQ("exit 3", rec[1]);

    std::string sInstaller = CopyStandIn(dir, "TessInstaller", "AiTessaly-Portable.exe");
    e2e::CChild installer(e2e::StartProcess(sInstaller, "/fixed", dir.Path()));
    ASSERT_TRUE(installer);
    ASSERT_TRUE(e2e::WaitForExit(installer.Get(), 10000));
    rec = e2e::ReadRecord(sInstaller);
    ASSERT_EQ(3u, rec.size());
    EXPECT_EQ(StartLine(installer.Get(), dir.Path(), "/fixed"), rec[0]);
    EXPECT_EQ("program " + sInstaller, rec[1]);
}

// A demo names a folder for the records, so that the host folder shows only what the
// starter left there.
TEST(StandIns, RecordGoesToTheFolderTheEnvironmentNames)
{
    CTempDir dir, records;
    std::string sKeycards = CopyStandIn(dir, "Keycards");
    ASSERT_TRUE(::SetEnvironmentVariableA("WAYFARER_STANDIN_RECORDS", records.Path().c_str()));
    e2e::CChild keycards(e2e::StartProcess(sKeycards, "-bc", dir.Path()));
    ::SetEnvironmentVariableA("WAYFARER_STANDIN_RECORDS", nullptr);
    ASSERT_TRUE(keycards);
    ASSERT_TRUE(e2e::WaitForExit(keycards.Get(), 10000));
    std::vector<std::string> rec = e2e::ReadRecord(records / "Keycards.exe");
    ASSERT_EQ(2u, rec.size());
    EXPECT_EQ(StartLine(keycards.Get(), dir.Path(), "-bc"), rec[0]);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesA((sKeycards + ".rec").c_str()));
}

}  // namespace
