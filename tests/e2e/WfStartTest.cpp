// The real wfstart.exe started from a simulated removable drive R: that carries a package
// made by wfpack with the stand-ins inside, a Portable.ini and the first-run files. The UI
// driver answers every box and dialog and records what each one said.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <shlobj.h>

#include "E2eUtil.h"
#include "ProfileFolders.h"
#include "Strings/SafeRegKey.h"
#include "Strings/TsAnsiPath.h"
#include "Strings/TsLog.h"
#include "Strings/TsPortable.h"
#include "Strings/TsSharedData.h"
#include "TestUtil.h"
#include "UiDriver.h"
#include "framework/Unique.h"
#include "tests/unit/Strings/WineDrive.h"

namespace {

using testutil::CTempDir;

const char kDriveRoot[] = "R:";
const char kTessalyKey[] = "Software\\Norvane Works\\Tessaly";
const char kDataFolder[] = "R:\\My Tessaly Data\\Default Profile";
const char kAddOnClsid[] = "{3f9a61c4-2b07-11d4-a85e-0050d2c71f3b}";
const char kSplashClass[] = "SplashScreenExClass";
const char kSetupProgressCaption[] = "Tessaly Setup";
const char kGreetingCaption[] = "Wayfarer Greeting";
const char kLicenseCaption[] = "Tessaly End User License Agreement";

std::string HostFolder()
{
    CString sTemp;
    GetWritableTempFolder(sTemp);
    return std::string(sTemp.c_str()) + "\\Tessaly";
}

// A registry string, or "<none>" when the value does not exist.
std::string RegValue(HKEY hRoot, const char* pszKey, const char* pszName)
{
    HKEY hKey;
    if (::RegOpenKeyExA(hRoot, pszKey, 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return "<none>";
    char sz[1024] = "";
    DWORD cb = sizeof(sz) - 1;
    DWORD dwType = 0;
    LONG r = ::RegQueryValueExA(hKey, pszName, nullptr, &dwType, reinterpret_cast<BYTE*>(sz), &cb);
    ::RegCloseKey(hKey);
    if (r != ERROR_SUCCESS)
        return "<none>";
    return std::string(sz, cb && sz[cb - 1] == '\0' ? cb - 1 : cb);
}

std::string Tessaly(const char* pszName)
{
    return RegValue(HKEY_CURRENT_USER, kTessalyKey, pszName);
}

void SetTessaly(const char* pszName, const std::string& sValue)
{
    HKEY hKey;
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExA(HKEY_CURRENT_USER, kTessalyKey, 0, nullptr, 0, KEY_WRITE, nullptr,
                                               &hKey, nullptr));
    ::RegSetValueExA(hKey, pszName, 0, REG_SZ, reinterpret_cast<const BYTE*>(sValue.c_str()),
                     static_cast<DWORD>(sValue.size() + 1));
    ::RegCloseKey(hKey);
}

std::string IniValue(const std::string& sIni, const char* pszSection, const char* pszKey)
{
    char sz[256] = "";
    ::GetPrivateProfileStringA(pszSection, pszKey, "<none>", sz, sizeof(sz), sIni.c_str());
    return sz;
}

int CountLines(const std::string& sProgram, const std::string& sPrefix)
{
    std::vector<std::string> rec = e2e::ReadRecord(sProgram);
    return static_cast<int>(std::count_if(rec.begin(), rec.end(),
                                          [&](const std::string& s) { return s.compare(0, sPrefix.size(), sPrefix) == 0; }));
}

// Ends every process a record names, asking its watcher first.
void EndRecordedProcesses(const std::string& sProgram)
{
    for (const std::string& s : e2e::ReadRecord(sProgram)) {
        if (s.compare(0, 10, "start pid=") != 0)
            continue;
        DWORD dwPid = std::stoul(s.substr(10));
        if (HANDLE h = ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, dwPid)) {
            if (::WaitForSingleObject(h, 2000) == WAIT_TIMEOUT)
                ::TerminateProcess(h, 1);
            ::WaitForSingleObject(h, 5000);
            ::CloseHandle(h);
        }
    }
}

void CloseWatcher()
{
    HWND h = e2e::ReadWatcherField().hWnd;
    if (h && ::IsWindow(h))
        ::PostMessageA(h, WM_CLOSE, 0, 0);
}

struct StarterRun {
    bool bEnded = false;
    DWORD dwExitCode = 0;
    DWORD dwMs = 0;
    std::vector<UiBox> boxes;

    // The boxes and dialogs that ask or tell the user something: not the splash, and not the
    // setup's progress window, which every unpack shows for as long as it runs (the driver
    // sees it only when one of its looks falls into that time).
    std::vector<UiBox> Dialogs() const
    {
        std::vector<UiBox> v;
        for (const UiBox& b : boxes)
            if (b.className != kSplashClass && !IsSetupProgress(b))
                v.push_back(b);
        return v;
    }
    static bool IsSetupProgress(const UiBox& b)
    {
        return b.buttons.empty() && (b.caption == kSetupProgressCaption || (b.caption.empty() && b.texts.empty()));
    }
    // Passes when the run showed no box or dialog; otherwise names each one.
    ::testing::AssertionResult NoDialogs() const
    {
        std::vector<UiBox> v = Dialogs();
        if (v.empty())
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "unexpected:" << e2e::Describe(v);
    }
    // What the dialogs said, for failure messages.
    std::string DialogText() const
    {
        std::string s;
        for (const UiBox& b : Dialogs())
            s += "[" + b.caption + ": " + b.Text() + "] ";
        return s;
    }
    bool SplashShown() const
    {
        return std::any_of(boxes.begin(), boxes.end(), [](const UiBox& b) { return b.className == kSplashClass; });
    }
};

// Answers by caption (a caption missing from the map gets the default button), leaves the
// splash alone, and takes screenshots for the documentation when asked to.
CUiDriver::Responder AnswerByCaption(std::map<std::string, int> answers)
{
    return [answers](const UiBox& box) {
        std::string sShots = e2e::ShotFolder();
        if (box.className == kSplashClass) {
            if (!sShots.empty()) {
                ::Sleep(900);   // past the fade-in
                e2e::SaveWindowShot(box.hwnd, sShots + "\\splash.bmp");
            }
            return 0;
        }
        if (!sShots.empty() && (box.caption == kGreetingCaption || box.caption == kLicenseCaption))
            e2e::SaveWindowShot(box.hwnd, sShots + (box.caption == kGreetingCaption ? "\\greeting.bmp" : "\\license.bmp"));
        auto it = answers.find(box.caption);
        return it != answers.end() ? it->second : CUiDriver::PressDefault(box);
    };
}

class WfStart : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_pPackageDir = new CTempDir();
        // The product's program files: the stand-ins and some files to compare after unpacking.
        s_sProgramFiles = *s_pPackageDir / "program";
        testutil::CreateFolders(s_sProgramFiles + "\\Data");
        for (const char* pszName : {"TessTaskBarIcon", "Keycards"})
            ::CopyFileA(e2e::StandInPath(pszName).c_str(), (s_sProgramFiles + "\\" + pszName + ".exe").c_str(), FALSE);
        testutil::WriteFileBytes(s_sProgramFiles + "\\readme.txt", "Tessaly program files\r\n");
        // The browser add-on's folders, which a stop before the unpack record emptied by name,
        // and a deeper tree that only the record reaches.
        testutil::WriteFileBytes(s_sProgramFiles + "\\Firefox\\install.rdf", "<RDF/>\r\n");
        testutil::WriteFileBytes(s_sProgramFiles + "\\Firefox\\components\\tessaly.js", "// add-on\r\n");
        testutil::WriteFileBytes(s_sProgramFiles + "\\Firefox\\chrome\\tessaly.manifest", "content tessaly\r\n");
        testutil::WriteFileBytes(s_sProgramFiles + "\\Data\\deep\\deeper\\notes.txt", "deep\r\n");
        std::string sBlob;
        unsigned n = 12345;
        for (int i = 0; i < 300000; ++i) {
            n = n * 1103515245u + 12345u;
            sBlob += static_cast<char>(i % 7 == 0 ? (n >> 16) : 'a' + i % 13);
        }
        testutil::WriteFileBytes(s_sProgramFiles + "\\Data\\keycards.dat", sBlob);

        s_sPackage = *s_pPackageDir / "AiTessaly-Portable.bin";
        std::string sCmd = "\"" + e2e::BuildFolder() + "\\tools\\wfpack.exe\" build \"" + s_sPackage + "\" --stub \"" +
                           e2e::StandInPath("TessInstaller") + "\" --block tessaly=\"" + s_sProgramFiles + "\"";
        s_nPackResult = testutil::RunAndWait(sCmd, 120000);
    }
    static void TearDownTestSuite()
    {
        delete s_pPackageDir;
        s_pPackageDir = nullptr;
    }

    void SetUp() override
    {
        ASSERT_EQ(0, s_nPackResult) << "wfpack could not build the test package";
        CleanHost();
        m_pDrive = std::make_unique<CWineDrive>('r', m_stick.Path(), DRIVE_REMOVABLE);
        ASSERT_TRUE(m_pDrive->Defined());
        ASSERT_TRUE(::CopyFileA((e2e::BuildFolder() + "\\starter\\wfstart.exe").c_str(), "R:\\wfstart.exe", FALSE));
    }
    void TearDown() override
    {
        CleanHost();
        m_pDrive.reset();
    }

    // Nothing of an earlier run stays on the host: processes, registry, unpacked files.
    void CleanHost()
    {
        CloseWatcher();
        for (const std::string& sProgram : m_programsToEnd)
            EndRecordedProcesses(sProgram);
        EndRecordedProcesses(HostFolder() + "\\TessTaskBarIcon.exe");
        ::RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Norvane Works");
        ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Software\\Norvane Works");
        ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, (std::string("Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\"
                                                          "Browser Helper Objects\\") + kAddOnClsid).c_str());
        ::RegDeleteTreeA(HKEY_CLASSES_ROOT, (std::string("CLSID\\") + kAddOnClsid).c_str());
        testutil::RemoveTree(HostFolder());
    }

    void InstallPackage()
    {
        ASSERT_TRUE(testutil::CreateFolders("R:\\Tessaly"));
        ASSERT_TRUE(::CopyFileA(s_sPackage.c_str(), "R:\\Tessaly\\AiTessaly-Portable.bin", FALSE));
    }

    void WriteIni(const std::string& sText)
    {
        ASSERT_TRUE(testutil::WriteFileBytes("R:\\Portable.ini", sText));
    }

    void InstallFirstRunFiles()
    {
        // Greeting and header pictures in the size the dialogs give them.
        std::string sPictures = e2e::BuildFolder() + "\\tests\\e2e\\pictures";
        ASSERT_TRUE(::CopyFileA((sPictures + "\\tessaly_greet.bmp").c_str(), "R:\\Tessaly\\tessaly_greet.bmp", FALSE));
        ASSERT_TRUE(::CopyFileA((sPictures + "\\tessaly_header.bmp").c_str(), "R:\\Tessaly\\tessaly_header.bmp", FALSE));
        ASSERT_TRUE(testutil::WriteFileBytes("R:\\Tessaly\\tessaly_license.txt", kLicenseText));
    }

    StarterRun RunStarter(const std::string& sArgs, CUiDriver::Responder responder = AnswerByCaption({}),
                          DWORD dwTimeoutMs = 90000)
    {
        StarterRun run;
        CUiDriver driver(std::move(responder));
        driver.WatchClass(kSplashClass);
        DWORD dwStart = ::GetTickCount();
        e2e::CChild child(e2e::StartProcess("R:\\wfstart.exe", sArgs, "R:\\"));
        EXPECT_TRUE(child);
        if (!child)
            return run;
        run.bEnded = e2e::WaitForExit(child.Get(), dwTimeoutMs, &run.dwExitCode);
        run.dwMs = ::GetTickCount() - dwStart;
        ::Sleep(100);   // the driver's last look
        run.boxes = driver.Boxes();
        return run;
    }

    // The product from a first silent start, running.
    void StartProduct()
    {
        InstallPackage();
        WriteIni("[Path]\r\n");
        StarterRun run = RunStarter("/silent");
        ASSERT_TRUE(run.bEnded);
        ASSERT_TRUE(run.NoDialogs());
        ASSERT_NE(nullptr, e2e::WaitForWatcher(5000));
    }

    static const char kLicenseText[];
    static CTempDir* s_pPackageDir;
    static std::string s_sProgramFiles;
    static std::string s_sPackage;
    static int s_nPackResult;

    CTempDir m_stick;
    std::unique_ptr<CWineDrive> m_pDrive;
    std::vector<std::string> m_programsToEnd;
};

const char WfStart::kLicenseText[] =
    "TESSALY END USER LICENSE AGREEMENT\r\n\r\n1. You may use this copy of Tessaly on any computer.\n"
    "2. Keep your master password to yourself.";
CTempDir* WfStart::s_pPackageDir = nullptr;
std::string WfStart::s_sProgramFiles;
std::string WfStart::s_sPackage;
int WfStart::s_nPackResult = -1;

TEST_F(WfStart, FirstStartCreatesTheDataFolderUnpacksRecordsAndStartsTheTray)
{
    InstallPackage();
    WriteIni("[Path]\r\nBinPath=\\Tessaly\r\n");
    StarterRun run = RunStarter("");
    ASSERT_TRUE(run.bEnded);
    EXPECT_EQ(0u, run.dwExitCode);
    EXPECT_TRUE(run.NoDialogs());
    EXPECT_TRUE(run.SplashShown());
    // The started text is held for two seconds before the end.
    EXPECT_GE(run.dwMs, 2000u);

    // The data folder, marked.
    EXPECT_TRUE(testutil::FolderExists(kDataFolder));
    EXPECT_EQ(kDataFolderMarkerText, testutil::ReadFileOrEmpty(std::string(kDataFolder) + "\\TessalyDataHere.txt"));

    // Every program file, byte for byte, and the drive's settings beside them.
    const std::string sHost = HostFolder();
    for (const char* pszFile : {"TessTaskBarIcon.exe", "Keycards.exe", "readme.txt", "Data\\keycards.dat"}) {
        SCOPED_TRACE(pszFile);
        std::string sExpected = testutil::ReadFileOrEmpty(s_sProgramFiles + "\\" + pszFile);
        ASSERT_FALSE(sExpected.empty());
        EXPECT_TRUE(sExpected == testutil::ReadFileOrEmpty(sHost + "\\" + pszFile));
    }
    EXPECT_EQ(testutil::ReadFileOrEmpty("R:\\Portable.ini"), testutil::ReadFileOrEmpty(sHost + "\\Portable.ini"));

    // The record of the portable run.
    EXPECT_EQ("", Tessaly("PortableLanguage"));
    EXPECT_EQ(kDataFolder, Tessaly("RootUserDataDirPort"));
    EXPECT_EQ(sHost, Tessaly("PorvinHostPath"));
    EXPECT_EQ(sHost, Tessaly("HDDProgFilesPath"));
    EXPECT_EQ(kDriveRoot, Tessaly("TessalyPortableStarterPath"));
    EXPECT_EQ("<none>", Tessaly("_RebuildCache"));
    EXPECT_NE("<none>", Tessaly("Common AppData Path"));
    // From version 6 on the browser lets the product's programs out of its low-rights
    // mode; before it there is no such mode and nothing is written.
    EXPECT_EQ(testutil::WindowsMajor() >= 6 ? sHost : "<none>",
              RegValue(HKEY_LOCAL_MACHINE,
                       (std::string("SOFTWARE\\Microsoft\\Internet Explorer\\Low Rights\\ElevationPolicy\\") +
                        g_TsElevationPolicies[0].pszPolicyKey).c_str(),
                       "AppPath"));

    // The tray program runs from the host folder and its watcher is there.
    const std::string sTray = sHost + "\\TessTaskBarIcon.exe";
    std::vector<std::string> rec = e2e::ReadRecord(sTray);
    ASSERT_GE(rec.size(), 2u);
    EXPECT_EQ(" folder=" + sHost + " args=", rec[0].substr(rec[0].find(' ', 6)));
    EXPECT_EQ(0u, rec[1].find("publish hwnd="));
    HWND hWatcher = e2e::ReadWatcherField().hWnd;
    ASSERT_TRUE(hWatcher && ::IsWindow(hWatcher));
    DWORD dwPid = 0;
    ::GetWindowThreadProcessId(hWatcher, &dwPid);
    EXPECT_EQ("start pid=" + std::to_string(dwPid), rec[0].substr(0, rec[0].find(' ', 6)));
}

TEST_F(WfStart, ASecondStarterWhileTheFirstRunsIsRefused)
{
    InstallPackage();
    InstallFirstRunFiles();
    WriteIni("[Greeting]\r\nlicense_approved=FALSE\r\n");
    // The first starter waits at the licence agreement while the second one starts.
    CUiDriver driver([](const UiBox& box) { return box.caption == kLicenseCaption ? 0 : CUiDriver::PressDefault(box); });
    e2e::CChild first(e2e::StartProcess("R:\\wfstart.exe", "/silent", "R:\\"));
    ASSERT_TRUE(first);
    ASSERT_TRUE(driver.WaitForBoxes(1, 30000));
    ASSERT_EQ(kLicenseCaption, driver.Boxes()[0].caption);

    e2e::CChild second(e2e::StartProcess("R:\\wfstart.exe", "", "R:\\"));
    ASSERT_TRUE(second);
    EXPECT_TRUE(e2e::WaitForExit(second.Get(), 30000));
    std::vector<UiBox> boxes = driver.Boxes();
    ASSERT_EQ(2u, boxes.size()) << e2e::Describe(boxes);
    EXPECT_EQ("Wayfarer", boxes[1].caption);
    EXPECT_EQ("Wayfarer starter is already running", boxes[1].Text());
    EXPECT_EQ(::GetProcessId(second.Get()), boxes[1].processId);

    // The first one goes on: declined, it ends without starting anything.
    ::PostMessageA(boxes[0].hwnd, WM_COMMAND, IDCANCEL, 0);
    EXPECT_TRUE(e2e::WaitForExit(first.Get(), 30000));
    EXPECT_FALSE(testutil::FolderExists(HostFolder()));
    EXPECT_EQ("<none>", Tessaly("TessalyPortableStarterPath"));
}

TEST_F(WfStart, AStartFromTheSameDriveWhileTheProductRunsOnlySignalsIt)
{
    StartProduct();
    const std::string sTray = HostFolder() + "\\TessTaskBarIcon.exe";
    ASSERT_EQ(1, CountLines(sTray, "start "));

    StarterRun run = RunStarter("");
    ASSERT_TRUE(run.bEnded);
    EXPECT_TRUE(run.NoDialogs());
    EXPECT_FALSE(run.SplashShown());
    EXPECT_TRUE(e2e::WaitForRecord(sTray, "message 0x504 wParam=0x0 lParam=0x0", 5000));
    EXPECT_EQ(1, CountLines(sTray, "start "));
    EXPECT_EQ(0, CountLines(sTray, "close"));
}

TEST_F(WfStart, AStartFromAnotherDriveStopsTheRunningProductAndTakesOver)
{
    // A product started from drive S: before, still running from its own folder.
    CTempDir other;
    std::string sOldTray = other / "TessTaskBarIcon.exe";
    ASSERT_TRUE(::CopyFileA(e2e::StandInPath("TessTaskBarIcon").c_str(), sOldTray.c_str(), FALSE));
    m_programsToEnd.push_back(sOldTray);
    e2e::CChild oldTray(e2e::StartProcess(sOldTray, "", other.Path()));
    ASSERT_NE(nullptr, e2e::WaitForWatcher(10000));
    SetTessaly("RootUserDataDirPort", "S:\\My Tessaly Data\\Default Profile");

    InstallPackage();
    WriteIni("[Path]\r\n");
    StarterRun run = RunStarter("/silent");
    ASSERT_TRUE(run.bEnded);
    EXPECT_TRUE(run.NoDialogs());
    EXPECT_TRUE(e2e::RecordHas(sOldTray, "close"));
    EXPECT_TRUE(e2e::WaitForExit(oldTray.Get(), 5000));
    EXPECT_EQ(kDataFolder, Tessaly("RootUserDataDirPort"));
    HWND hWatcher = e2e::WaitForWatcher(5000);
    ASSERT_NE(nullptr, hWatcher);
    EXPECT_EQ(1, CountLines(HostFolder() + "\\TessTaskBarIcon.exe", "publish "));
}

TEST_F(WfStart, CloseModeClosesTheRunningProduct)
{
    StartProduct();
    const std::string sTray = HostFolder() + "\\TessTaskBarIcon.exe";
    HWND hWatcher = e2e::WaitForWatcher(5000);
    ASSERT_NE(nullptr, hWatcher);

    StarterRun run = RunStarter("close");
    ASSERT_TRUE(run.bEnded);
    EXPECT_TRUE(run.Dialogs().empty());
    EXPECT_FALSE(run.SplashShown());
    EXPECT_EQ(1, CountLines(sTray, "close"));
    EXPECT_FALSE(::IsWindow(hWatcher));
    // Closing is not stopping: the portable run stays recorded.
    EXPECT_EQ(kDataFolder, Tessaly("RootUserDataDirPort"));
}

TEST_F(WfStart, AStaleRecordWithADeadWatcherDoesNotBlockTheStart)
{
    // The product died without cleaning up: its data folder is still recorded and its dead
    // watcher handle still in the block, which this test holds open as a leftover would.
    SetTessaly("RootUserDataDirPort", kDataFolder);
    bool bCreated = false;
    DWORD dwError = 0;
    ASSERT_TRUE(TsConnectSharedData(bCreated, dwError));
    HWND hGone = ::CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    ::DestroyWindow(hGone);
    g_pTsSharedData->hWatcherWnd = TsWndToField(hGone);
    g_pTsSharedData->dwWatcherCompanion = 77;

    InstallPackage();
    WriteIni("[Path]\r\n");
    StarterRun run = RunStarter("/silent");
    ASSERT_TRUE(run.bEnded);
    EXPECT_TRUE(run.NoDialogs());
    HWND hWatcher = e2e::WaitForWatcher(5000);
    ASSERT_NE(nullptr, hWatcher);
    EXPECT_NE(hGone, hWatcher);
    EXPECT_NE(77u, g_pTsSharedData->dwWatcherCompanion);
    EXPECT_EQ(kDriveRoot, Tessaly("TessalyPortableStarterPath"));
    TsDisconnectShared();
}

TEST_F(WfStart, NoDataFolderAndNoPackageIsReported)
{
    WriteIni("[Path]\r\n");
    StarterRun run = RunStarter("");
    ASSERT_TRUE(run.bEnded);
    std::vector<UiBox> boxes = run.Dialogs();
    ASSERT_EQ(1u, boxes.size()) << e2e::Describe(boxes);
    EXPECT_EQ("Wayfarer", boxes[0].caption);
    EXPECT_EQ(std::string("Wayfarer User Data Folder '") + kDataFolder + "' does not exist.", boxes[0].Text());
    EXPECT_FALSE(testutil::FolderExists("R:\\My Tessaly Data"));
    EXPECT_FALSE(testutil::FolderExists(HostFolder()));
    EXPECT_FALSE(run.SplashShown());
    EXPECT_EQ("<none>", Tessaly("PortableLanguage"));
}

TEST_F(WfStart, TheLicenceMustBeAcceptedAndTheGreetingComesOnce)
{
    InstallPackage();
    InstallFirstRunFiles();
    WriteIni("[Path]\r\nBinPath=\\Tessaly\r\n[Greeting]\r\nshow_greeting=TRUE\r\nlicense_approved=FALSE\r\n");

    StarterRun declined = RunStarter("", AnswerByCaption({{kGreetingCaption, IDOK}, {kLicenseCaption, IDCANCEL}}));
    ASSERT_TRUE(declined.bEnded);
    std::vector<UiBox> boxes = declined.Dialogs();
    ASSERT_EQ(2u, boxes.size()) << e2e::Describe(boxes);
    EXPECT_EQ(kGreetingCaption, boxes[0].caption);
    EXPECT_EQ(kLicenseCaption, boxes[1].caption);
    EXPECT_EQ("TESSALY END USER LICENSE AGREEMENT\r\n\r\n1. You may use this copy of Tessaly on any computer.\r\n"
              "2. Keep your master password to yourself.\r\n",
              boxes[1].Text());
    EXPECT_EQ("FALSE", IniValue("R:\\Portable.ini", "Greeting", "show_greeting"));
    EXPECT_EQ("FALSE", IniValue("R:\\Portable.ini", "Greeting", "license_approved"));
    EXPECT_FALSE(declined.SplashShown());
    EXPECT_FALSE(testutil::FolderExists(HostFolder()));
    EXPECT_EQ("<none>", Tessaly("TessalyPortableStarterPath"));

    StarterRun accepted = RunStarter("", AnswerByCaption({{kLicenseCaption, IDOK}}));
    ASSERT_TRUE(accepted.bEnded);
    boxes = accepted.Dialogs();
    ASSERT_EQ(1u, boxes.size()) << e2e::Describe(boxes);
    EXPECT_EQ(kLicenseCaption, boxes[0].caption);
    EXPECT_EQ("TRUE", IniValue("R:\\Portable.ini", "Greeting", "license_approved"));
    EXPECT_TRUE(accepted.SplashShown());
    EXPECT_EQ(kDriveRoot, Tessaly("TessalyPortableStarterPath"));
    EXPECT_NE(nullptr, e2e::WaitForWatcher(5000));
}

TEST_F(WfStart, RebuildCacheRunsTheKeycardsProgramOnce)
{
    SetTessaly("_RebuildCache", "yes");
    StartProduct();
    const std::string sKeycards = HostFolder() + "\\Keycards.exe";
    std::vector<std::string> rec = e2e::ReadRecord(sKeycards);
    ASSERT_EQ(2u, rec.size());
    EXPECT_EQ(" folder=R:\\ args=-bc", rec[0].substr(rec[0].find(' ', 6)));
    EXPECT_EQ("exit 0", rec[1]);
    EXPECT_EQ("<none>", Tessaly("_RebuildCache"));
}

TEST_F(WfStart, SilentStartShowsNoSplashYetStillShowsItsMessages)
{
    InstallPackage();
    WriteIni("[Path]\r\n");
    // The tray program never shows its watcher: the timeout warning comes all the same.
    ASSERT_TRUE(testutil::CreateFolders(HostFolder()));
    ASSERT_TRUE(testutil::WriteFileBytes(HostFolder() + "\\TessTaskBarIcon.ini", "[StandIn]\r\nPublish=0\r\n"));
    StarterRun run = RunStarter("/SILENT");
    ASSERT_TRUE(run.bEnded);
    EXPECT_FALSE(run.SplashShown());
    std::vector<UiBox> boxes = run.Dialogs();
    ASSERT_EQ(1u, boxes.size()) << e2e::Describe(boxes);
    EXPECT_EQ("Timeout waiting for Wayfarer Taskbar Icon\n", boxes[0].Text());
    EXPECT_EQ(kDriveRoot, Tessaly("TessalyPortableStarterPath"));
}

class WfStartDesktopEdition : public WfStart {
protected:
    // A desktop edition of the given build (1: 6.10.1, 2: 6.10.2) installed in its own
    // folder, with its own tray program beside its add-on.
    void InstallDesktopEdition(int nBuild)
    {
        m_sDesktop = m_desktopDir / "Tessaly";
        ASSERT_TRUE(testutil::CreateFolders(m_sDesktop));
        std::string sAddOn = m_sDesktop + "\\tessaly.dll";
        ASSERT_TRUE(::CopyFileA((e2e::BuildFolder() + "\\tests\\e2e\\TessAddOn610" + std::to_string(nBuild) + ".dll").c_str(),
                                sAddOn.c_str(), FALSE));
        ASSERT_TRUE(::CopyFileA(e2e::StandInPath("TessTaskBarIcon").c_str(),
                                (m_sDesktop + "\\TessTaskBarIcon.exe").c_str(), FALSE));
        m_programsToEnd.push_back(m_sDesktop + "\\TessTaskBarIcon.exe");
        HKEY hKey;
        ASSERT_EQ(ERROR_SUCCESS,
                  ::RegCreateKeyExA(HKEY_LOCAL_MACHINE,
                                    (std::string("Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\"
                                                 "Browser Helper Objects\\") + kAddOnClsid).c_str(),
                                    0, nullptr, 0, KEY_WRITE, nullptr, &hKey, nullptr));
        ::RegCloseKey(hKey);
        ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExA(HKEY_CLASSES_ROOT,
                                                   (std::string("CLSID\\") + kAddOnClsid + "\\InprocServer32").c_str(),
                                                   0, nullptr, 0, KEY_WRITE, nullptr, &hKey, nullptr));
        ::RegSetValueExA(hKey, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(sAddOn.c_str()),
                         static_cast<DWORD>(sAddOn.size() + 1));
        ::RegCloseKey(hKey);
        InstallPackage();
        WriteIni("[Path]\r\n");
    }

    CTempDir m_desktopDir;
    std::string m_sDesktop;
};

const char kOldFixedText[] =
    "Old version 6-10-1 of Tessaly Fixed (Desktop version) is installed on this computer.\n"
    "You must upgrade it to the new version 6-10-2, same as your Wayfarer version.\n"
    "Do you want to upgrade Tessaly Fixed installed on this computer?";
const char kOldFixedSecondText[] =
    "If you do not upgrade old version 6-10-1 of Tessaly Fixed then Wayfarer will run as old version 6-10-1 and\n"
    "functionality of the new version 6-10-2 of Wayfarer will not be available.\n\n"
    "Do you want to upgrade Tessaly Fixed installed on this computer?";

TEST_F(WfStartDesktopEdition, AnOlderEditionDeclinedTwiceRunsWithTheDriveData)
{
    InstallDesktopEdition(1);
    StarterRun run = RunStarter("/silent", AnswerByCaption({{"Tessaly Warning", IDNO}}));
    ASSERT_TRUE(run.bEnded);
    std::vector<UiBox> boxes = run.Dialogs();
    ASSERT_EQ(2u, boxes.size()) << e2e::Describe(boxes);
    EXPECT_EQ("Tessaly Warning", boxes[0].caption);
    EXPECT_EQ(kOldFixedText, boxes[0].Text());
    EXPECT_TRUE(boxes[0].HasButton(IDYES) && boxes[0].HasButton(IDNO));
    EXPECT_EQ(kOldFixedSecondText, boxes[1].Text());

    // The installed program folder serves; nothing is unpacked.
    EXPECT_FALSE(testutil::FolderExists(HostFolder()));
    EXPECT_EQ(kDataFolder, Tessaly("RootUserDataDirPort"));
    EXPECT_EQ("<none>", Tessaly("HDDProgFilesPath"));
    EXPECT_EQ(kDriveRoot, Tessaly("TessalyPortableStarterPath"));
    std::vector<std::string> rec = e2e::ReadRecord(m_sDesktop + "\\TessTaskBarIcon.exe");
    ASSERT_FALSE(rec.empty());
    EXPECT_EQ(" folder=" + m_sDesktop + " args=", rec[0].substr(rec[0].find(' ', 6)));
}

TEST_F(WfStartDesktopEdition, AnOlderEditionAcceptedStartsTheInstallerAndNothingElse)
{
    InstallDesktopEdition(1);
    StarterRun run = RunStarter("/silent", AnswerByCaption({{"Tessaly Warning", IDYES}}));
    ASSERT_TRUE(run.bEnded);
    std::vector<UiBox> boxes = run.Dialogs();
    ASSERT_EQ(1u, boxes.size()) << e2e::Describe(boxes);
    EXPECT_EQ(kOldFixedText, boxes[0].Text());

    const std::string sInstaller = HostFolder() + "\\AiTessaly-Portable.exe";
    EXPECT_EQ(testutil::ReadFileOrEmpty(s_sPackage), testutil::ReadFileOrEmpty(sInstaller));
    ASSERT_TRUE(e2e::WaitForRecord(sInstaller, "exit 0", 10000));
    std::vector<std::string> rec = e2e::ReadRecord(sInstaller);
    EXPECT_EQ("args=/fixed", rec[0].substr(rec[0].rfind(' ') + 1));
    EXPECT_EQ("<none>", Tessaly("TessalyPortableStarterPath"));
    EXPECT_EQ("<none>", Tessaly("RootUserDataDirPort"));
    EXPECT_TRUE(e2e::ReadRecord(m_sDesktop + "\\TessTaskBarIcon.exe").empty());
}

TEST_F(WfStartDesktopEdition, TheSameEditionIsNotOfferedTheUpgrade)
{
    InstallDesktopEdition(2);
    StarterRun run = RunStarter("/silent");
    ASSERT_TRUE(run.bEnded);
    EXPECT_TRUE(run.NoDialogs());
    EXPECT_EQ(kDriveRoot, Tessaly("TessalyPortableStarterPath"));
    EXPECT_EQ(1, CountLines(m_sDesktop + "\\TessTaskBarIcon.exe", "publish "));
}

TEST_F(WfStart, TheU3RoadUsesThePlatformsFoldersAndStartsNothing)
{
    CTempDir u3Host;
    ASSERT_TRUE(::CopyFileA(e2e::StandInPath("TessTaskBarIcon").c_str(), (u3Host / "TessTaskBarIcon.exe").c_str(),
                            FALSE));
    InstallPackage();
    WriteIni("[Path]\r\n");
    ::SetEnvironmentVariableA("U3_DEVICE_PATH", "R:\\");
    ::SetEnvironmentVariableA("U3_HOST_EXEC_PATH", u3Host.Path().c_str());
    ::SetEnvironmentVariableA("U3_DEVICE_DOCUMENT_PATH", "R:\\Documents");
    StarterRun run = RunStarter("/u3 /silent");
    ::SetEnvironmentVariableA("U3_DEVICE_PATH", nullptr);
    ::SetEnvironmentVariableA("U3_HOST_EXEC_PATH", nullptr);
    ::SetEnvironmentVariableA("U3_DEVICE_DOCUMENT_PATH", nullptr);
    ASSERT_TRUE(run.bEnded);
    EXPECT_TRUE(run.NoDialogs());

    const char kU3Data[] = "R:\\Documents\\My Tessaly Data\\Default Profile";
    EXPECT_TRUE(testutil::FileExists(std::string(kU3Data) + "\\TessalyDataHere.txt"));
    EXPECT_EQ(kU3Data, Tessaly("RootUserDataDirPort"));
    EXPECT_EQ(u3Host.Path(), Tessaly("HDDProgFilesPath"));
    EXPECT_EQ("<none>", Tessaly("PorvinHostPath"));
    EXPECT_EQ(kDriveRoot, Tessaly("TessalyPortableStarterPath"));
    EXPECT_FALSE(testutil::FolderExists(HostFolder()));
    EXPECT_TRUE(e2e::ReadRecord(u3Host / "TessTaskBarIcon.exe").empty());
}

// Without the platform's host folder the U3 road has no program folder: nothing is run
// from a relative "\Keycards.exe" of whatever drive is current.
TEST_F(WfStart, TheU3RoadWithoutAHostFolderIsRefused)
{
    InstallPackage();
    WriteIni("[Path]\r\n");
    SetTessaly("_RebuildCache", "yes");
    ::SetEnvironmentVariableA("U3_DEVICE_PATH", "R:\\");
    ::SetEnvironmentVariableA("U3_DEVICE_DOCUMENT_PATH", "R:\\Documents");
    StarterRun run = RunStarter("/u3 /silent");
    ::SetEnvironmentVariableA("U3_DEVICE_PATH", nullptr);
    ::SetEnvironmentVariableA("U3_DEVICE_DOCUMENT_PATH", nullptr);
    ASSERT_TRUE(run.bEnded);
    std::vector<UiBox> dialogs = run.Dialogs();
    ASSERT_EQ(1u, dialogs.size());
    EXPECT_EQ("Wayfarer", dialogs[0].caption);
    EXPECT_EQ("Cannot use folder (it is not a full path)", dialogs[0].Text());
    EXPECT_EQ("<none>", Tessaly("HDDProgFilesPath"));
    EXPECT_EQ("<none>", Tessaly("TessalyPortableStarterPath"));
    EXPECT_EQ("yes", Tessaly("_RebuildCache")) << "the keycards program was not run";
}

// A temporary folder under a user name that the ANSI code page (1252 here) cannot hold, or
// holds only as a look-alike: the program files go to that very folder, by its short name
// when its long one does not fit, and the tray runs from there.
TEST_F(WfStart, TheTemporaryFolderIsTakenExactlyWhateverItsName)
{
    ASSERT_EQ(1252u, ::GetACP()) << "the names below are chosen for a Western code page";
    struct Row {
        const wchar_t* pszUser;
        bool bLongName;
    };
    static const Row kRows[] = {
        {L"\u6570\u636e", false},   // 数据
        {L"\u0141ukasz", false},     // Łukasz, next to a Lukasz
        {L"J\u00fcrgen", true},      // Jürgen: inside 1252
    };
    InstallPackage();
    WriteIni("[Path]\r\n");
    for (const Row& r : kRows) {
        CTempDir users;
        const std::wstring wsUsers(users.Path().begin(), users.Path().end());
        const std::wstring wsTemp = wsUsers + L"\\" + r.pszUser + L"\\Temp";
        SCOPED_TRACE(TsUtf8Of(wsTemp.c_str()).c_str());
        ASSERT_TRUE(::CreateDirectoryW((wsUsers + L"\\" + r.pszUser).c_str(), nullptr));
        ASSERT_TRUE(::CreateDirectoryW(wsTemp.c_str(), nullptr));
        ASSERT_TRUE(testutil::CreateFolders(users / "Lukasz\\Temp"));
        CString sTemp;
        ASSERT_TRUE(TsExactAnsiPath(wsTemp.c_str(), sTemp));
        EXPECT_EQ(r.bLongName, sTemp.Find('\xfc') >= 0) << sTemp.c_str();
        const std::string sHost = std::string(sTemp.c_str()) + "\\Tessaly";
        const std::string sTray = sHost + "\\TessTaskBarIcon.exe";
        m_programsToEnd.push_back(sTray);

        wchar_t wszOldTmp[1024] = L"", wszOldTemp[1024] = L"";
        ::GetEnvironmentVariableW(L"TMP", wszOldTmp, 1024);
        ::GetEnvironmentVariableW(L"TEMP", wszOldTemp, 1024);
        ::SetEnvironmentVariableW(L"TMP", wsTemp.c_str());
        ::SetEnvironmentVariableW(L"TEMP", wsTemp.c_str());
        StarterRun run = RunStarter("/silent");
        ::SetEnvironmentVariableW(L"TMP", wszOldTmp);
        ::SetEnvironmentVariableW(L"TEMP", wszOldTemp);

        ASSERT_TRUE(run.bEnded);
        EXPECT_TRUE(run.Dialogs().empty()) << run.DialogText();
        EXPECT_EQ(sHost, Tessaly("PorvinHostPath"));
        EXPECT_EQ(sHost, Tessaly("HDDProgFilesPath"));
        EXPECT_TRUE(testutil::FileExists(sHost + "\\readme.txt"));
        std::vector<std::string> rec = e2e::ReadRecord(sTray);
        ASSERT_FALSE(rec.empty());
        EXPECT_EQ(" folder=" + sHost + " args=", rec[0].substr(rec[0].find(' ', 6)));
        EXPECT_FALSE(testutil::FolderExists(users / "Lukasz\\Temp\\Tessaly")) << "the look-alike is never touched";
        EXPECT_FALSE(testutil::FolderExists("C:\\_ts\\Tessaly")) << "no move to the shared fallback";

        // The tray holds its files: it ends before its folder goes.
        CleanHost();
        EndRecordedProcesses(sTray);
    }
}

// --- the command line and the drive's settings ----------------------------------------

TEST_F(WfStart, SetLanguageModeWritesTheChoiceToTheDataFolderAndStartsNothing)
{
    struct Case {
        const char* args;
        const char* expected;
    };
    const Case kCases[] = {
        {"/LANG=DE /silent", "de-German"},       // a code, typed in capitals, is mapped
        {"kill -lang=jp", "jp-Japanese"},        // the minus form; "kill" is ignored
        {"/lang=de-German", "de-german"},        // any other value is written as it stands
        {"/lang=\"%WF_TEST_LANGUAGE%\"", "xx-Custom Language"},
    };
    ::SetEnvironmentVariableA("WF_TEST_LANGUAGE", "xx-Custom Language");
    InstallPackage();
    WriteIni("[Path]\r\n");
    ASSERT_TRUE(testutil::CreateFolders(kDataFolder));
    const std::string sOptions = std::string(kDataFolder) + "\\options.tso";
    ASSERT_TRUE(testutil::WriteFileBytes(sOptions, "[GENERAL]\r\nAutoLogoff=15\r\n[LANGUAGE]\r\nLocalizationFile=fr-French\r\n"));
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.args);
        StarterRun run = RunStarter(c.args);
        ASSERT_TRUE(run.bEnded);
        EXPECT_EQ(0u, run.dwExitCode);
        EXPECT_TRUE(run.boxes.empty());
        EXPECT_EQ(c.expected, IniValue(sOptions, "LANGUAGE", "LocalizationFile"));
        EXPECT_EQ("15", IniValue(sOptions, "GENERAL", "AutoLogoff"));
        EXPECT_EQ("<none>", Tessaly("TessalyPortableStarterPath"));
        EXPECT_FALSE(testutil::FolderExists(HostFolder()));
    }
    ::SetEnvironmentVariableA("WF_TEST_LANGUAGE", nullptr);
}

TEST_F(WfStart, SetLanguageModeWithoutADataFolderWritesNothing)
{
    StarterRun run = RunStarter("/lang=de");
    ASSERT_TRUE(run.bEnded);
    EXPECT_EQ(0u, run.dwExitCode);
    EXPECT_TRUE(run.boxes.empty());
    EXPECT_FALSE(testutil::FolderExists("R:\\My Tessaly Data"));
}

TEST_F(WfStart, AnyOtherWordDoesNothing)
{
    InstallPackage();
    WriteIni("[Path]\r\n");
    // "/u3" is found inside a longer word; the letter left behind is the unknown word.
    for (const char* pszArgs : {"hello", "/u3x", "kill now", "/silent close kill"}) {
        SCOPED_TRACE(pszArgs);
        StarterRun run = RunStarter(pszArgs);
        ASSERT_TRUE(run.bEnded);
        EXPECT_EQ(0u, run.dwExitCode);
        EXPECT_TRUE(run.boxes.empty());
        EXPECT_EQ("<none>", Tessaly("TessalyPortableStarterPath"));
        EXPECT_FALSE(testutil::FolderExists(HostFolder()));
        EXPECT_FALSE(testutil::FolderExists(kDataFolder));
    }
}

TEST_F(WfStart, ShowSplashFromTheDriveSettings)
{
    struct Case {
        const char* ini;
        const char* args;
        bool splash;
    };
    const Case kCases[] = {
        {"[Path]\r\nShowSplash=FALSE\r\n", "", false},
        {"[Path]\r\nShowSplash=TRUE\r\n", "/silent", false},   // cannot undo "/silent"
        {"[Path]\r\nShowSplash=maybe\r\n", "", true},          // anything else is the default
    };
    InstallPackage();
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.ini);
        WriteIni(c.ini);
        StarterRun run = RunStarter(c.args);
        ASSERT_TRUE(run.bEnded);
        EXPECT_TRUE(run.NoDialogs());
        EXPECT_EQ(c.splash, run.SplashShown());
        EXPECT_EQ(kDriveRoot, Tessaly("TessalyPortableStarterPath"));
        CleanHost();
    }
}

TEST_F(WfStart, UnpackToChoosesTheHostFolder)
{
    auto shellFolder = [](int nCsidl) {
        char sz[MAX_PATH] = "";
        ::SHGetFolderPathA(nullptr, nCsidl, nullptr, SHGFP_TYPE_CURRENT, sz);
        return std::string(sz);
    };
    struct Case {
        const char* value;
        std::string folder;
    };
    const Case kCases[] = {
        {"AppData", shellFolder(CSIDL_APPDATA) + "\\Tessaly"},
        {"MYDOCS", shellFolder(CSIDL_PERSONAL) + "\\Tessaly"},
        {"temp", HostFolder()},
        {"C:\\Elsewhere", HostFolder()},   // a path is not a choice
    };
    InstallPackage();
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.value);
        WriteIni(std::string("[Path]\r\nUnpackTo=") + c.value + "\r\n");
        m_programsToEnd.push_back(c.folder + "\\TessTaskBarIcon.exe");
        StarterRun run = RunStarter("/silent");
        ASSERT_TRUE(run.bEnded);
        EXPECT_TRUE(run.NoDialogs());
        EXPECT_EQ(c.folder, Tessaly("PorvinHostPath"));
        EXPECT_TRUE(testutil::FileExists(c.folder + "\\readme.txt"));
        CleanHost();
        testutil::RemoveTree(c.folder);
    }
    EXPECT_FALSE(testutil::FolderExists("C:\\Elsewhere"));
}

// --- the stop ----------------------------------------------------------------------------

std::string ShellFolder(int nCsidl)
{
    char sz[MAX_PATH] = "";
    ::SHGetFolderPathA(nullptr, nCsidl, nullptr, SHGFP_TYPE_CURRENT, sz);
    return sz;
}

bool KeyExists(HKEY hRoot, const char* pszKey)
{
    HKEY hKey = nullptr;
    if (::RegOpenKeyExA(hRoot, pszKey, 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return false;
    ::RegCloseKey(hKey);
    return true;
}

void SetMakerValue(const char* pszName, const std::string& sValue)
{
    HKEY hKey;
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Norvane Works", 0, nullptr, 0, KEY_WRITE,
                                               nullptr, &hKey, nullptr));
    ::RegSetValueExA(hKey, pszName, 0, REG_SZ, reinterpret_cast<const BYTE*>(sValue.c_str()),
                     static_cast<DWORD>(sValue.size() + 1));
    ::RegCloseKey(hKey);
}

std::string SetupLog()
{
    CString sTemp;
    GetWritableTempFolder(sTemp);
    return testutil::ReadFileOrEmpty(std::string(sTemp.c_str()) + "\\_ts.log");
}

const char kElevationPolicyKey[] = "SOFTWARE\\Microsoft\\Internet Explorer\\Low Rights\\ElevationPolicy";

// What the product could leave behind on this host: the registry of the user, the machine
// keys the start writes, and the user's folders.
struct HostListing {
    std::set<std::string> user;
    std::set<std::string> machine;
    std::set<std::string> files;

    static HostListing Take()
    {
        HostListing l;
        l.user = e2e::ListRegistry(HKEY_CURRENT_USER, "Software", true);
        // Of the machine, what the start writes there.
        for (const char* pszKey : {"Software\\Norvane Works", kElevationPolicyKey})
            for (const std::string& s : e2e::ListRegistry(HKEY_LOCAL_MACHINE, pszKey, true))
                l.machine.insert(s);
        CString sTemp;
        GetWritableTempFolder(sTemp);
        for (const std::string& sFolder : {std::string(sTemp.c_str()), ShellFolder(CSIDL_APPDATA),
                                           ShellFolder(CSIDL_LOCAL_APPDATA), ShellFolder(CSIDL_PERSONAL)})
            for (const std::string& s : e2e::ListFolder(sFolder))
                l.files.insert(sFolder + "\\" + s);
        return l;
    }
};

std::string Lines(const std::vector<std::string>& v)
{
    std::string s;
    for (const std::string& line : v)
        s += "\n  " + line;
    return s;
}

TEST_F(WfStart, StartThenKillLeavesNothingButTheLogAndTheEmptyHostFolder)
{
    InstallPackage();
    WriteIni("[Path]\r\n");
    // The browser's policy key is there on Windows; Wine has none until someone writes one.
    HKEY hPolicy = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, kElevationPolicyKey, 0, nullptr, 0, KEY_WRITE,
                                               nullptr, &hPolicy, nullptr));
    ::RegCloseKey(hPolicy);
    const HostListing before = HostListing::Take();
    const std::string sHost = HostFolder();
    const std::string sTray = sHost + "\\TessTaskBarIcon.exe";

    StarterRun start = RunStarter("/silent");
    ASSERT_TRUE(start.bEnded);
    ASSERT_TRUE(start.NoDialogs());
    ASSERT_NE(nullptr, e2e::WaitForWatcher(5000));
    ASSERT_TRUE(testutil::FileExists(sHost + "\\Firefox\\components\\tessaly.js"));
    ASSERT_TRUE(testutil::FileExists(sHost + "\\Data\\deep\\deeper\\notes.txt"));
    ASSERT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, "Software\\Norvane Works\\Tessaly"));

    StarterRun kill = RunStarter("kill");
    ASSERT_TRUE(kill.bEnded);
    EXPECT_EQ(0u, kill.dwExitCode);
    EXPECT_TRUE(kill.NoDialogs());
    EXPECT_TRUE(kill.SplashShown());
    EXPECT_GE(kill.dwMs, 2000u);   // the stopped text is held
    EXPECT_TRUE(e2e::RecordHas(sTray, "close"));
    EXPECT_EQ(nullptr, e2e::ReadWatcherField().hWnd);

    // The records of the stand-ins are the test's own instruments, not the product's files.
    for (const char* pszRecord : {"\\TessTaskBarIcon.exe.rec", "\\Keycards.exe.rec"})
        ::DeleteFileA((sHost + pszRecord).c_str());
    EXPECT_TRUE(testutil::FolderExists(sHost));
    EXPECT_EQ("", Lines(e2e::Added({}, e2e::ListFolder(sHost))));
    for (const char* pszValue : {"TessalyPortableStarterPath", "PorvinHostPath", "Common AppData Path"}) {
        SCOPED_TRACE(pszValue);
        EXPECT_EQ("<none>", Tessaly(pszValue));
    }
    EXPECT_EQ("<none>", RegValue(HKEY_LOCAL_MACHINE, kTessalyKey, "Common AppData Path"));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, "Software\\Norvane Works"));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, "Software\\Norvane Works"));

    // Nothing else either: only the setup log and the host folder the stop keeps are new.
    const HostListing after = HostListing::Take();
    std::vector<std::string> files = e2e::Added(before.files, after.files);
    CString sTemp;
    GetWritableTempFolder(sTemp);
    files.erase(std::remove_if(files.begin(), files.end(),
                               [&](const std::string& s) {
                                   // The simulated stick lies in the temporary folder too.
                                   return s == std::string(sTemp.c_str()) + "\\_ts.log" || s == sHost ||
                                          s.compare(0, m_stick.Path().size() + 1, m_stick.Path() + "\\") == 0;
                               }),
                files.end());
    EXPECT_EQ("", Lines(files));
    EXPECT_EQ("", Lines(e2e::Added(before.user, after.user)));
    EXPECT_EQ("", Lines(e2e::Added(before.machine, after.machine)));
}

TEST_F(WfStart, KillEndsWithTheDesktopEditionOrTheFinalCleanup)
{
    // The desktop edition's own tray program, which the stop restarts when asked to.
    CTempDir desktop;
    const std::string sDesktopTray = desktop / "TessTaskBarIcon.exe";
    ASSERT_TRUE(::CopyFileA(e2e::StandInPath("TessTaskBarIcon").c_str(), sDesktopTray.c_str(), FALSE));
    m_programsToEnd.push_back(sDesktopTray);
    const char kSetupEventName[] = "{5E8B0F21-7C64-4b3a-9D02-6F1A4E87C3B5}-TsSetup";

    struct Row {
        const char* args;
        const char* runTs;
        const char* desktopData;
        bool setupRunning;
        bool restarted;
        bool keyKept;
    };
    static const Row kRows[] = {
        {"/silent kill", "", "", false, false, false},
        {"kill", "1", "", false, false, false},            // no desktop data: the final cleanup
        {"kill", "", "C:\\Tessaly Data", false, false, true},   // its data stays
        {"kill", "1", "C:\\Tessaly Data", false, true, true},
        {"kill", "1", "C:\\Tessaly Data", true, false, true},   // a setup runs: it starts the icon itself
        {"kill", "1", "", true, false, true},
    };
    for (const Row& r : kRows) {
        SCOPED_TRACE(std::string(r.args) + " _RunTs=" + r.runTs + " RootUserDataDir=" + r.desktopData +
                     (r.setupRunning ? " setup running" : ""));
        SetMakerValue("_RunTs", r.runTs);
        SetMakerValue("TessalyFolder", desktop.Path() + "\\");
        SetTessaly("RootUserDataDir", r.desktopData);
        SetTessaly("TessalyPortableStarterPath", kDriveRoot);
        CUniqueHandle hSetup(r.setupRunning ? ::CreateEventA(nullptr, FALSE, FALSE, kSetupEventName) : nullptr);

        StarterRun run = RunStarter(r.args);
        ASSERT_TRUE(run.bEnded);
        EXPECT_TRUE(run.NoDialogs());
        EXPECT_EQ(std::string(r.args) == "kill", run.SplashShown());
        EXPECT_EQ("<none>", Tessaly("TessalyPortableStarterPath"));
        EXPECT_EQ(r.keyKept, KeyExists(HKEY_CURRENT_USER, "Software\\Norvane Works"));
        EXPECT_EQ(r.restarted ? 1 : 0, CountLines(sDesktopTray, "start "));
        if (r.restarted) {
            std::vector<std::string> rec = e2e::ReadRecord(sDesktopTray);
            EXPECT_EQ(" folder=" + desktop.Path() + " args=", rec[0].substr(rec[0].find(' ', 6)));
            EXPECT_NE(nullptr, e2e::WaitForWatcher(5000));
        }
        CleanHost();
        ::DeleteFileA((sDesktopTray + ".rec").c_str());
    }
}

TEST_F(WfStart, ASecondStopperChangesNothing)
{
    StartProduct();
    // A stopper that runs now holds the stopper mutex.
    CUniqueHandle hStopper(::CreateMutexA(nullptr, FALSE, "{A94E2B70-16D3-4c8e-8B51-E0F7C3926D44} TsPortableKiller"));
    ASSERT_TRUE(hStopper);
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(hStopper.Get(), 0));
    const std::set<std::string> user = e2e::ListRegistry(HKEY_CURRENT_USER, "Software\\Norvane Works", true);
    const std::set<std::string> files = e2e::ListFolder(HostFolder());

    StarterRun run = RunStarter("/silent kill");
    ::ReleaseMutex(hStopper.Get());
    ASSERT_TRUE(run.bEnded);
    std::vector<UiBox> boxes = run.Dialogs();
    ASSERT_EQ(1u, boxes.size()) << e2e::Describe(boxes);
    EXPECT_EQ("Wayfarer", boxes[0].caption);
    EXPECT_EQ("Wayfarer stopper is already running", boxes[0].Text());
    EXPECT_FALSE(run.SplashShown());
    EXPECT_TRUE(user == e2e::ListRegistry(HKEY_CURRENT_USER, "Software\\Norvane Works", true));
    EXPECT_TRUE(files == e2e::ListFolder(HostFolder()));
    EXPECT_FALSE(e2e::RecordHas(HostFolder() + "\\TessTaskBarIcon.exe", "close"));
}

TEST_F(WfStart, ABadHostFolderIsLeftAloneAndTheLogSaysWhy)
{
    CTempDir other;
    ASSERT_TRUE(testutil::WriteFileBytes(other / "Keep\\keep.txt", "not the product's"));
    ASSERT_TRUE(testutil::CreateFolders(other / "Linked"));
    ASSERT_TRUE(testutil::MakeFolderLink(other / "Linked\\Tessaly", other / "Keep"));
    ASSERT_TRUE(testutil::WriteFileBytes(other / "Host\\Tessaly\\keep.txt", "not the product's either"));
    const std::string sDocuments = ShellFolder(CSIDL_PERSONAL);
    ASSERT_FALSE(testutil::LiesInLink(sDocuments));
    ASSERT_TRUE(testutil::WriteFileBytes(sDocuments + "\\letter.txt", "the user's"));

    struct Row {
        std::string folder;
        std::string reason;
        std::string kept;
    };
    const Row kRows[] = {
        {sDocuments, " (not named Tessaly)", sDocuments + "\\letter.txt"},
        {other / "Linked\\Tessaly", " (" + other / "Linked\\Tessaly is a link)", other / "Keep\\keep.txt"},
        {other / "Host\\..\\Host\\Tessaly", " (not a full local path)", other / "Host\\Tessaly\\keep.txt"},
    };
    for (const Row& r : kRows) {
        SCOPED_TRACE(r.folder);
        SetTessaly("PorvinHostPath", r.folder);
        StarterRun run = RunStarter("/silent kill");
        ASSERT_TRUE(run.bEnded);
        EXPECT_TRUE(run.NoDialogs());
        EXPECT_TRUE(testutil::FileExists(r.kept));
        EXPECT_NE(std::string::npos, SetupLog().find("Host folder refused, nothing deleted: " + r.folder + r.reason));
        EXPECT_EQ("<none>", Tessaly("PorvinHostPath"));
    }
    testutil::RemoveFolderLink(other / "Linked\\Tessaly");
    ::DeleteFileA((sDocuments + "\\letter.txt").c_str());
}

TEST_F(WfStart, TheUsersOwnFilesInTheHostFolderSurviveAFailedStartAndTheStop)
{
    // UnpackTo=mydocs, where the user keeps a folder "Tessaly" of their own, and a package
    // cut short: the start unpacks nothing, and the stop finds nothing of ours to delete
    // there, not even under the names older starters emptied.
    const std::string sHost = ShellFolder(CSIDL_PERSONAL) + "\\Tessaly";
    ASSERT_FALSE(testutil::LiesInLink(sHost));
    const std::vector<std::string> kUsers = {"letter.txt", "readme.txt", "Firefox\\components\\mine.js"};
    for (const std::string& s : kUsers)
        ASSERT_TRUE(testutil::WriteFileBytes(sHost + "\\" + s, "the user's " + s));
    const std::set<std::string> before = e2e::ListFolder(sHost);
    ASSERT_TRUE(testutil::CreateFolders("R:\\Tessaly"));
    std::string sPackage;
    ASSERT_TRUE(testutil::ReadFileBytes(s_sPackage, sPackage));
    ASSERT_TRUE(testutil::WriteFileBytes("R:\\Tessaly\\AiTessaly-Portable.bin", sPackage.substr(0, sPackage.size() / 2)));
    WriteIni("[Path]\r\nUnpackTo=mydocs\r\n");
    m_programsToEnd.push_back(sHost + "\\TessTaskBarIcon.exe");

    StarterRun start = RunStarter("/silent");
    ASSERT_TRUE(start.bEnded);
    EXPECT_EQ(sHost, Tessaly("PorvinHostPath"));
    StarterRun kill = RunStarter("/silent kill");
    ASSERT_TRUE(kill.bEnded);
    EXPECT_TRUE(kill.NoDialogs());

    for (const std::string& s : kUsers)
        EXPECT_EQ("the user's " + s, testutil::ReadFileOrEmpty(sHost + "\\" + s));
    EXPECT_EQ("", Lines(e2e::Added(before, e2e::ListFolder(sHost))));
    EXPECT_EQ("", Lines(e2e::Added(e2e::ListFolder(sHost), before)));
    testutil::RemoveTree(sHost);
}

TEST_F(WfStart, AReusedHostFolderWithAHardLinkToAnOutsideFileLeavesThatFileAlone)
{
    // The host folder is there from before, and its readme.txt is a hard link to a file
    // outside: the start makes its own readme.txt anew instead of writing through the link,
    // and the stop removes only that.
    InstallPackage();
    WriteIni("[Path]\r\n");
    CTempDir outside;
    const std::string sOutside = outside / "notes.txt";
    ASSERT_TRUE(testutil::WriteFileBytes(sOutside, "somebody else's notes"));
    const std::string sHost = HostFolder();
    ASSERT_TRUE(testutil::CreateFolders(sHost));
    ASSERT_TRUE(::CreateHardLinkA((sHost + "\\readme.txt").c_str(), sOutside.c_str(), nullptr));

    StarterRun start = RunStarter("/silent");
    ASSERT_TRUE(start.bEnded);
    EXPECT_TRUE(start.NoDialogs());
    ASSERT_NE(nullptr, e2e::WaitForWatcher(5000));
    EXPECT_EQ("Tessaly program files\r\n", testutil::ReadFileOrEmpty(sHost + "\\readme.txt"));
    EXPECT_EQ("somebody else's notes", testutil::ReadFileOrEmpty(sOutside));

    StarterRun kill = RunStarter("/silent kill");
    ASSERT_TRUE(kill.bEnded);
    EXPECT_TRUE(kill.NoDialogs());
    EXPECT_FALSE(testutil::FileExists(sHost + "\\readme.txt"));
    EXPECT_EQ("somebody else's notes", testutil::ReadFileOrEmpty(sOutside));
}

TEST_F(WfStart, AFallbackFolderThatIsALinkIsNeitherWrittenNorRunFrom)
{
    // The user's temporary folder is missing, so the start would fall back to the shared
    // C:\_ts, which another user of the computer made a link to a folder of theirs.
    InstallPackage();
    WriteIni("[Path]\r\n");
    ASSERT_FALSE(testutil::FolderExists("C:\\_ts")) << "left by another test";
    CTempDir theirs;
    ASSERT_TRUE(testutil::MakeFolderLink("C:\\_ts", theirs.Path()));
    std::vector<std::string> oldValues;
    for (const char* pszName : {"TMP", "TEMP"}) {
        char sz[MAX_PATH] = "";
        ::GetEnvironmentVariableA(pszName, sz, MAX_PATH);
        oldValues.push_back(sz);
        ::SetEnvironmentVariableA(pszName, "C:\\no\\such\\temp");
    }
    StarterRun run = RunStarter("/silent");
    ::SetEnvironmentVariableA("TMP", oldValues[0].c_str());
    ::SetEnvironmentVariableA("TEMP", oldValues[1].c_str());
    testutil::RemoveFolderLink("C:\\_ts");

    ASSERT_TRUE(run.bEnded);
    EXPECT_EQ("", Lines(e2e::Added({}, e2e::ListFolder(theirs.Path()))));
    EXPECT_EQ(nullptr, e2e::WaitForWatcher(500));
    EXPECT_EQ("<none>", Tessaly("PorvinHostPath"));
    std::vector<UiBox> boxes = run.Dialogs();
    ASSERT_EQ(1u, boxes.size()) << e2e::Describe(boxes);
    EXPECT_EQ("Cannot use folder (it is not a full path)", boxes[0].Text());
}

class WfStopDesktopEdition : public WfStartDesktopEdition {};

TEST_F(WfStopDesktopEdition, KillHandsTheDesktopEditionBackItsDataAndDeletesNothing)
{
    InstallDesktopEdition(2);
    StarterRun start = RunStarter("/silent");
    ASSERT_TRUE(start.bEnded);
    ASSERT_TRUE(start.NoDialogs());
    const std::string sTray = m_sDesktop + "\\TessTaskBarIcon.exe";
    ASSERT_NE(nullptr, e2e::WaitForWatcher(5000));
    ASSERT_EQ(1, CountLines(sTray, "start "));
    // Program files of an earlier portable run on this host stay where they are.
    ASSERT_TRUE(testutil::WriteFileBytes(HostFolder() + "\\readme.txt", "earlier run"));
    SetTessaly("PorvinHostPath", HostFolder());
    SetMakerValue("_RunTs", "1");
    SetMakerValue("TessalyFolder", m_sDesktop);
    SetTessaly("RootUserDataDir", "C:\\Tessaly Data");

    StarterRun kill = RunStarter("/silent kill");
    ASSERT_TRUE(kill.bEnded);
    EXPECT_TRUE(kill.NoDialogs());
    EXPECT_TRUE(testutil::FileExists(HostFolder() + "\\readme.txt"));
    EXPECT_EQ(HostFolder(), Tessaly("PorvinHostPath"));
    EXPECT_EQ("<none>", Tessaly("RootUserDataDirPort"));
    EXPECT_EQ("<none>", Tessaly("TessalyPortableStarterPath"));
    // Closed, then started again from the desktop edition's folder.
    EXPECT_TRUE(e2e::RecordHas(sTray, "close"));
    EXPECT_EQ(2, CountLines(sTray, "start "));
    EXPECT_NE(nullptr, e2e::WaitForWatcher(5000));
}

TEST_F(WfStopDesktopEdition, CloseLogsTheDesktopEditionOffOrClosesThePortableProduct)
{
    // Without the desktop edition the running product is closed; its record stays.
    StartProduct();
    const std::string sTray = HostFolder() + "\\TessTaskBarIcon.exe";
    StarterRun close = RunStarter("close");
    ASSERT_TRUE(close.bEnded);
    EXPECT_TRUE(close.NoDialogs());
    EXPECT_FALSE(close.SplashShown());
    EXPECT_TRUE(e2e::RecordHas(sTray, "close"));
    EXPECT_EQ(kDataFolder, Tessaly("RootUserDataDirPort"));
    EXPECT_EQ(kDriveRoot, Tessaly("TessalyPortableStarterPath"));
    CleanHost();

    // With it, the desktop edition goes back to its own data and keeps running.
    InstallDesktopEdition(2);
    StarterRun start = RunStarter("/silent");
    ASSERT_TRUE(start.bEnded);
    ASSERT_EQ(kDataFolder, Tessaly("RootUserDataDirPort"));
    close = RunStarter("close");
    ASSERT_TRUE(close.bEnded);
    EXPECT_TRUE(close.NoDialogs());
    EXPECT_EQ("<none>", Tessaly("RootUserDataDirPort"));
    EXPECT_FALSE(e2e::RecordHas(m_sDesktop + "\\TessTaskBarIcon.exe", "close"));
    EXPECT_EQ(kDriveRoot, Tessaly("TessalyPortableStarterPath"));
}

TEST_F(WfStart, ASplashClosedFromOutsideLetsTheRunFinish)
{
    // Closed as its taskbar button's Close would, while the run goes on.
    auto closeSplash = [](const UiBox& box) {
        if (box.className == kSplashClass)
            ::PostMessageA(box.hwnd, WM_SYSCOMMAND, SC_CLOSE, 0);
        return box.className == kSplashClass ? 0 : CUiDriver::PressDefault(box);
    };
    InstallPackage();
    WriteIni("[Path]\r\n");
    StarterRun start = RunStarter("", closeSplash);
    ASSERT_TRUE(start.bEnded);
    EXPECT_EQ(0u, start.dwExitCode);
    EXPECT_TRUE(start.SplashShown());
    EXPECT_TRUE(start.NoDialogs());
    EXPECT_EQ(kDriveRoot, Tessaly("TessalyPortableStarterPath"));
    ASSERT_NE(nullptr, e2e::WaitForWatcher(5000));

    StarterRun kill = RunStarter("kill", closeSplash);
    ASSERT_TRUE(kill.bEnded);
    EXPECT_EQ(0u, kill.dwExitCode);
    EXPECT_TRUE(kill.SplashShown());
    EXPECT_TRUE(kill.NoDialogs());
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, "Software\\Norvane Works"));
}

}  // namespace

// --- when something on the host misbehaves ------------------------------------------------

namespace {

// A program of the test's own, run from a copy under another name and ready once the named
// event is set: tswindows (windows of another process) or tshelper (the lock's other holder).
class CTestProcess {
public:
    CTestProcess(const char* pszProgram, const std::string& sCopy, const std::string& sArgs)
    {
        char szName[64];
        wsprintfA(szName, "wfstart_e2e_ready_%lu_%p", ::GetCurrentProcessId(), static_cast<void*>(this));
        m_hReady = ::CreateEventA(nullptr, TRUE, FALSE, szName);
        const std::string sPath = m_dir / sCopy;
        if (!::CopyFileA((e2e::BuildFolder() + "\\tests\\" + pszProgram).c_str(), sPath.c_str(), FALSE))
            return;
        std::string sFullArgs = sArgs;
        const size_t nPos = sFullArgs.find("EVENT");
        if (nPos != std::string::npos)
            sFullArgs.replace(nPos, 5, szName);
        m_child.reset(new e2e::CChild(e2e::StartProcess(sPath, sFullArgs, m_dir.Path())));
        m_bReady = *m_child && ::WaitForSingleObject(m_hReady, 30000) == WAIT_OBJECT_0;
    }
    ~CTestProcess()
    {
        if (m_child && *m_child) {
            ::TerminateProcess(m_child->Get(), 1);
            ::WaitForSingleObject(m_child->Get(), 10000);
        }
        ::CloseHandle(m_hReady);
    }
    CTestProcess(const CTestProcess&) = delete;
    CTestProcess& operator=(const CTestProcess&) = delete;

    bool Ready() const { return m_bReady; }
    DWORD Pid() const { return m_child && *m_child ? ::GetProcessId(m_child->Get()) : 0; }

private:
    CTempDir m_dir;
    HANDLE m_hReady = nullptr;
    std::unique_ptr<e2e::CChild> m_child;
    bool m_bReady = false;
};

}  // namespace

// The longest a kill can take is that of a plain kill plus the window clean-up's limits (a
// second for each message a window does not answer, ten seconds of sending in all).
TEST_F(WfStart, AKillWithAHungBrowserBlockedByAProductDialogStillTakesEverythingAway)
{
    InstallPackage();
    WriteIni("[Path]\r\n");
    const std::string sHost = HostFolder();
    const std::string sTray = sHost + "\\TessTaskBarIcon.exe";
    StarterRun start = RunStarter("/silent");
    ASSERT_TRUE(start.bEnded);
    ASSERT_TRUE(start.NoDialogs());
    ASSERT_NE(nullptr, e2e::WaitForWatcher(5000));

    // A Firefox window that one of the product's dialogs blocks, and whose thread has hung.
    CTestProcess browser("tswindows.exe", "firefox.exe",
                         "-o out.txt window MozillaWindowClass \"Firefox Hung\" dialog _Identity_Editor_ \"Hung Dialog\" "
                         "ready EVENT hang");
    ASSERT_TRUE(browser.Ready());

    StarterRun kill = RunStarter("/silent kill");
    ASSERT_TRUE(kill.bEnded) << "the kill did not end within 90 s";
    EXPECT_EQ(0u, kill.dwExitCode);
    // The browser's own blocking dialog stays on the screen (its thread is hung), and the
    // driver sees it whenever its look falls on it: only the starter's boxes count here.
    std::vector<UiBox> shown;
    for (const UiBox& b : kill.Dialogs())
        if (b.processId != browser.Pid())
            shown.push_back(b);
    EXPECT_TRUE(shown.empty()) << e2e::Describe(shown);
    // A plain silent kill takes well under a second; one hung window adds a second.
    EXPECT_LT(kill.dwMs, 45000u);
    RecordProperty("kill_ms", static_cast<int>(kill.dwMs));
    EXPECT_TRUE(e2e::RecordHas(sTray, "close"));
    EXPECT_EQ(nullptr, e2e::ReadWatcherField().hWnd);
    for (const char* pszRecord : {"\\TessTaskBarIcon.exe.rec", "\\Keycards.exe.rec"})
        ::DeleteFileA((sHost + pszRecord).c_str());
    EXPECT_EQ("", Lines(e2e::Added({}, e2e::ListFolder(sHost))));
    for (const char* pszValue : {"TessalyPortableStarterPath", "PorvinHostPath", "Common AppData Path"}) {
        SCOPED_TRACE(pszValue);
        EXPECT_EQ("<none>", Tessaly(pszValue));
    }
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, "Software\\Norvane Works"));
}

// Another process takes the cross-process lock and never lets it go: the start waits for it
// once, asks once, and goes on to its end without it.
TEST_F(WfStart, AStartWhileAnotherProcessHoldsTheLockForEverAsksOnceAndEnds)
{
    InstallPackage();
    WriteIni("[Path]\r\n");
    CTestProcess holder("tshelper.exe", "tshelper.exe", "connect lock HeldForEver signal EVENT sleep 600000");
    ASSERT_TRUE(holder.Ready());

    StarterRun run = RunStarter("", AnswerByCaption({{"Tessaly", IDNO}}), 240000);
    ASSERT_TRUE(run.bEnded) << "the start did not end within 4 minutes";
    EXPECT_EQ(0u, run.dwExitCode);
    RecordProperty("start_ms", static_cast<int>(run.dwMs));
    // One wait of 30 s, the answer, and the rest of the start with every lock failing at once.
    EXPECT_LT(run.dwMs, 120000u);
    std::vector<UiBox> boxes = run.Dialogs();
    ASSERT_EQ(1u, boxes.size()) << e2e::Describe(boxes);
    EXPECT_EQ("Tessaly", boxes[0].caption);
    EXPECT_EQ(IDNO, boxes[0].pressed);
    // The first lock of a start comes before its connection to the shared block, so the
    // holder is not known to it.
    const std::string sText = boxes[0].Text();
    const std::string sPrefix = "Process  (pid ";
    const std::string sRest =
        ") cannot get lock TsGetLocalizationOption for 1 minutes\nClick Yes to report this abnormal situation to "
        "Tessaly.";
    ASSERT_GT(sText.size(), sPrefix.size() + sRest.size()) << sText;
    EXPECT_EQ(sPrefix, sText.substr(0, sPrefix.size())) << sText;
    EXPECT_EQ(sRest, sText.substr(sText.size() - sRest.size())) << sText;
    const std::string sPid = sText.substr(sPrefix.size(), sText.size() - sPrefix.size() - sRest.size());
    EXPECT_EQ(std::string::npos, sPid.find_first_not_of("0123456789")) << sText;
    // The start went on without the lock: the product runs.
    EXPECT_NE(nullptr, e2e::WaitForWatcher(5000));
}

TEST_F(WfStart, AKillWhileAnotherProcessHoldsTheLockForEverAsksOnceAndEnds)
{
    StartProduct();
    const std::string sHost = HostFolder();
    const std::string sTray = sHost + "\\TessTaskBarIcon.exe";
    CTestProcess holder("tshelper.exe", "tshelper.exe", "connect lock HeldForEver signal EVENT sleep 600000");
    ASSERT_TRUE(holder.Ready());

    StarterRun kill = RunStarter("/silent kill", AnswerByCaption({{"Tessaly", IDNO}}), 240000);
    ASSERT_TRUE(kill.bEnded) << "the kill did not end within 4 minutes";
    EXPECT_EQ(0u, kill.dwExitCode);
    RecordProperty("kill_ms", static_cast<int>(kill.dwMs));
    EXPECT_LT(kill.dwMs, 120000u);
    std::vector<UiBox> boxes = kill.Dialogs();
    ASSERT_EQ(1u, boxes.size()) << e2e::Describe(boxes);
    EXPECT_EQ("Tessaly", boxes[0].caption);
    EXPECT_EQ(IDNO, boxes[0].pressed);
    EXPECT_NE(std::string::npos, boxes[0].Text().find(" for 1 minutes\n")) << boxes[0].Text();

    // The taskbar icon was asked to close; it clears its window in the block under the same
    // lock, so it is still waiting when the kill gives up on it (after 4.9 s for its window and
    // 5 s for its process): its program file cannot go yet, and the unpack's list stays for
    // a later kill. Everything else is gone.
    EXPECT_TRUE(e2e::RecordHas(sTray, "close"));
    for (const char* pszRecord : {"\\TessTaskBarIcon.exe.rec", "\\Keycards.exe.rec"})
        ::DeleteFileA((sHost + pszRecord).c_str());
    EXPECT_EQ("\n  TessTaskBarIcon.exe\n  _ts_unpack.lst", Lines(e2e::Added({}, e2e::ListFolder(sHost))));
    for (const char* pszValue : {"TessalyPortableStarterPath", "PorvinHostPath", "Common AppData Path"}) {
        SCOPED_TRACE(pszValue);
        EXPECT_EQ("<none>", Tessaly(pszValue));
    }
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, "Software\\Norvane Works"));
}

// A save of the options that a pulled stick cut off between the delete and the rename of
// its replace left the new copy alone, or beside the file: "/lang" keeps every other
// section, and no copy is left afterwards.
TEST_F(WfStart, SetLanguageModeKeepsTheOptionsThatAnInterruptedSaveLeft)
{
    const std::string sGood = "[GENERAL]\r\nAutoLogoff=15\r\n[LANGUAGE]\r\nLocalizationFile=fr-French\r\n";
    struct Case {
        const char* name;
        const char* file;   // null: no options.tso
        const char* copy;
    };
    const Case kCases[] = {
        {"only the copy", nullptr, sGood.c_str()},
        {"both: the file wins", sGood.c_str(), "[GENERAL]\r\nAutoLog"},
    };
    InstallPackage();
    WriteIni("[Path]\r\n");
    const std::string sOptions = std::string(kDataFolder) + "\\options.tso";
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        testutil::RemoveTree("R:\\My Tessaly Data");
        ASSERT_TRUE(testutil::CreateFolders(kDataFolder));
        if (c.file) {
            ASSERT_TRUE(testutil::WriteFileBytes(sOptions, c.file));
        }
        ASSERT_TRUE(testutil::WriteFileBytes(sOptions + ".tmp", c.copy));
        StarterRun run = RunStarter("/lang=de");
        ASSERT_TRUE(run.bEnded);
        EXPECT_TRUE(run.boxes.empty());
        EXPECT_EQ("de-German", IniValue(sOptions, "LANGUAGE", "LocalizationFile"));
        EXPECT_EQ("15", IniValue(sOptions, "GENERAL", "AutoLogoff"));
        EXPECT_FALSE(testutil::FileExists(sOptions + ".tmp"));
        EXPECT_NE(std::string::npos,
                  SetupLog().find(c.file ? "Options file read; the copy of an interrupted save stays until the next "
                                           "save: " + sOptions + ".tmp"
                                         : "File missing; the copy of an interrupted replace was put in its place: " +
                                               sOptions))
            << SetupLog();
    }
}

// A Portable.ini that the drive does not let the starter write (read-only, or on a full
// volume): the failure is shown and logged, the product still starts once the licence is
// accepted, and the next start asks again.
TEST_F(WfStart, ALicenceRecordTheDriveDoesNotTakeIsShownAndAskedAgain)
{
    const std::string sIni = "[Path]\r\nBinPath=\\Tessaly\r\n[Greeting]\r\nshow_greeting=TRUE\r\nlicense_approved=FALSE\r\n";
    for (const bool bFull : {false, true}) {
        SCOPED_TRACE(bFull ? "full volume" : "read-only");
        std::unique_ptr<testutil::CSmallVolume> pVolume;
        if (bFull) {
            pVolume = std::make_unique<testutil::CSmallVolume>(m_stick.Path(), "32m");
            if (!pVolume->Mounted())
                GTEST_SKIP() << "cannot mount a small file system here";
            ASSERT_TRUE(::CopyFileA((e2e::BuildFolder() + "\\starter\\wfstart.exe").c_str(), "R:\\wfstart.exe", FALSE));
        }
        InstallPackage();
        InstallFirstRunFiles();
        ASSERT_TRUE(testutil::CreateFolders(kDataFolder));   // a full stick has its data already
        ASSERT_TRUE(testutil::WriteFileBytes(std::string(kDataFolder) + "\\id.tst", "identity"));
        WriteIni(sIni);
        DWORD dwCode = ERROR_DISK_FULL;
        if (bFull) {
            ASSERT_TRUE(pVolume->Fill("filler"));
        } else {
            ASSERT_TRUE(::SetFileAttributesA("R:\\Portable.ini", FILE_ATTRIBUTE_READONLY));
            dwCode = ERROR_ACCESS_DENIED;
        }
        CString sReason;
        GetErrorText(sReason, dwCode);
        const std::string sShown = std::string("Cannot write R:\\Portable.ini: ") + sReason.c_str();

        StarterRun accepted = RunStarter("", AnswerByCaption({{kGreetingCaption, IDOK}, {kLicenseCaption, IDOK}}));
        ASSERT_TRUE(accepted.bEnded);
        std::vector<UiBox> boxes = accepted.Dialogs();
        ASSERT_EQ(3u, boxes.size()) << e2e::Describe(boxes);   // the failure is shown once
        EXPECT_EQ(kGreetingCaption, boxes[0].caption);
        EXPECT_EQ("Wayfarer", boxes[1].caption);
        EXPECT_EQ(sShown, boxes[1].Text());
        EXPECT_EQ(kLicenseCaption, boxes[2].caption);
        EXPECT_EQ(sIni, testutil::ReadFileOrEmpty("R:\\Portable.ini"));
        EXPECT_FALSE(testutil::FileExists("R:\\Portable.ini.tmp"));
        EXPECT_TRUE(accepted.SplashShown());
        EXPECT_NE(nullptr, e2e::WaitForWatcher(5000));
        EXPECT_NE(std::string::npos, SetupLog().find(sShown)) << SetupLog();
        CleanHost();

        StarterRun again = RunStarter("", AnswerByCaption({{kGreetingCaption, IDOK}, {kLicenseCaption, IDCANCEL}}));
        ASSERT_TRUE(again.bEnded);
        boxes = again.Dialogs();
        ASSERT_EQ(3u, boxes.size()) << e2e::Describe(boxes);
        EXPECT_EQ(kGreetingCaption, boxes[0].caption);
        EXPECT_EQ(sShown, boxes[1].Text());
        EXPECT_EQ(kLicenseCaption, boxes[2].caption);
        CleanHost();
        ::SetFileAttributesA("R:\\Portable.ini", FILE_ATTRIBUTE_NORMAL);
        testutil::RemoveTree("R:\\Tessaly");
        testutil::RemoveTree("R:\\My Tessaly Data");
    }
}
