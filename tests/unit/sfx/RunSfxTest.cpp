#include "SfxTestSupport.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "resources/resource.h"

#include "sfx/RunSfx.h"
#include "sfx/SetupProgressDialog.h"
#include "sfx/format/SfxBlock.h"

using Strings = std::vector<std::string>;

namespace {

const SfxRunParams kHidden = {1, 0, 0, 1, 0};

const std::vector<FilePackItem> kProgram = {{"TessTaskBarIcon.exe", "MZ tray program"}, {"bin\\helper.dll", "MZ dll"}};
const std::vector<FilePackItem> kLangs = {{"de-German.lng", "Hallo"}};
const std::vector<FilePackItem> kConfig = {{"custom.cfg", "custom=1"}};
const std::vector<FilePackItem> kPortable = {{"portable.ini", "[Path]"}};

// The browser component's version value, set for one test and put back afterwards.
class CIeVersion {
public:
    CIeVersion()
    {
        m_bHad = Read(m_sOld);
    }
    ~CIeVersion()
    {
        if (m_bHad)
            Set(m_sOld.c_str());
        else
            Set(nullptr);
    }
    static bool Read(std::string& s)
    {
        char sz[256] = "";
        DWORD cb = sizeof(sz);
        if (::RegGetValueA(HKEY_LOCAL_MACHINE, kKey, "Version", RRF_RT_REG_SZ, nullptr, sz, &cb) != ERROR_SUCCESS)
            return false;
        s = sz;
        return true;
    }
    static void Set(const char* pszValue)
    {
        HKEY hKey;
        ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &hKey,
                                                   nullptr));
        if (pszValue)
            ::RegSetValueExA(hKey, "Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(pszValue),
                             static_cast<DWORD>(strlen(pszValue) + 1));
        else
            ::RegDeleteValueA(hKey, "Version");
        ::RegCloseKey(hKey);
    }
private:
    static constexpr const char* kKey = "Software\\Microsoft\\Internet Explorer";
    bool m_bHad = false;
    std::string m_sOld;
};

class RunSfxTest : public SfxTest {
protected:
    void SetUp() override
    {
        SfxTest::SetUp();
        testutil::CreateFolders(Temp());
    }
    std::string Host() const { return m_dir / "host"; }
    std::string Temp() const { return m_dir / "tmp"; }
    std::string CmdLine() const { return "/unpack=\"" + Host() + "\" /temp=\"" + Temp() + "\\\""; }

    LONG Run(const std::vector<BlockSpec>& blocks, const std::string& sCmdLine, const SfxRunParams& params = kHidden)
    {
        std::string sPackage = WritePackage("AiTessaly-Portable.bin", blocks);
        return RunSfx(sCmdLine.c_str(), &params, sPackage.c_str());
    }
    // The run's own log lines: no per-file lines, no block-walk lines.
    Strings RunLines() const
    {
        Strings out;
        for (const std::string& s : LogLines())
            if (s.find("] Unpacked ") == std::string::npos && s.find("] TestSFX") == std::string::npos &&
                s.find("] ForEachFile()") == std::string::npos)
                out.push_back(s);
        return out;
    }
    static std::string Hex(DWORD dw)
    {
        char sz[16];
        wsprintfA(sz, "%lX", dw);
        return sz;
    }
    // The admin line, its code being the system version word as the older API gives it.
    static std::string AdminLine()
    {
        DWORD dwVersion = ::GetVersion();
        DWORD dwWord = LOBYTE(LOWORD(dwVersion)) * 256u + HIBYTE(LOWORD(dwVersion));
        bool bAdmin = false;
        IsUserAdmin(&bAdmin);
        return "[" + Hex(dwWord) + "] Admin rights -  " + (bAdmin ? "YES" : "NO");
    }
    Strings Preamble(const std::string& sUnpack) const
    {
        std::string sIe;
        Strings lines;
        if (CIeVersion::Read(sIe))
            lines.push_back("[0] IE " + sIe);
        lines.push_back(AdminLine());
        lines.push_back("[0] RunSfx() - START ");
        lines.push_back("[0] GetTempPath:  " + Temp());
        if (sUnpack == Temp())
            lines.push_back("[0] Bad Unpack path! Will use TEMP folder ");
        lines.push_back("[0] Unpack path " + sUnpack);
        return lines;
    }
};

}  // namespace

TEST_F(RunSfxTest, UnpacksEveryBlockOfAPortablePackage)
{
    ASSERT_EQ(0, Run({{"tessaly", kProgram}, {"langs", kLangs}, {"config", kConfig}, BlockSpec::Raw("affid", "42"),
                      {"portable", kPortable}},
                     CmdLine()));
    EXPECT_EQ((Strings{"TessTaskBarIcon.exe", "_ts_unpack.lst", "affid.txt", "bin\\", "bin\\helper.dll", "custom.cfg",
                       "de-German.lng", "portable.ini"}),
              Tree(Host()));
    EXPECT_EQ("42", testutil::ReadFileOrEmpty(Host() + "\\affid.txt"));
    Strings expected = Preamble(Host());
    for (const char* psz : {"[0] UnpackSFX()  tessaly", "[0]  ... Unpacked to #", "[0] UnpackSFX()  langs",
                            "[0]  ... Unpacked to #", "[0] MULTILANGUAGE Ver ", "[0] UnpackSFX()  config",
                            "[0]  ... Unpacked to #", "[0] Custom Config Ver ", "[0] SaveSFX()  affid",
                            "[0]  ... saved to  #\\affid.txt", "[0] PORTABLE Ver ", "[0] UnpackSFX()  portable",
                            "[0]  ... Unpacked to #"}) {
        std::string s = psz;
        size_t n = s.find('#');
        expected.push_back(n == std::string::npos ? s : s.replace(n, 1, Host()));
    }
    EXPECT_EQ(expected, RunLines());
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(RunSfxTest, OptionalBlocksAndEditions)
{
    struct Case {
        const char* pszWhat;
        std::vector<BlockSpec> blocks;
        DWORD dwForceFixed;
        Strings mustLog;
        Strings mustNotLog;
        Strings tree;
    };
    const Case kCases[] = {
        {"program block only", {{"tessaly", kProgram}}, 0,
         {"[0] ENGLISH Ver ", "[0] Ordinary Configuration ", "[0] Err open  affid", "[0] FIXED Ver "},
         {"[0] UnpackSFX()  config"},
         {"TessTaskBarIcon.exe", "_ts_unpack.lst", "bin\\", "bin\\helper.dll"}},
        {"empty configuration block", {{"tessaly", kProgram}, BlockSpec::Raw("config", "")}, 0,
         {"[0] Ordinary Configuration "},
         {"[0] UnpackSFX()  config"},
         {"TessTaskBarIcon.exe", "_ts_unpack.lst", "bin\\", "bin\\helper.dll"}},
        {"portable block ignored when forced fixed", {{"tessaly", kProgram}, {"portable", kPortable}}, 1,
         {"[0] FORCE FIXED Ver "},
         {"[0] PORTABLE Ver ", "[0] UnpackSFX()  portable"},
         {"TessTaskBarIcon.exe", "_ts_unpack.lst", "bin\\", "bin\\helper.dll"}},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.pszWhat);
        testutil::RemoveTree(Host());
        MarkLog();
        SfxRunParams params = kHidden;
        params.dwForceFixed = c.dwForceFixed;
        EXPECT_EQ(0, Run(c.blocks, CmdLine(), params));
        for (const std::string& s : c.mustLog)
            EXPECT_TRUE(LogHas(s)) << s;
        for (const std::string& s : c.mustNotLog)
            EXPECT_FALSE(LogHas(s)) << s;
        EXPECT_EQ(c.tree, Tree(Host()));
        EXPECT_TRUE(Boxes().empty());
    }
}

TEST_F(RunSfxTest, FailingLanguageOrConfigurationBlockIsReportedAndTheRunGoesOn)
{
    std::string sPack = PackBytes({{"bad.cfg", "config"}});
    sPack[sPack.size() - 1] ^= 1;   // its CRC
    EXPECT_EQ(0, Run({{"tessaly", kProgram}, CompressedBlock("config", sPack)}, CmdLine()));
    Strings boxes = BoxTexts(3);
    ASSERT_EQ(3u, boxes.size());
    EXPECT_EQ(SetupErrorBox("CRC Error in file ", "bad.cfg"), boxes[0]);
    EXPECT_TRUE(LogHas("[0] Ordinary Configuration "));
    EXPECT_EQ("MZ tray program", testutil::ReadFileOrEmpty(Host() + "\\TessTaskBarIcon.exe"));
}

TEST_F(RunSfxTest, FailingProgramBlockRemovesTheUnpackFolder)
{
    std::string sPack = PackBytes(kProgram);
    sPack[sPack.size() - 1] ^= 1;
    LONG r = Run({CompressedBlock("tessaly", sPack), {"langs", kLangs}}, CmdLine());
    EXPECT_EQ(kSfxFail, r);
    Strings boxes = BoxTexts(4);
    ASSERT_EQ(4u, boxes.size());
    EXPECT_EQ(SetupErrorBox("CRC Error in file ", "bin\\helper.dll"), boxes[0]);
    EXPECT_EQ(SetupErrorBox("Can't unpack tessaly.bin to ", Host().c_str(), kSfxFail), boxes[3]);
    EXPECT_FALSE(testutil::FolderExists(Host()));
    EXPECT_TRUE(LogHas("[0] Cleanup folder  " + Host()));
    EXPECT_FALSE(LogHas("[0] UnpackSFX()  langs"));
}

TEST_F(RunSfxTest, FailingProgramBlockLeavesWhatWasInTheFolderBefore)
{
    // The unpack folder is one of the user's, holding files and a folder of theirs; an
    // earlier run's program files are there too, listed in its record.
    ASSERT_TRUE(testutil::WriteFileBytes(Host() + "\\users-own.doc", "mine"));
    ASSERT_TRUE(testutil::WriteFileBytes(Host() + "\\bin\\notes.txt", "mine too"));
    ASSERT_TRUE(testutil::WriteFileBytes(Host() + "\\old.dll", "an earlier run's"));
    ASSERT_TRUE(testutil::WriteFileBytes(Host() + "\\_ts_unpack.lst", "old.dll\r\n"));
    std::string sPack = PackBytes({{"TessTaskBarIcon.exe", "MZ"}, {"bin\\helper.dll", "MZ dll"}, {"bin\\new\\x.dll", "x"}});
    sPack[sPack.size() - 1] ^= 1;
    EXPECT_EQ(kSfxFail, Run({CompressedBlock("tessaly", sPack)}, CmdLine()));
    EXPECT_EQ(SetupErrorBox("Can't unpack tessaly.bin to ", Host().c_str(), kSfxFail), BoxTexts(4).at(3));
    EXPECT_EQ((Strings{"bin\\", "bin\\notes.txt", "users-own.doc"}), Tree(Host()));
    EXPECT_TRUE(LogHas("[0] Cleanup folder  " + Host()));
}

TEST_F(RunSfxTest, WithoutUnpackFolderTheTemporaryFolderIsUsedAndOnlyOurFilesLeaveIt)
{
    ASSERT_TRUE(testutil::WriteFileBytes(Temp() + "\\users-own.doc", "not ours"));
    for (const std::string& sCmd : {"/temp=\"" + Temp() + "\"", "/unpack=\"\" /temp=" + Temp()}) {
        SCOPED_TRACE(sCmd);
        m_pUi->Clear();
        EXPECT_EQ(0, Run({{"tessaly", kProgram}}, sCmd));
        EXPECT_EQ((Strings{"TessTaskBarIcon.exe", "_ts_unpack.lst", "bin\\", "bin\\helper.dll", "users-own.doc"}),
                  Tree(Temp()));
        EXPECT_TRUE(LogHas("[0] Bad Unpack path! Will use TEMP folder "));

        std::string sPack = PackBytes(kProgram);
        sPack[sPack.size() - 1] ^= 1;
        EXPECT_EQ(kSfxFail, Run({CompressedBlock("tessaly", sPack)}, sCmd));
        EXPECT_EQ(SetupErrorBox("Can't unpack tessaly.bin to ", Temp().c_str(), kSfxFail), BoxTexts(4).at(3));
        EXPECT_EQ((Strings{"users-own.doc"}), Tree(Temp()));
        EXPECT_TRUE(testutil::FolderExists(Temp()));
    }
}

TEST_F(RunSfxTest, RunsThatDoNotGetToExtracting)
{
    std::string sPackage = BuildPackage({{"tessaly", kProgram}, {"langs", kLangs}});
    std::string sDamaged = sPackage;
    sDamaged[sDamaged.size() - 3] ^= 1;   // inside the last block: the whole chain is checked first
    std::string sPackagePath = m_dir / "AiTessaly-Portable.bin";
    std::string sTooLong = std::string(260, 'u');
    struct Case {
        const char* pszWhat;
        std::string sPackageBytes;   // empty: no package file
        std::string sCmdLine;
        std::string sBox;
    };
    const Case kCases[] = {
        {"package missing", "", CmdLine(), SetupErrorBox("Can't extract from SFX ", sPackagePath.c_str(), ERROR_FILE_NOT_FOUND)},
        {"block CRC wrong", sDamaged, CmdLine(), SetupErrorBox("Corrupted Setup File ", sPackagePath.c_str())},
        {"unpack path too long", sPackage, "/unpack=" + sTooLong, SetupErrorBox("Unpack path too long ", sTooLong.c_str())},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.pszWhat);
        m_pUi->Clear();
        ::DeleteFileA(sPackagePath.c_str());
        if (!c.sPackageBytes.empty())
            testutil::WriteFileBytes(sPackagePath, c.sPackageBytes);
        EXPECT_EQ(-1, RunSfx(c.sCmdLine.c_str(), &kHidden, sPackagePath.c_str()));
        EXPECT_EQ(Strings{c.sBox}, BoxTexts(1));
        EXPECT_FALSE(testutil::FolderExists(Host()));
    }
}

TEST_F(RunSfxTest, BrowserComponentOlderThanVersion5StopsTheRun)
{
    CIeVersion restore;
    struct Case {
        const char* pszVersion;   // null: no value
        bool bRuns;
    };
    const Case kCases[] = {{"4.72.3110.0", false}, {"9.11.9600.18376", true}, {nullptr, true}, {"", false}};
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.pszVersion ? c.pszVersion : "(none)");
        m_pUi->Clear();
        testutil::RemoveTree(Host());
        CIeVersion::Set(c.pszVersion);
        LONG r = Run({{"tessaly", kProgram}}, CmdLine());
        if (c.bRuns) {
            EXPECT_EQ(0, r);
            EXPECT_TRUE(Boxes().empty());
        } else {
            EXPECT_EQ(-1, r);
            EXPECT_EQ((Strings{SetupErrorBox(
                          "Tessaly requires Internet Explorer 5.0 or higher. Please, update IE and run Setup again.",
                          c.pszVersion)}),
                      BoxTexts(1));
            EXPECT_FALSE(testutil::FolderExists(Host()));
        }
    }
}

TEST_F(RunSfxTest, ProgressWindowIsShownPumpedAndDestroyed)
{
    ::PostQuitMessage(7);   // the caller's quit request survives the run's message pumping
    SfxRunParams shown = kHidden;
    shown.dwHideDialog = 0;
    EXPECT_EQ(0, Run({{"tessaly", kProgram}}, CmdLine(), shown));
    MSG msg;
    ASSERT_TRUE(::PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(7u, msg.wParam);
    EXPECT_EQ(nullptr, ::FindWindowA(nullptr, "Tessaly Setup"));
}

TEST(SetupProgressDialog, TemplateRangeAndPlace)
{
    CSetupProgressDialog dialog;
    ASSERT_TRUE(dialog.Create(nullptr));
    HWND hWnd = dialog.GetSafeHwnd();
    char szCaption[64] = "";
    ::GetWindowTextA(hWnd, szCaption, sizeof(szCaption));
    EXPECT_STREQ("Tessaly Setup", szCaption);
    EXPECT_TRUE(::GetWindowLongA(hWnd, GWL_EXSTYLE) & WS_EX_TOOLWINDOW);
    EXPECT_FALSE(::IsWindowVisible(hWnd));   // the run decides when to show it

    // The template's control numbers are fixed: 1006 the bar, 1007 the status line.
    HWND hBar = ::GetDlgItem(hWnd, 1006);
    char szClass[64] = "";
    ::GetClassNameA(hBar, szClass, sizeof(szClass));
    EXPECT_STREQ("msctls_progress32", szClass);
    PBRANGE range = {};
    ::SendMessageA(hBar, PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&range));
    EXPECT_EQ(0, range.iLow);
    EXPECT_EQ(1000, range.iHigh);
    dialog.SetProgress(400);
    EXPECT_EQ(400, static_cast<int>(::SendMessageA(hBar, PBM_GETPOS, 0, 0)));
    dialog.SetStatus("Extracting Program Files...");
    ::GetDlgItemTextA(hWnd, 1007, szCaption, sizeof(szCaption));
    EXPECT_STREQ("Extracting Program Files...", szCaption);

    RECT rcWork, rc, rcClient = {0, 0, 185, 39};
    ::SystemParametersInfoA(SPI_GETWORKAREA, 0, &rcWork, 0);
    ::GetWindowRect(hWnd, &rc);
    ::MapDialogRect(hWnd, &rcClient);
    RECT rcInner;
    ::GetClientRect(hWnd, &rcInner);
    EXPECT_EQ(rcClient.right, rcInner.right);
    EXPECT_EQ(rcClient.bottom, rcInner.bottom);
    EXPECT_LE(std::abs((rc.left + rc.right) - (rcWork.left + rcWork.right)), 1);
    EXPECT_LE(std::abs((rc.top + rc.bottom) - (rcWork.top + rcWork.bottom)), 1);

    // A window that would stick out is pushed back inside the work area.
    ::SetWindowPos(hWnd, nullptr, 0, 0, rcWork.right - rcWork.left + 100, 50, SWP_NOZORDER | SWP_NOMOVE);
    CenterOnWorkArea(hWnd);
    ::GetWindowRect(hWnd, &rc);
    EXPECT_EQ(rcWork.left, rc.left);
    dialog.DestroyWindow();
    EXPECT_FALSE(::IsWindow(hWnd));
}

TEST(SetupRunFacts, AdministratorsAndVersionWord)
{
    bool bAdmin = false;
    EXPECT_TRUE(IsUserAdmin(&bAdmin));
    EXPECT_TRUE(bAdmin);   // Wine runs every user as an administrator
    EXPECT_FALSE(IsUserAdmin(nullptr));
    DWORD dwVersion = ::GetVersion();
    EXPECT_EQ(LOBYTE(LOWORD(dwVersion)) * 256u + HIBYTE(LOWORD(dwVersion)), GetOsVersionWord());
}

TEST(SetupRunFacts, DisposableUnpackFolders)
{
    struct Case {
        const char* pszFolder;
        bool bDisposable;
    };
    const char* pszTemp = "C:\\Users\\me\\AppData\\Local\\Temp";
    const Case kCases[] = {
        {"C:\\Users\\me\\AppData\\Local\\Temp\\Tessaly", true},
        {"C:\\Users\\me\\AppData\\Roaming\\Tessaly", true},
        {"C:\\Users\\me\\AppData\\Local\\Temp", false},
        {"c:\\users\\ME\\appdata\\local\\temp\\", false},
        {"C:\\Users\\me\\AppData", false},
        {"C:\\", false},
        {"C:", false},
        {"\\\\server\\share", false},
        {"\\\\server\\share\\Tessaly", true},
        {"", false},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.pszFolder);
        EXPECT_EQ(c.bDisposable, IsDisposableUnpackFolder(c.pszFolder, pszTemp));
    }
}
