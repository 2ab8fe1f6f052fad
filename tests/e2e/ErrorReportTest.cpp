// The error catcher in a real program: a hard assertion or a fault in a program on the
// framework's entry asks the user and sends the report to a local server.
#include <gtest/gtest.h>

#include <string>

#include "E2eUtil.h"
#include "LocalHttpServer.h"
#include "TestUtil.h"
#include "UiDriver.h"

namespace {

const char kSystemErrorCaption[] = "Tessaly System Error";

std::string CrashProgram()
{
    return testutil::ModuleFolder() + "\\tscrash.exe";
}

// Starts tscrash with the server as endpoint and waits for its end.
DWORD RunCrash(const CLocalHttpServer& server, const char* pszMode)
{
    const std::string sArgs = "/endpoint=" + server.Url("/tserror") + " " + pszMode;
    e2e::CChild child(e2e::StartProcess(CrashProgram(), sArgs, testutil::ModuleFolder()));
    EXPECT_TRUE(child);
    DWORD dwExitCode = 0;
    EXPECT_TRUE(e2e::WaitForExit(child.Get(), 120000, &dwExitCode));
    return dwExitCode;
}

}  // namespace

TEST(ErrorReport, HardAssertionAsksAndSendsTheReport)
{
    CLocalHttpServer server;
    ASSERT_TRUE(server.Listening());
    const std::string sShots = e2e::ShotFolder();
    CUiDriver ui([&](const UiBox& box) {
        if (box.caption == kSystemErrorCaption && !sShots.empty())
            e2e::SaveWindowShot(box.hwnd, sShots + "\\error-report-question.bmp");
        return box.HasButton(IDYES) ? IDYES : CUiDriver::PressDefault(box);
    });
    EXPECT_EQ(0u, RunCrash(server, "assert"));

    auto boxes = ui.Boxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(kSystemErrorCaption, boxes[0].caption);
    const std::string sText = boxes[0].Text();
    EXPECT_EQ(0u, sText.find("This is an internal error report. Please click Yes")) << sText;
    EXPECT_NE(std::string::npos, sText.find("\nASSERT\nAssertion failed: c=0 s=requested GetLastError=")) << sText;
    EXPECT_NE(std::string::npos, sText.find("\nFile: tests\\e2e\\crash\\TsCrash, Line: 42\n0001:")) << sText;

    auto targets = server.Targets();
    ASSERT_EQ(3u, targets.size());
    EXPECT_NE(std::string::npos, CLocalHttpServer::DecodedQuery(targets[0]).find("\nASSERT\nAssertion failed: "));
    EXPECT_NE(std::string::npos, CLocalHttpServer::DecodedQuery(targets[1]).find("\n*MiniTr:*\n"));
    EXPECT_NE(std::string::npos, CLocalHttpServer::DecodedQuery(targets[2]).find("tscrash.exe "));
}

TEST(ErrorReport, FaultIsReportedAndEndsTheProgram)
{
    struct Case {
        const char* mode;
        DWORD code;
        const char* firstLines;
    };
    static const Case kCases[] = {
        {"fault", 0xC0000005, "\nEXCEPTION C0000005\n0001:"},
        {"overflow", 0xC00000FD, "\nEXCEPTION C00000FD\n0001:"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.mode);
        CLocalHttpServer server;
        ASSERT_TRUE(server.Listening());
        CUiDriver ui(CUiDriver::Press(IDYES));
        EXPECT_EQ(c.code, RunCrash(server, c.mode));

        // Our question, and no other window: the system's crash dialog never came.
        auto boxes = ui.Boxes();
        ASSERT_EQ(1u, boxes.size());
        EXPECT_EQ(kSystemErrorCaption, boxes[0].caption);
        const std::string sText = boxes[0].Text();
        const size_t nPos = sText.find(c.firstLines);
        ASSERT_NE(std::string::npos, nPos) << sText;
        EXPECT_EQ(" tscrash.exe\n", sText.substr(nPos + std::string(c.firstLines).size() + 8, 13)) << sText;
        EXPECT_EQ(3u, server.Targets().size());
    }
}

// A fault under a lock that the report needs (here the C runtime's heap, held by another
// thread for ever) would stop the report before its question: the program still ends, with
// the fault's code, once the report's time of work has run out.
TEST(ErrorReport, AFaultUnderALockTheReportNeedsStillEndsTheProgram)
{
    CLocalHttpServer server;
    ASSERT_TRUE(server.Listening());
    CUiDriver ui(CUiDriver::Press(IDYES));
    const std::string sArgs = "/endpoint=" + server.Url("/tserror") + " /reportlimit=3000 faultlocked";
    e2e::CChild child(e2e::StartProcess(CrashProgram(), sArgs, testutil::ModuleFolder()));
    ASSERT_TRUE(child);
    DWORD dwExitCode = 0;
    // Three seconds of work; "at all within a minute" leaves a loaded machine its time.
    const bool bEnded = e2e::WaitForExit(child.Get(), 60000, &dwExitCode);
    if (!bEnded)
        ::TerminateProcess(child.Get(), 1);
    ASSERT_TRUE(bEnded);
    EXPECT_EQ(0xC0000005u, dwExitCode);
    EXPECT_EQ(0u, ui.Boxes().size());
    EXPECT_EQ(0u, server.Targets().size());
}

// The time the question waits for the user is not the report's work: an answer that comes
// after more than the whole limit still sends the report.
TEST(ErrorReport, TheUsersTimeAtTheQuestionDoesNotCountAgainstTheLimit)
{
    CLocalHttpServer server;
    ASSERT_TRUE(server.Listening());
    CUiDriver ui([](const UiBox& box) {
        ::Sleep(10000);
        return box.HasButton(IDYES) ? IDYES : CUiDriver::PressDefault(box);
    });
    const std::string sArgs = "/endpoint=" + server.Url("/tserror") + " /reportlimit=6000 fault";
    e2e::CChild child(e2e::StartProcess(CrashProgram(), sArgs, testutil::ModuleFolder()));
    ASSERT_TRUE(child);
    DWORD dwExitCode = 0;
    EXPECT_TRUE(e2e::WaitForExit(child.Get(), 120000, &dwExitCode));
    EXPECT_EQ(0xC0000005u, dwExitCode);
    ASSERT_EQ(1u, ui.Boxes().size());
    EXPECT_EQ(kSystemErrorCaption, ui.Boxes()[0].caption);
    EXPECT_EQ(3u, server.Targets().size());
}
