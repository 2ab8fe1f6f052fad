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
