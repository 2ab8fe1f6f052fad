#include "SfxTestSupport.h"

#include "Strings/TsSafeFs.h"
#include "sfx/MappedFile.h"
#include "sfx/UnpackRecord.h"
#include "sfx/UnpackSFX.h"

using Strings = std::vector<std::string>;

namespace {

const std::vector<FilePackItem> kProgram = {
    {"TessTaskBarIcon.exe", "MZ tray"},
    {"sub\\lib.dll", "MZ lib"},
    {"sub\\dir\\deep\\file.txt", "nested"},
    {"Firefox\\components\\tess.js", "js"},
};

// Reads a file that another handle holds open for writing.
std::string ReadShared(const std::string& sPath)
{
    HANDLE h = ::CreateFileA(sPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return "(cannot open)";
    std::string s(65536, '\0');
    DWORD dwRead = 0;
    ::ReadFile(h, &s[0], static_cast<DWORD>(s.size()), &dwRead, nullptr);
    ::CloseHandle(h);
    s.resize(dwRead);
    return s;
}

class UnpackRecordTest : public SfxTest {
protected:
    std::string Out() const { return m_dir / "Documents\\Tessaly"; }
    std::string Record() const { return Out() + "\\_ts_unpack.lst"; }
    SfxStatus Unpack(const std::vector<BlockSpec>& blocks, const char* pszBlock = "tessaly")
    {
        std::string sPackage = WritePackage("pkg.bin", blocks);
        testutil::CreateFolders(Out());
        CMappedFile package;
        EXPECT_TRUE(package.Open(sPackage.c_str(), GENERIC_READ, OPEN_EXISTING));
        return UnpackSFX(package, pszBlock, Out().c_str());
    }
    // The user's own things in the folder before any unpack.
    void PutUsersFiles()
    {
        ASSERT_TRUE(testutil::WriteFileBytes(Out() + "\\users-own.doc", "mine"));
        ASSERT_TRUE(testutil::WriteFileBytes(Out() + "\\sub\\notes.txt", "mine too"));   // "sub" exists before
    }
    const Strings kUsersTree = {"sub\\", "sub\\notes.txt", "users-own.doc"};
};

}  // namespace

TEST_F(UnpackRecordTest, ListsWhatTheUnpackCreatedAsItGoes)
{
    PutUsersFiles();
    // While the box about the damaged third file is up, the unpack is stopped in the middle:
    // the record must already list the files and folders made so far.
    std::string sSeen;
    m_pUi->SetResponder([&](const UiBox& box) {
        if (box.Text().find("CRC Error") != std::string::npos)
            sSeen = ReadShared(Record());
        return CUiDriver::PressDefault(box);
    });
    std::string sPack = PackBytes(kProgram);
    sPack[sPack.size() - 4 - 2 - 4 - 6] ^= 1;   // inside file.txt's content
    EXPECT_EQ(kSfxFail, Unpack({CompressedBlock("tessaly", sPack)}));
    ASSERT_EQ(3u, BoxTexts(3).size());
    // "sub" was there already: only the folders the unpack made are listed.
    EXPECT_EQ("TessTaskBarIcon.exe\r\nsub\\lib.dll\r\nsub\\dir\\\r\nsub\\dir\\deep\\\r\nsub\\dir\\deep\\file.txt\r\n", sSeen);

    // A second block, and a later run, add to the record; nothing is listed twice.
    m_pUi->Clear();
    ASSERT_EQ(kSfxOk, Unpack({{"langs", {{"de-German.lng", "Hallo"}}}}, "langs"));
    ASSERT_EQ(kSfxOk, Unpack({{"tessaly", kProgram}}));
    EXPECT_EQ("TessTaskBarIcon.exe\r\nsub\\lib.dll\r\nsub\\dir\\\r\nsub\\dir\\deep\\\r\nsub\\dir\\deep\\file.txt\r\n"
              "de-German.lng\r\nFirefox\\\r\nFirefox\\components\\\r\nFirefox\\components\\tess.js\r\n",
              testutil::ReadFileOrEmpty(Record()));
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(UnpackRecordTest, LineCutOffByACrashNeverBecomesAnEntry)
{
    // "users-own" is a whole name of the user's; a crash left it as an unfinished line.
    PutUsersFiles();
    ASSERT_TRUE(testutil::WriteFileBytes(Record(), "TessTaskBarIcon.exe\r\nusers-own.doc"));
    ASSERT_EQ(kSfxOk, Unpack({{"tessaly", {{"new.dll", "MZ"}}}}));
    EXPECT_EQ("TessTaskBarIcon.exe\r\nusers-own.doc:\r\nnew.dll\r\n", testutil::ReadFileOrEmpty(Record()));
    EXPECT_TRUE(RemoveRecordedFiles(Out().c_str()));
    EXPECT_EQ(kUsersTree, Tree(Out()));
}

TEST_F(UnpackRecordTest, PackCannotOverwriteTheRecord)
{
    EXPECT_EQ(kSfxFail, Unpack({{"tessaly", {{"a.txt", "a"}, {"_TS_UNPACK.LST", "..\\victim.txt\r\n"}}}}));
    EXPECT_EQ(SetupErrorBox("Unsafe file name in package ", "_TS_UNPACK.LST"), BoxTexts(3).at(0));
    EXPECT_EQ("a.txt\r\n", testutil::ReadFileOrEmpty(Record()));
}

TEST(ParseUnpackRecord, TakesOnlySafeNamesOfEndedLines)
{
    Strings files, folders;
    ParseUnpackRecord("a.txt\r\nsub\\\r\nsub\\b.dll\n..\\x\r\nC:\\x\r\n\\x\r\n\\\\server\\share\\x\r\nsub\\..\\..\\x\r\n"
                      "sub\\\\x\r\n\r\nCON\r\nfile:stream\r\n..\\\r\nC:\\\r\n\\\r\ncut off",
                      files, folders);
    EXPECT_EQ((Strings{"a.txt", "sub\\b.dll"}), files);
    EXPECT_EQ((Strings{"sub"}), folders);
    const char kWithZero[] = "ok\r\nnul\0l\r\n";
    ParseUnpackRecord(std::string(kWithZero, sizeof(kWithZero) - 1), files, folders);
    EXPECT_EQ((Strings{"ok"}), files);
}

TEST_F(UnpackRecordTest, RemovesWhatTheUnpackWroteAndLeavesTheUsersFiles)
{
    PutUsersFiles();
    ASSERT_EQ(kSfxOk, Unpack({{"tessaly", kProgram}}));
    ASSERT_EQ(kSfxOk, Unpack({{"langs", {{"de-German.lng", "Hallo"}}}}, "langs"));
    ASSERT_TRUE(testutil::WriteFileBytes(Out() + "\\sub\\dir\\later.txt", "the user's, put there later"));
    MarkLog();
    // A folder the unpack made that now holds a file of the user's stays, with the folders
    // above it; the record stays to say what is still ours.
    EXPECT_FALSE(RemoveRecordedFiles(Out().c_str()));
    EXPECT_EQ((Strings{"_ts_unpack.lst", "sub\\", "sub\\dir\\", "sub\\dir\\later.txt", "sub\\notes.txt", "users-own.doc"}),
              Tree(Out()));
    EXPECT_TRUE(LogHas("[91] Can't remove unpacked folder  " + Out() + "\\sub\\dir"));

    ::DeleteFileA((Out() + "\\sub\\dir\\later.txt").c_str());
    EXPECT_TRUE(RemoveRecordedFiles(Out().c_str()));
    EXPECT_EQ(kUsersTree, Tree(Out()));
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(UnpackRecordTest, DoctoredRecordReachesNothingOutside)
{
    std::string sVictim = m_dir / "victim.txt";
    ASSERT_TRUE(testutil::WriteFileBytes(sVictim, "outside"));
    ASSERT_TRUE(testutil::WriteFileBytes(m_dir / "Documents\\victim.txt", "outside too"));
    ASSERT_TRUE(testutil::WriteFileBytes(Out() + "\\ours.dll", "MZ"));
    std::string sRecord = "ours.dll\r\n..\\victim.txt\r\n..\\..\\victim.txt\r\n" + sVictim + "\r\n" +
                          sVictim.substr(2) + "\r\n\\\\?\\" + sVictim + "\r\nsub\\..\\..\\victim.txt\r\n..\\\r\n";
    ASSERT_TRUE(testutil::WriteFileBytes(Record(), sRecord));
    EXPECT_TRUE(RemoveRecordedFiles(Out().c_str()));
    EXPECT_EQ("outside", testutil::ReadFileOrEmpty(sVictim));
    EXPECT_EQ("outside too", testutil::ReadFileOrEmpty(m_dir / "Documents\\victim.txt"));
    EXPECT_TRUE(Tree(Out()).empty());
    EXPECT_TRUE(testutil::FolderExists(Out()));
}

TEST_F(UnpackRecordTest, LinksAreRemovedAsLinksOnly)
{
    std::string sOutside = m_dir / "outside";
    ASSERT_TRUE(testutil::WriteFileBytes(sOutside + "\\lib.dll", "not ours"));
    ASSERT_TRUE(testutil::WriteFileBytes(sOutside + "\\dir\\deep\\file.txt", "not ours either"));
    const Strings kOutside = {"dir\\", "dir\\deep\\", "dir\\deep\\file.txt", "lib.dll"};
    ASSERT_EQ(kSfxOk, Unpack({{"tessaly", kProgram}}));
    // Our folder "sub" is swapped for a link to a folder that holds files of the same names.
    testutil::RemoveTree(Out() + "\\sub");
    ASSERT_TRUE(MakeFolderLink(Out() + "\\sub", sOutside));
    // The files listed below "sub" cannot be reached but through the link, which goes as a
    // link: they count as gone with it, and so does the record.
    bool bRemoved = RemoveRecordedFiles(Out().c_str());
    EXPECT_EQ(kOutside, Tree(sOutside));
    // Windows removes the link itself; Wine can open a symbolic link only by following it,
    // and then the link stays, and the record with it.
    bool bLinkGone = ::GetFileAttributesA((Out() + "\\sub").c_str()) == INVALID_FILE_ATTRIBUTES;
    EXPECT_EQ(bLinkGone, bRemoved);
    EXPECT_EQ(bLinkGone ? Strings{} : (Strings{"_ts_unpack.lst", "sub"}), Tree(Out()));
    if (!bLinkGone)
        RemoveFolderLink(Out() + "\\sub");

    // A link in the place of a folder that was there before the unpack (not ours to remove)
    // keeps what the record lists behind it listed.
    PutUsersFiles();
    ASSERT_EQ(kSfxOk, Unpack({{"tessaly", {{"sub\\lib.dll", "MZ lib"}}}}));
    testutil::RemoveTree(Out() + "\\sub");
    ASSERT_TRUE(MakeFolderLink(Out() + "\\sub", sOutside));
    MarkLog();
    EXPECT_FALSE(RemoveRecordedFiles(Out().c_str()));
    EXPECT_TRUE(LogHas("[781] Can't reach unpacked file behind a link  " + Out() + "\\sub\\lib.dll"));
    EXPECT_EQ(kOutside, Tree(sOutside));
    EXPECT_TRUE(testutil::FileExists(Record()));
    RemoveFolderLink(Out() + "\\sub");

    // The unpack folder itself a link: nothing is removed through it.
    std::string sLinked = m_dir / "linked";
    ASSERT_TRUE(testutil::WriteFileBytes(sOutside + "\\_ts_unpack.lst", "lib.dll\r\n"));
    ASSERT_TRUE(MakeFolderLink(sLinked, sOutside));
    EXPECT_FALSE(RemoveRecordedFiles(sLinked.c_str()));
    EXPECT_EQ("not ours", testutil::ReadFileOrEmpty(sOutside + "\\lib.dll"));
    RemoveFolderLink(sLinked);
}

TEST_F(UnpackRecordTest, WithoutARecordNothingIsRemoved)
{
    // A folder of the user's that no unpack of ours filled (a failed start, say): nothing
    // in it is known to be ours, not even the names an older starter used.
    PutUsersFiles();
    ASSERT_TRUE(testutil::WriteFileBytes(Out() + "\\Firefox\\components\\x.js", "the user's"));
    ASSERT_TRUE(testutil::WriteFileBytes(Out() + "\\TessTaskBarIcon.exe", "the user's"));
    const Strings kBefore = Tree(Out());
    bool bHadRecord = true;
    EXPECT_TRUE(RemoveRecordedFiles(Out().c_str(), &bHadRecord));
    EXPECT_FALSE(bHadRecord);
    EXPECT_EQ(kBefore, Tree(Out()));
    EXPECT_TRUE(LogHas("[0] No unpack record, nothing removed in  " + Out()));
    EXPECT_TRUE(RemoveRecordedFiles((m_dir / "missing").c_str()));
}

// Under a Japanese code page (932) the second byte of 表 (0x95 0x5C) and of ソ (0x83 0x5C)
// is the byte of a backslash: folders and files named with them are unpacked, recorded and
// removed as the characters they are. The test runs where the ANSI code page is 932 (ctest
// runs it so, with WAYFARER_EXPECT_ACP=932); elsewhere it is skipped.
TEST_F(UnpackRecordTest, DoubleByteNamesUnderCodePage932)
{
    char szExpected[8] = "";
    ::GetEnvironmentVariableA("WAYFARER_EXPECT_ACP", szExpected, sizeof(szExpected));
    if (::GetACP() != 932) {
        ASSERT_STRNE("932", szExpected) << "the run asked for code page 932";
        GTEST_SKIP() << "the ANSI code page is not 932";
    }
    const std::string kHyo = "\x95\x5C";   // 表
    const std::string kSo = "\x83\x5C";    // ソ
    const std::string sOut = m_dir / (kHyo + kSo + "\\Tessaly");
    ASSERT_TRUE(testutil::CreateFolders(sOut));
    const std::vector<FilePackItem> kFiles = {
        {kSo + ".dll", "MZ so"},
        {kHyo + "\\" + kSo + "\\deep.txt", "deep"},
        {"sub\\" + kHyo + ".txt", "hyo"},
    };
    // Built as the package tool would build it on a Japanese system.
    std::string sPackage = WritePackage("pkg.bin", {CompressedBlock("tessaly", PackBytes(kFiles))});
    CMappedFile package;
    ASSERT_TRUE(package.Open(sPackage.c_str(), GENERIC_READ, OPEN_EXISTING));
    ASSERT_EQ(kSfxOk, UnpackSFX(package, "tessaly", sOut.c_str()));
    for (const FilePackItem& item : kFiles)
        EXPECT_EQ(item.sContent, testutil::ReadFileOrEmpty(sOut + "\\" + item.sName)) << item.sName;
    // The character's wide form is what the system keeps: 表 is U+8868, ソ U+30BD.
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(
                                           (std::wstring(sOut.begin(), sOut.end() - 12) + L"\x8868\x30BD\\Tessaly\\"
                                            L"\x8868\\\x30BD\\deep.txt").c_str()));
    EXPECT_EQ(kSo + ".dll\r\n" + kHyo + "\\\r\n" + kHyo + "\\" + kSo + "\\\r\n" + kHyo + "\\" + kSo +
                  "\\deep.txt\r\nsub\\\r\nsub\\" + kHyo + ".txt\r\n",
              testutil::ReadFileOrEmpty(sOut + "\\_ts_unpack.lst"));

    // The stop's removal, through the folder held from the drive's root.
    CSafeFolder held;
    CString sError;
    ASSERT_TRUE(TsOpenFolderChain(sOut.c_str(), held, sError)) << sError.c_str();
    EXPECT_EQ("Tessaly", held.Name());
    bool bHadRecord = false;
    EXPECT_TRUE(RemoveRecordedFiles(held, &bHadRecord));
    EXPECT_TRUE(bHadRecord);
    EXPECT_TRUE(Tree(sOut).empty());
}
