#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "Strings/TSProcessesInfo.h"
#include "TestUtil.h"
#include "WindowsProgram.h"

namespace {

// A running program whose file name and folder have blanks in them, with one window.
class ProcessesInfo : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(CopyWindowsProgram(m_sProgram));
        m_pTool.reset(new CWindowsProgram(m_sProgram, {"window", "TsTestFrame", "Tool Window"}));
        ASSERT_TRUE(m_pTool->Ready());
        ASSERT_TRUE(m_info.Init());
    }

    testutil::CTempDir m_dir;
    const std::string m_sProgram = m_dir / "my folder\\my tool.exe";
    std::unique_ptr<CWindowsProgram> m_pTool;
    CTsProcessesInfo m_info;
};

}  // namespace

TEST_F(ProcessesInfo, ListNamesModulesAndProcessesWithBlanksAsCarets)
{
    CString sList("old");
    m_info.TsGetProcessAndModuleList(sList);
    const std::string s = sList.str();

    const std::string sModulesHead = "*Modules*: ";
    const std::string sProcessesHead = "\n*Processes*: ";
    ASSERT_EQ(0u, s.find(sModulesHead)) << s;
    const size_t nProcesses = s.find(sProcessesHead);
    ASSERT_NE(std::string::npos, nProcesses) << s;
    ASSERT_EQ('\n', s.back());
    const std::string sModules = " " + s.substr(sModulesHead.size(), nProcesses - sModulesHead.size());
    const std::string sProcesses = " " + s.substr(nProcesses + sProcessesHead.size(), s.size() - 1 - nProcesses -
                                                                                   sProcessesHead.size());

    // Each name is followed by one blank; letter case as the system gives it.
    EXPECT_NE(std::string::npos, sProcesses.find(" my^tool.exe ")) << sProcesses;
    EXPECT_NE(std::string::npos, sProcesses.find(" strings_tests.exe ")) << sProcesses;
    EXPECT_EQ(std::string::npos, sProcesses.find(" System ")) << sProcesses;
    EXPECT_EQ(std::string::npos, sProcesses.find("[System")) << sProcesses;
    EXPECT_EQ(std::string::npos, sProcesses.find('\\')) << sProcesses;
    EXPECT_EQ(' ', sProcesses.back());
    EXPECT_EQ(0u, sModules.find(" strings_tests.exe ")) << sModules;   // the program comes first
    std::string sLowerModules = sModules;
    CharLowerA(&sLowerModules[0]);
    EXPECT_NE(std::string::npos, sLowerModules.find(" kernel32.dll ")) << sModules;
    EXPECT_EQ(' ', sModules.back());
}

TEST_F(ProcessesInfo, TheFreeFunctionGivesTheListOfAFreshObject)
{
    CString sList;
    TsGetProcessAndModuleList(sList);
    EXPECT_EQ(0, sList.Find("*Modules*: strings_tests.exe ")) << sList.c_str();
    EXPECT_LT(0, sList.Find(" my^tool.exe ")) << sList.c_str();
}

TEST_F(ProcessesInfo, WithoutTheToolHelpFunctionsNothingIsTried)
{
    CTsProcessesInfo notReady;
    CString sList("old");
    notReady.TsGetProcessAndModuleList(sList);
    EXPECT_STREQ("TsGetProcessAndModuleList: cannot init process info!!!", sList);

    CString sName("kept");
    notReady.GetProcessExeName(m_pTool->Pid(), sName);
    EXPECT_STREQ("kept", sName);
}

TEST_F(ProcessesInfo, ProgramOfAProcessIsTheBareFileNameOnWindowsNt)
{
    CString sName("kept");
    m_info.GetProcessExeName(m_pTool->Pid(), sName);
    EXPECT_STREQ("my tool.exe", sName);

    // Process identifiers are multiples of four, so this one names no process.
    CString sNone("kept");
    m_info.GetProcessExeName(0xFFFFFFF1, sNone);
    EXPECT_STREQ("kept", sNone);
}

TEST_F(ProcessesInfo, ProgramOfAWindowGivesPathAndFileName)
{
    HWND hWnd = m_pTool->Window("Tool Window");
    ASSERT_NE(nullptr, hWnd);
    CString sPath("old");
    CString sFileName("old");
    EXPECT_TRUE(m_info.GetExeNameFromHwnd(hWnd, sPath, sFileName));
    EXPECT_STREQ("my tool.exe", sPath);
    EXPECT_STREQ("my tool.exe", sFileName);
}

TEST_F(ProcessesInfo, AWindowOfNoLiveProcessGivesEmptyNames)
{
    HWND hWnd = m_pTool->Window("Tool Window");
    ASSERT_NE(nullptr, hWnd);
    m_pTool.reset();   // ends the process, and its window with it
    CString sPath("old");
    CString sFileName("old");
    EXPECT_TRUE(m_info.GetExeNameFromHwnd(hWnd, sPath, sFileName));
    EXPECT_STREQ("", sPath);
    EXPECT_STREQ("", sFileName);
}
