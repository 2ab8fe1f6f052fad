// The real wfclean.exe as the U3 platform starts it: from a host folder, with the platform's
// language, host folder and the document folder of a simulated removable U3 drive U:. The UI
// driver answers the two questions and records every box; the checks look at what is left
// on the drive.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "E2eUtil.h"
#include "Strings/TsFile.h"
#include "resources/resource.h"
#include "TestUtil.h"
#include "UiDriver.h"
#include "tests/unit/Strings/WineDrive.h"

namespace {

using testutil::CTempDir;

const char kDoc[] = "U:\\Documents";
const char kRoot[] = "U:\\Documents\\My Tessaly Data";
const char kProfile[] = "U:\\Documents\\My Tessaly Data\\Default Profile";
const char kU3EventName[] = "{7D3E92A1-B64C-11D3-8F2A-31C9E7D05B66}U3";
const char kMakerKey[] = "Software\\Norvane Works";
const char kUninstallTitle[] = "Tessaly Uninstaller";
const char kInstallTitle[] = "Tessaly Installer";
const char kRemoveDataText[] = "Do you want also to remove Tessaly Data files from U3 Smart Device?";
const char kBadOptionsText[] = "Bad command-line options, cleanup can not be performed.";

std::string EraseQuestion(const std::string& sRoot, int nIdentities, int nKeycards, int nVaultnotes, int nOthers)
{
    return "Are you sure you want to delete your User Data located at '" + sRoot + "'?\n- " +
           std::to_string(nIdentities) + " Identities,\n- " + std::to_string(nKeycards) + " Keycards,\n- " +
           std::to_string(nVaultnotes) + " Vaultnotes,\n- " + std::to_string(nOthers) +
           " other files.\n\nOnce deleted, these personal files will be lost.";
}

std::string DocPathValue()
{
    HKEY hKey;
    if (::RegOpenKeyExA(HKEY_CURRENT_USER, kMakerKey, 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return "<none>";
    char sz[512] = "";
    DWORD cb = sizeof(sz) - 1;
    LONG r = ::RegQueryValueExA(hKey, "_U3DocPath", nullptr, nullptr, reinterpret_cast<BYTE*>(sz), &cb);
    ::RegCloseKey(hKey);
    return r == ERROR_SUCCESS ? std::string(sz) : "<none>";
}

bool U3ModeSignalled()
{
    HANDLE h = ::OpenEventA(SYNCHRONIZE, FALSE, kU3EventName);
    if (!h)
        return false;
    bool bSignalled = ::WaitForSingleObject(h, 0) == WAIT_OBJECT_0;
    ::CloseHandle(h);
    return bSignalled;
}

std::string LogPath()
{
    char sz[MAX_PATH] = "";
    ::GetTempPathA(MAX_PATH, sz);
    std::string s = sz;
    if (!s.empty() && s.back() == '\\')
        s.pop_back();
    return s + "\\_ts.log";
}

struct CleanRun {
    bool bEnded = false;
    std::vector<UiBox> boxes;           // the boxes with buttons, in the order shown
    bool bU3ModeAtQuestion = false;     // seen from this process while the first question was up
    std::string sDocPathAtQuestion;
    std::string sLog;                   // what the run added to the setup log

    std::vector<std::string> Texts() const
    {
        std::vector<std::string> v;
        for (const UiBox& b : boxes)
            v.push_back(b.caption + "|" + b.Text());
        return v;
    }
};

struct FileRow {
    std::string sPath;   // below the drive's root
    bool bProduct;       // deleted after Yes twice
};

class WfClean : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::RegDeleteTreeA(HKEY_CURRENT_USER, kMakerKey);
        DefineDrive(DRIVE_REMOVABLE);
        m_sProgram = m_host / "wfclean.exe";
        ASSERT_TRUE(::CopyFileA((e2e::BuildFolder() + "\\cleanup\\wfclean.exe").c_str(), m_sProgram.c_str(), FALSE));
    }
    void TearDown() override
    {
        m_pDrive.reset();
        ::RegDeleteTreeA(HKEY_CURRENT_USER, kMakerKey);
    }

    void DefineDrive(UINT uType)
    {
        m_pDrive.reset();
        m_pDrive = std::make_unique<CWineDrive>('u', m_stick.Path(), uType);
        ASSERT_TRUE(m_pDrive->Defined());
    }

    std::string Args() const { return "/lang=1033 /host=\"" + m_host.Path() + "\" -doc=\"" + kDoc + "\""; }

    static void Write(const std::string& sPath, const std::string& sText = "data")
    {
        ASSERT_TRUE(testutil::WriteFileBytes(sPath, sText)) << sPath;
    }
    void WriteRows(const std::vector<FileRow>& rows)
    {
        for (const FileRow& r : rows)
            Write("U:\\" + r.sPath);
    }
    static void ExpectRows(const std::vector<FileRow>& rows, bool bProductGone)
    {
        for (const FileRow& r : rows) {
            SCOPED_TRACE(r.sPath);
            EXPECT_EQ(!(bProductGone && r.bProduct), testutil::FileExists("U:\\" + r.sPath));
        }
    }

    // Runs wfclean; the boxes that have buttons get the answers in turn (OK when they run out).
    CleanRun Run(const std::string& sArgs, std::vector<int> answers = {})
    {
        CleanRun run;
        size_t nLogStart = testutil::ReadFileOrEmpty(LogPath()).size();
        auto pState = std::make_shared<std::mutex>();
        auto pNext = std::make_shared<size_t>(0);
        CleanRun* pRun = &run;
        CUiDriver driver([=](const UiBox& box) {
            if (box.buttons.empty())
                return 0;   // the collection window
            std::lock_guard<std::mutex> lock(*pState);
            if (box.Text() == kRemoveDataText) {
                pRun->bU3ModeAtQuestion = U3ModeSignalled();
                pRun->sDocPathAtQuestion = DocPathValue();
            }
            std::string sShots = e2e::ShotFolder();
            if (!sShots.empty() && box.caption == kInstallTitle)
                e2e::SaveWindowShot(box.hwnd, sShots + "\\clean-erase-question.bmp");
            if (*pNext < answers.size() && box.HasButton(IDYES))
                return answers[(*pNext)++];
            return CUiDriver::PressDefault(box);
        });
        e2e::CChild child(e2e::StartProcess(m_sProgram, sArgs, m_host.Path()));
        EXPECT_TRUE(child);
        if (!child)
            return run;
        run.bEnded = e2e::WaitForExit(child.Get(), 60000);
        ::Sleep(100);   // the driver's last look
        std::lock_guard<std::mutex> lock(*pState);
        for (const UiBox& b : driver.Boxes())
            if (!b.buttons.empty())
                run.boxes.push_back(b);
        std::string sLog = testutil::ReadFileOrEmpty(LogPath());
        run.sLog = sLog.size() > nLogStart ? sLog.substr(nLogStart) : sLog;
        return run;
    }

    CTempDir m_stick;
    CTempDir m_host;
    std::unique_ptr<CWineDrive> m_pDrive;
    std::string m_sProgram;
};

// The data of the example: three identities, two keycards, no vaultnotes, an options file,
// beside files of other kinds, an emptied sub-folder and the drive's settings.
const std::vector<FileRow> kExampleRows = {
    {"Documents\\My Tessaly Data\\Default Profile\\Mine.tst", true},
    {"Documents\\My Tessaly Data\\Default Profile\\Work.TSC", true},
    {"Documents\\My Tessaly Data\\Default Profile\\old\\2019\\Former.tst", true},
    {"Documents\\My Tessaly Data\\Default Profile\\Bank.tsp", true},
    {"Documents\\My Tessaly Data\\Default Profile\\Shop.tsx", true},
    {"Documents\\My Tessaly Data\\Default Profile\\options.tso", true},
    {"Documents\\My Tessaly Data\\Default Profile\\holiday.jpg", false},
    {"Documents\\My Tessaly Data\\Default Profile\\options.ini", false},
    {"Documents\\letter.tst", false},   // outside the data folder
    {"Portable.ini", true},
};

TEST_F(WfClean, YesTwiceDeletesTheProductFilesAndTheDriveSettings)
{
    WriteRows(kExampleRows);
    CleanRun run = Run(Args(), {IDYES, IDYES});
    ASSERT_TRUE(run.bEnded);

    ASSERT_EQ(2u, run.boxes.size());
    EXPECT_EQ(kUninstallTitle, run.boxes[0].caption);
    EXPECT_EQ(kRemoveDataText, run.boxes[0].Text());
    EXPECT_TRUE(run.boxes[0].HasButton(IDYES) && run.boxes[0].HasButton(IDNO) && run.boxes[0].HasButton(IDCANCEL));
    EXPECT_EQ(kInstallTitle, run.boxes[1].caption);
    EXPECT_EQ(EraseQuestion(kRoot, 3, 2, 0, 1), run.boxes[1].Text());
    EXPECT_TRUE(run.boxes[1].HasButton(IDYES) && run.boxes[1].HasButton(IDNO) && run.boxes[1].HasButton(IDCANCEL));

    ExpectRows(kExampleRows, true);
    // Emptied folders go, innermost first; a folder that still holds something stays.
    EXPECT_FALSE(testutil::FolderExists(std::string(kProfile) + "\\old"));
    EXPECT_TRUE(testutil::FolderExists(kProfile));
    EXPECT_NE(std::string::npos, run.sLog.find("] Deleted U:\\Portable.ini\r\n"));
}

TEST_F(WfClean, AnEmptiedDataFolderGoesAltogether)
{
    Write(std::string(kProfile) + "\\Mine.tst");
    Write(std::string(kProfile) + "\\_gsdata_\\state.bin");
    CleanRun run = Run(Args(), {IDYES, IDYES});
    ASSERT_TRUE(run.bEnded);
    ASSERT_EQ(2u, run.boxes.size());
    EXPECT_EQ(EraseQuestion(kRoot, 1, 0, 0, 1), run.boxes[1].Text());
    EXPECT_FALSE(testutil::FolderExists(kRoot));
    EXPECT_TRUE(testutil::FolderExists(kDoc));
}

TEST_F(WfClean, AnyOtherAnswerDeletesNothing)
{
    struct Row {
        const char* pszName;
        std::vector<int> answers;
        size_t nBoxes;
    };
    static const Row kRows[] = {
        {"No at the first", {IDNO}, 1},
        {"Cancel at the first", {IDCANCEL}, 1},
        {"Yes, then No", {IDYES, IDNO}, 2},
        {"Yes, then Cancel", {IDYES, IDCANCEL}, 2},
    };
    WriteRows(kExampleRows);
    for (const Row& r : kRows) {
        SCOPED_TRACE(r.pszName);
        CleanRun run = Run(Args(), r.answers);
        ASSERT_TRUE(run.bEnded);
        EXPECT_EQ(r.nBoxes, run.boxes.size());
        ExpectRows(kExampleRows, false);
        EXPECT_EQ(std::string::npos, run.sLog.find("] Deleted "));
    }
}

TEST_F(WfClean, BadOptionsAreReportedAndNothingElseHappens)
{
    struct Row {
        const char* pszName;
        std::string sArgs;
    };
    const std::string sHost = "/host=\"" + m_host.Path() + "\"";
    const Row kRows[] = {
        {"no doc", "/lang=1033 " + sHost},
        {"empty doc", "/lang=1033 " + sHost + " /doc="},
        {"empty quoted doc", "/lang=1033 " + sHost + " /doc=\"\""},
        {"doc in capitals", "/lang=1033 " + sHost + " /DOC=U:\\Documents"},
        {"no lang", sHost + " /doc=U:\\Documents"},
        {"no host", "/lang=1033 /doc=U:\\Documents"},
        {"nothing", ""},
    };
    WriteRows(kExampleRows);
    for (const Row& r : kRows) {
        SCOPED_TRACE(r.pszName);
        CleanRun run = Run(r.sArgs, {IDYES, IDYES});
        ASSERT_TRUE(run.bEnded);
        EXPECT_EQ((std::vector<std::string>{std::string("Tessaly U3 Cleanup|") + kBadOptionsText}), run.Texts());
        EXPECT_TRUE(run.boxes.size() == 1 && run.boxes[0].HasButton(IDOK));
        ExpectRows(kExampleRows, false);
        EXPECT_EQ("<none>", DocPathValue());
    }
}

TEST_F(WfClean, WhatIsCollected)
{
    struct Row {
        const char* pszName;
        std::vector<FileRow> files;   // below the profile folder
        int counts[4];                // identities, keycards, vaultnotes, others; -1: no question
    };
    const Row kRows[] = {
        {"only other kinds: no question",
         {{"notes.txt", false}, {"photo.jpg", false}, {"options.ini", false}, {"tessaly.tso", false},
          {".tst", false}, {"keys.tsp.bak", false}},
         {-1, -1, -1, -1}},
        {"every kind of the table",
         {{"a.tst", true}, {"b.tsc", true}, {"c.tsp", true}, {"d.tsb", true}, {"e.TSX", true}, {"f.tsq", true},
          {"g.tsn", true}, {"smpenc.psw", true}, {"SmpEnc.tso", true}, {"Options.tso", true}, {"mru.tso", true},
          {"cache.tso", true}, {"TessalyDataHere.txt", true}, {"sub\\_file_state._gs", true},
          {"other.psw", false}, {"state._gs", false}, {"cache.txt", false}},
         {2, 4, 1, 7}},
        {"everything below the product's own folders",
         {{"_gsdata_\\any.bin", true}, {"_gsdata_\\readme.txt", true}, {"_sync.app\\x.dat", true},
          {"_syncapp\\y", true}, {"_gsdata_\\deeper\\w.bin", false}, {"my_syncapp_old\\v.bin", false}},
         {0, 0, 0, 4}},
        {"the product's folder names are case-sensitive", {{"_GSDATA_\\z.bin", false}, {"x.tst", true}}, {1, 0, 0, 0}},
        {"a file with an empty title stays",
         {{".tst", false}, {".tsn", false}, {"x.tst", true}},
         {1, 0, 0, 0}},
    };
    for (const Row& r : kRows) {
        SCOPED_TRACE(r.pszName);
        testutil::RemoveTree(std::string("U:\\Documents"));
        std::vector<FileRow> rows;
        for (const FileRow& f : r.files)
            rows.push_back({"Documents\\My Tessaly Data\\Default Profile\\" + f.sPath, f.bProduct});
        WriteRows(rows);

        CleanRun run = Run(Args(), {IDYES, IDYES});
        ASSERT_TRUE(run.bEnded);
        if (r.counts[0] < 0) {
            EXPECT_TRUE(run.boxes.empty());
            ExpectRows(rows, false);
            continue;
        }
        ASSERT_EQ(2u, run.boxes.size());
        EXPECT_EQ(EraseQuestion(kRoot, r.counts[0], r.counts[1], r.counts[2], r.counts[3]), run.boxes[1].Text());
        ExpectRows(rows, true);
    }
}

TEST_F(WfClean, AReadOnlyIdentityIsReportedAndKeepsItsFolder)
{
    const std::string sLocked = std::string(kProfile) + "\\kept\\Locked.tst";
    Write(sLocked);
    Write(std::string(kProfile) + "\\kept\\Other.tst");
    Write(std::string(kProfile) + "\\Mine.tst");
    ASSERT_TRUE(::SetFileAttributesA(sLocked.c_str(), FILE_ATTRIBUTE_READONLY));
    CleanRun run = Run(Args(), {IDYES, IDYES});
    ::SetFileAttributesA(sLocked.c_str(), FILE_ATTRIBUTE_NORMAL);
    ASSERT_TRUE(run.bEnded);

    ASSERT_EQ(3u, run.boxes.size());
    EXPECT_EQ(EraseQuestion(kRoot, 3, 0, 0, 0), run.boxes[1].Text());
    EXPECT_EQ(std::string(kUninstallTitle) + "|Tessaly has been uninstalled, but\nthese files and folders could not be "
                                             "deleted:\n" + sLocked + "\n",
              run.Texts()[2]);
    EXPECT_TRUE(run.boxes[2].HasButton(IDOK));
    EXPECT_TRUE(testutil::FileExists(sLocked));
    EXPECT_FALSE(testutil::FileExists(std::string(kProfile) + "\\kept\\Other.tst"));
    EXPECT_FALSE(testutil::FileExists(std::string(kProfile) + "\\Mine.tst"));
    EXPECT_TRUE(testutil::FolderExists(std::string(kProfile) + "\\kept"));
}

TEST_F(WfClean, ALinkInTheDataFolderLeadsNowhere)
{
    CTempDir outside;
    Write(outside / "Victim.tst", "keep me");
    Write(outside / "options.tso", "keep me too");
    Write(outside / "_gsdata_\\state.bin", "and me");
    Write(std::string(kProfile) + "\\Mine.tst");
    const std::string sLink = std::string(kProfile) + "\\_gsdata_";
    ASSERT_TRUE(testutil::MakeFolderLink(sLink, outside.Path()));

    CleanRun run = Run(Args(), {IDYES, IDYES});
    ASSERT_TRUE(run.bEnded);
    ASSERT_EQ(2u, run.boxes.size());
    EXPECT_EQ(EraseQuestion(kRoot, 1, 0, 0, 0), run.boxes[1].Text());
    EXPECT_EQ("keep me", testutil::ReadFileOrEmpty(outside / "Victim.tst"));
    EXPECT_EQ("keep me too", testutil::ReadFileOrEmpty(outside / "options.tso"));
    EXPECT_EQ("and me", testutil::ReadFileOrEmpty(outside / "_gsdata_\\state.bin"));
    EXPECT_FALSE(testutil::FileExists(std::string(kProfile) + "\\Mine.tst"));
    testutil::RemoveFolderLink(sLink);
}

TEST_F(WfClean, ARefusedRootIsLoggedAndNothingIsAskedOrDeleted)
{
    struct Row {
        const char* pszName;
        UINT uDriveType;
        const char* pszIni;   // the drive's settings
        std::string sLine;
    };
    const Row kRows[] = {
        {"a fixed disk", DRIVE_FIXED, "[Path]\r\n",
         std::string("] Data folder not cleaned up: ") + kRoot + " (on a fixed disk)\r\n"},
        {"the drive root as data folder", DRIVE_REMOVABLE, "[Path]\r\nDataPath=\\\r\n",
         "] Data folder not cleaned up: U:\\ (a drive root)\r\n"},
    };
    WriteRows(kExampleRows);
    Write("U:\\Documents\\Mine.tst");
    for (const Row& r : kRows) {
        SCOPED_TRACE(r.pszName);
        DefineDrive(r.uDriveType);
        Write("U:\\Portable.ini", r.pszIni);
        CleanRun run = Run(Args(), {IDYES, IDYES});
        ASSERT_TRUE(run.bEnded);
        EXPECT_TRUE(run.boxes.empty());
        ExpectRows(kExampleRows, false);
        EXPECT_TRUE(testutil::FileExists("U:\\Documents\\Mine.tst"));
        EXPECT_NE(std::string::npos, run.sLog.find(r.sLine)) << run.sLog;
    }
}

TEST_F(WfClean, ClosesTheTrayAndKeepsU3ModeOnlyWhileItWorks)
{
    const std::string sTray = m_host / "TessTaskBarIcon.exe";
    ASSERT_TRUE(::CopyFileA(e2e::StandInPath("TessTaskBarIcon").c_str(), sTray.c_str(), FALSE));
    e2e::CChild tray(e2e::StartProcess(sTray, "", m_host.Path()));
    ASSERT_TRUE(tray);
    ASSERT_NE(nullptr, e2e::WaitForWatcher(10000));
    ASSERT_FALSE(U3ModeSignalled());

    WriteRows(kExampleRows);
    CleanRun run = Run(Args(), {IDNO});
    ASSERT_TRUE(run.bEnded);
    ASSERT_EQ(1u, run.boxes.size());
    EXPECT_TRUE(e2e::WaitForRecord(sTray, "close", 10000));
    EXPECT_TRUE(e2e::WaitForExit(tray.Get(), 10000));

    EXPECT_TRUE(run.bU3ModeAtQuestion);
    EXPECT_EQ(kDoc, run.sDocPathAtQuestion);
    EXPECT_FALSE(U3ModeSignalled());
    EXPECT_EQ("<none>", DocPathValue());
}

TEST(WfCleanProgram, CarriesItsManifestVersionAndIcon)
{
    const std::string sProgram = e2e::BuildFolder() + "\\cleanup\\wfclean.exe";
    VS_FIXEDFILEINFO fixed = {};
    ASSERT_TRUE(ReadFileVersionInfo(sProgram.c_str(), &fixed, nullptr, nullptr, nullptr));
    EXPECT_EQ(static_cast<DWORD>(MAKELONG(10, 6)), fixed.dwFileVersionMS);
    EXPECT_EQ(static_cast<DWORD>(MAKELONG(0, 2)), fixed.dwFileVersionLS);
    EXPECT_EQ(static_cast<DWORD>(MAKELONG(10, 6)), fixed.dwProductVersionMS);

    HMODULE hModule = ::LoadLibraryExA(sProgram.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, hModule);
    EXPECT_NE(nullptr, ::FindResourceA(hModule, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24)));   // the manifest
    EXPECT_NE(nullptr, ::LoadImageA(hModule, MAKEINTRESOURCEA(IDR_MAINFRAME), IMAGE_ICON, 32, 32, 0));
    ::FreeLibrary(hModule);
}

}  // namespace
