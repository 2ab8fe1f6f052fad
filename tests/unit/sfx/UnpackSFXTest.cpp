#include "SfxTestSupport.h"

#include <cstdio>

#include <sddl.h>

#include "Strings/TsSecurity.h"
#include "sfx/MappedFile.h"
#include "sfx/SfxBlockChain.h"
#include "sfx/UnpackSFX.h"
#include "sfx/format/SfxBlock.h"
#include "tests/unit/Strings/WineDrive.h"

using Strings = std::vector<std::string>;

namespace {

std::string Noise(size_t n, unsigned nSeed)
{
    std::string s(n, '\0');
    unsigned x = nSeed * 2654435761u + 7;
    for (char& ch : s) {
        x = x * 1103515245u + 12345u;
        ch = static_cast<char>(x >> 23);
    }
    return s;
}

const std::vector<FilePackItem> kProgram = {
    {"TessTaskBarIcon.exe", Noise(40000, 1)},
    {"empty.cfg", ""},
    {"sub\\dir\\file.txt", "nested"},
    {"sub\\lib.dll", Noise(3000, 2)},
};

class UnpackSFXTest : public SfxTest {
protected:
    // Maps the package and unpacks one block into the output folder "out".
    SfxStatus Unpack(const std::vector<BlockSpec>& blocks, const char* pszBlock = "tessaly")
    {
        std::string sPackage = WritePackage("pkg.bin", blocks);
        testutil::CreateFolders(Out());
        CMappedFile package;
        EXPECT_TRUE(package.Open(sPackage.c_str(), GENERIC_READ, OPEN_EXISTING));
        return UnpackSFX(package, pszBlock, Out().c_str());
    }
    std::string Out() const { return m_dir / "out"; }
    std::string OutFile(const std::string& sRel) const { return testutil::ReadFileOrEmpty(Out() + "\\" + sRel); }
};

}  // namespace

TEST_F(UnpackSFXTest, WritesEveryFileBelowTheOutputFolder)
{
    testutil::CreateFolders(Out() + "\\sub");   // existing folders are fine
    ASSERT_EQ(kSfxOk, Unpack({{"tessaly", kProgram}}));
    for (const FilePackItem& item : kProgram)
        EXPECT_TRUE(item.sContent == OutFile(item.sName)) << item.sName;
    EXPECT_EQ((Strings{"TessTaskBarIcon.exe", "_ts_unpack.lst", "empty.cfg", "sub\\", "sub\\dir\\", "sub\\dir\\file.txt",
                       "sub\\lib.dll"}),
              Tree(Out()));
    Strings expected = {"[0] UnpackSFX()  tessaly", "[9C40] Unpacked TessTaskBarIcon.exe", "[0] Unpacked empty.cfg",
                        "[6] Unpacked sub\\dir\\file.txt", "[BB8] Unpacked sub\\lib.dll",
                        "[0]  ... Unpacked to " + Out()};
    Strings lines = LogLines();
    // Finding the block walks the chain without a word; nothing else is logged.
    EXPECT_EQ(expected, lines);
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(UnpackSFXTest, EmptyPackAndMissingBlock)
{
    EXPECT_EQ(kSfxOk, Unpack({{"tessaly", {}}}));
    EXPECT_TRUE(Tree(Out()).empty());
    EXPECT_EQ(kSfxFail, Unpack({{"tessaly", kProgram}}, "langs"));
    EXPECT_TRUE(LogHas("[0] Err open  langs"));
    EXPECT_TRUE(Tree(Out()).empty());
    EXPECT_TRUE(Boxes().empty());   // a missing block is for the caller to judge
}

TEST_F(UnpackSFXTest, BadPropertiesAndDamagedStreams)
{
    std::string sPack = PackBytes(kProgram);
    BlockSpec good = CompressedBlock("tessaly", sPack);
    BlockSpec shortProps = good;
    shortProps.sRaw = good.sRaw.substr(0, 4);
    BlockSpec badProps = good;
    badProps.sRaw[0] = static_cast<char>(225);
    BlockSpec badData = good;
    badData.sRaw[5] = 1;   // the range coder's first byte is always 0
    struct Case {
        const char* pszWhat;
        BlockSpec block;
        SfxStatus status;
        const char* pszFirst;
        DWORD dwFirstCode;
    };
    const Case kCases[] = {
        {"payload below 5 bytes", shortProps, kSfxFail, "Read DecoderProperties size mismatch", 0},
        {"properties byte 225", badProps, kSfxInvalidArg, "SetDecoderProperties error", 0x80070057},
        {"data that is no LZMA", badData, kSfxInvalidData, "Failed to decode stream ", 0x8007000D},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.pszWhat);
        m_pUi->Clear();
        EXPECT_EQ(c.status, Unpack({c.block}));
        EXPECT_EQ((Strings{SetupErrorBox(c.pszFirst, nullptr, c.dwFirstCode),
                           SetupErrorBox("Err unpack to", Out().c_str(), static_cast<DWORD>(c.status))}),
                  BoxTexts(2));
        EXPECT_TRUE(Tree(Out()).empty());
    }
}

TEST_F(UnpackSFXTest, CrcErrorFailsTheBlockAndDropsTheFile)
{
    std::string sPack = PackBytes({{"a.txt", "alpha"}, {"b.txt", "beta"}, {"c.txt", "gamma"}});
    sPack[sPack.size() - 4 - 5 - 4 - 2] ^= 1;   // inside b's content
    EXPECT_EQ(kSfxFail, Unpack({CompressedBlock("tessaly", sPack)}));
    EXPECT_EQ((Strings{SetupErrorBox("CRC Error in file ", "b.txt"), SetupErrorBox("Failed to decode stream ", nullptr, kSfxFail),
                       SetupErrorBox("Err unpack to", Out().c_str(), kSfxFail)}),
              BoxTexts(3));
    EXPECT_EQ((Strings{"_ts_unpack.lst", "a.txt"}), Tree(Out()));
    EXPECT_EQ("alpha", OutFile("a.txt"));
}

TEST_F(UnpackSFXTest, StreamEndingBeforeTheLastFileFailsTheBlock)
{
    std::string sPack = PackBytes({{"a.txt", "alpha"}, {"big.bin", Noise(20000, 3)}});
    BlockSpec block = CompressedBlock("tessaly", sPack.substr(0, sPack.size() - 5000));
    EXPECT_EQ(kSfxFail, Unpack({block}));
    EXPECT_EQ((Strings{SetupErrorBox("Unexpected end of data in file ", "big.bin"),
                       SetupErrorBox("Failed to decode stream ", nullptr, kSfxFail),
                       SetupErrorBox("Err unpack to", Out().c_str(), kSfxFail)}),
              BoxTexts(3));
    EXPECT_EQ((Strings{"_ts_unpack.lst", "a.txt"}), Tree(Out()));   // the incomplete file is not left behind
}

TEST_F(UnpackSFXTest, HostileNamesWriteNothingAnywhere)
{
    const char* const kNames[] = {"..\\escape.txt",   "sub\\..\\..\\escape.txt", "\\escape.txt", "C:\\escape.txt",
                                  "\\\\?\\C:\\x.txt", "\\\\.\\pipe\\x",          "file:ads",     "dir.\\x",
                                  "trail \\x",        "CON",                     "sub\\aux.txt", ""};
    for (const char* pszName : kNames) {
        SCOPED_TRACE(pszName);
        m_pUi->Clear();
        EXPECT_EQ(kSfxFail, Unpack({CompressedBlock("tessaly", PackBytes({{"first.txt", "ok"}, {pszName, "evil"}}))}));
        EXPECT_EQ((Strings{SetupErrorBox("Unsafe file name in package ", pszName),
                           SetupErrorBox("Failed to decode stream ", nullptr, kSfxFail),
                           SetupErrorBox("Err unpack to", Out().c_str(), kSfxFail)}),
                  BoxTexts(3));
        EXPECT_EQ((Strings{"out\\", "pkg.bin"}), Tree(m_dir.Path()));
        EXPECT_FALSE(testutil::FileExists("C:\\escape.txt"));
    }
}

TEST_F(UnpackSFXTest, DamagedFileListAndOverlongPaths)
{
    std::string sPack = PackBytes({{"a.txt", "1"}, {"b.txt", "2"}});
    sPack[2] = 3;   // three files announced, two in the header
    EXPECT_EQ(kSfxFail, Unpack({CompressedBlock("tessaly", sPack)}));
    EXPECT_EQ(SetupErrorBox("Damaged file list in package", nullptr), BoxTexts(3).at(0));

    m_pUi->Clear();
    size_t nRoom = 259 - (Out().size() + 1);
    std::string sFits = std::string(nRoom, 'n');
    std::string sTooLong = sFits + "x";
    EXPECT_EQ(kSfxOk, Unpack({{"tessaly", {{sFits, "fits"}}}}));
    EXPECT_EQ("fits", OutFile(sFits));
    EXPECT_EQ(kSfxFail, Unpack({{"tessaly", {{sTooLong, "too long"}}}}));
    EXPECT_EQ(SetupErrorBox("Path too long for file ", (Out() + "\\" + sTooLong).c_str()), BoxTexts(3).at(0));
}

TEST_F(UnpackSFXTest, FilesHeldByAnotherProcess)
{
    // A first unpack puts the files in place; then a running program holds one of them.
    ASSERT_EQ(kSfxOk, Unpack({{"tessaly", kProgram}}));
    {
        CFileHolderProcess holder(Out() + "\\TessTaskBarIcon.exe");
        ASSERT_TRUE(holder.Holding());
        EXPECT_EQ(kSfxOk, Unpack({{"tessaly", kProgram}}));
        EXPECT_TRUE(Boxes().empty());

        std::vector<FilePackItem> changed = kProgram;
        changed[0].sContent = Noise(40000, 99);
        changed[3].sContent = "new library";
        // Another content that cannot replace the file there fails the block, with the
        // system's reason: the old file is not what the pack holds.
        SfxStatus s = Unpack({{"tessaly", changed}});
        EXPECT_EQ(SfxStatusFromError(ERROR_SHARING_VIOLATION), s);
        std::string sPath = Out() + "\\TessTaskBarIcon.exe";
        EXPECT_EQ((Strings{SetupErrorBox("Error creating output file", sPath.c_str(), ERROR_SHARING_VIOLATION),
                           SetupErrorBox("Failed to decode stream ", nullptr, static_cast<DWORD>(s)),
                           SetupErrorBox("Err unpack to", Out().c_str(), static_cast<DWORD>(s))}),
                  BoxTexts(3));
        EXPECT_EQ(kProgram[3].sContent, OutFile("sub\\lib.dll"));   // the block ended there
    }
    // A read-only file already holding the right content is accepted too, an empty one included.
    m_pUi->Clear();
    for (const char* pszName : {"TessTaskBarIcon.exe", "empty.cfg"})
        ::SetFileAttributesA((Out() + "\\" + pszName).c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(kSfxOk, Unpack({{"tessaly", kProgram}}));
    EXPECT_TRUE(Boxes().empty());
}

// An unpack folder that exists from before is not trusted: a file there (a hard link to a
// file outside, here) is replaced by a new file, never written through.
TEST_F(UnpackSFXTest, AnExistingFileIsReplacedNeverWrittenThrough)
{
    const std::string sOutside = m_dir / "outside.dll";
    ASSERT_TRUE(testutil::WriteFileBytes(sOutside, "somebody else's"));
    ASSERT_TRUE(testutil::CreateFolders(Out() + "\\sub"));
    ASSERT_TRUE(::CreateHardLinkA((Out() + "\\sub\\lib.dll").c_str(), sOutside.c_str(), nullptr));
    ASSERT_TRUE(::CreateHardLinkA((Out() + "\\empty.cfg").c_str(), sOutside.c_str(), nullptr));
    EXPECT_EQ(kSfxOk, Unpack({{"tessaly", kProgram}}));
    EXPECT_EQ("somebody else's", testutil::ReadFileOrEmpty(sOutside));
    EXPECT_EQ(kProgram[3].sContent, OutFile("sub\\lib.dll"));
    EXPECT_EQ("", OutFile("empty.cfg"));
    EXPECT_TRUE(Boxes().empty());
}

bool OwnedByLocalService(const char*, std::vector<BYTE>& sid)
{
    PSID p = nullptr;
    if (!::ConvertStringSidToSidA("S-1-5-19", &p))
        return false;
    const BYTE* b = static_cast<const BYTE*>(p);
    sid.assign(b, b + ::GetLengthSid(p));
    ::LocalFree(p);
    return true;
}

// A subfolder already in the unpack folder that belongs to somebody else (who could change
// what runs from it) ends the block before anything is written into it.
TEST_F(UnpackSFXTest, AnExistingSubfolderOfSomebodyElseEndsTheBlock)
{
    ASSERT_TRUE(testutil::CreateFolders(Out() + "\\sub"));
    g_pfnTsReadFileOwner = OwnedByLocalService;   // the test system makes no folders of other users
    SfxStatus s = Unpack({{"tessaly", kProgram}});
    g_pfnTsReadFileOwner = TsReadFileOwner;
    EXPECT_EQ(kSfxFail, s);
    const std::string sSub = Out() + "\\sub";
    EXPECT_EQ(SetupErrorBox(("Cannot use folder " + sSub + " (it belongs to another user)").c_str(), nullptr),
              BoxTexts(3).at(0));
    EXPECT_TRUE(Tree(sSub).empty());
}

// A pack entry named by the 8.3 alias of another entry, or of the unpack record, would
// replace that file under another name: it is refused.
TEST_F(UnpackSFXTest, AnEntryNamedByAnotherEntrysShortAliasIsRefused)
{
    ASSERT_EQ(kSfxOk, Unpack({{"tessaly", {{"LongProgramName.exe", "MZ"}}}}));
    for (const char* pszLong : {"LongProgramName.exe", "_ts_unpack.lst"}) {
        SCOPED_TRACE(pszLong);
        const std::string sBefore = OutFile(pszLong);
        char szShort[MAX_PATH] = "";
        DWORD n = ::GetShortPathNameA((Out() + "\\" + pszLong).c_str(), szShort, MAX_PATH);
        ASSERT_TRUE(n > 0 && n < MAX_PATH);
        const std::string sAlias = std::string(szShort).substr(std::string(szShort).rfind('\\') + 1);
        ASSERT_NE(pszLong, sAlias) << "the system keeps no alias";
        m_pUi->Clear();
        EXPECT_EQ(kSfxFail, Unpack({{"tessaly", {{sAlias, "replaced"}}}}));
        EXPECT_EQ(SetupErrorBox("Unsafe file name in package ", sAlias.c_str()), BoxTexts(3).at(0));
        EXPECT_EQ(sBefore, OutFile(pszLong));
    }
}

TEST_F(UnpackSFXTest, FolderThatCannotBeCreatedFailsTheBlock)
{
    std::string sPackage = WritePackage("pkg.bin", {{"tessaly", kProgram}});
    CMappedFile package;
    ASSERT_TRUE(package.Open(sPackage.c_str(), GENERIC_READ, OPEN_EXISTING));
    std::string sMissing = m_dir / "no\\such";   // its parent does not exist either
    SfxStatus s = UnpackSFX(package, "tessaly", sMissing.c_str());
    EXPECT_EQ(SfxStatusFromError(ERROR_PATH_NOT_FOUND), s);
    // The output folder cannot be reached: the first file ends the block.
    EXPECT_EQ((Strings{SetupErrorBox("Can not create folder", sMissing.c_str(), ERROR_PATH_NOT_FOUND),
                       SetupErrorBox("Failed to decode stream ", nullptr, static_cast<DWORD>(s)),
                       SetupErrorBox("Err unpack to", sMissing.c_str(), static_cast<DWORD>(s))}),
              BoxTexts(5));
    EXPECT_FALSE(testutil::FolderExists(m_dir / "no"));
}

TEST_F(UnpackSFXTest, LinkedFolderInTheOutputIsNotWrittenThrough)
{
    std::string sElsewhere = m_dir / "elsewhere";
    testutil::CreateFolders(sElsewhere);
    testutil::CreateFolders(Out());
    ASSERT_TRUE(MakeFolderLink(Out() + "\\sub", sElsewhere));
    EXPECT_EQ(kSfxFail, Unpack({{"tessaly", kProgram}}));
    std::string sLink = Out() + "\\sub";
    EXPECT_EQ(SetupErrorBox("Can not create folder (a link is in its place) ", sLink.c_str()), BoxTexts(3).at(0));
    EXPECT_TRUE(Tree(sElsewhere).empty());
    RemoveFolderLink(sLink);
}

TEST_F(UnpackSFXTest, SaveWritesThePayloadAsItIs)
{
    std::string sPackage = WritePackage("pkg.bin", {{"tessaly", kProgram}, BlockSpec::Raw("affid", "partner 42\r\n")});
    CMappedFile package;
    ASSERT_TRUE(package.Open(sPackage.c_str(), GENERIC_READ, OPEN_EXISTING));
    std::string sPath = m_dir / "affid.txt";
    EXPECT_EQ(kSfxOk, SaveSFX(package, "affid", sPath.c_str(), false));
    EXPECT_EQ("partner 42\r\n", testutil::ReadFileOrEmpty(sPath));
    EXPECT_EQ(kSfxOk, SaveSFX(package, "affid", sPath.c_str(), true));
    EXPECT_TRUE(Boxes().empty());

    EXPECT_EQ(SfxStatusFromError(ERROR_FILE_EXISTS), SaveSFX(package, "affid", sPath.c_str(), false));
    EXPECT_EQ((Strings{SetupErrorBox("Err save to ", sPath.c_str(), ERROR_FILE_EXISTS)}), BoxTexts(1));

    EXPECT_EQ(kSfxFail, SaveSFX(package, "config", (m_dir / "config.txt").c_str(), true));
    EXPECT_FALSE(testutil::FileExists(m_dir / "config.txt"));
    Strings expected = {"[0] SaveSFX()  affid", "[0]  ... saved to  " + sPath, "[0] SaveSFX()  affid",
                        "[0]  ... saved to  " + sPath, "[0] SaveSFX()  affid"};
    for (const std::string& sLine : SetupErrorLogLines("Err save to ", sPath.c_str(), ERROR_FILE_EXISTS))
        expected.push_back(sLine);
    expected.push_back("[0] SaveSFX()  config");
    expected.push_back("[0] Err open  config");
    EXPECT_EQ(expected, LogLines());
}

// The drive is pulled while the package is mapped: reading the view faults (an in-page error
// on Windows, an access violation under Wine). The block fails with the package named, the
// file in progress goes, and the program goes on.
TEST_F(UnpackSFXTest, PackageThatGoesAwayWhileItIsReadFailsTheBlock)
{
    std::vector<uint32_t> offsets;
    const std::string sBig = Noise(400000, 5);
    std::string sBytes = BuildPackage({{"first", {{"pad.bin", Noise(20000, 6)}}},
                                       {"tessaly", {{"a.txt", "alpha"}, {"big.bin", sBig}}}},
                                      &offsets);
    ASSERT_EQ(2u, offsets.size());
    ASSERT_GT(offsets[1], 8192u);
    struct Case {
        const char* pszWhat;
        DWORD dwCut;          // the package's size once the drive is gone
        Strings tree;         // what stays in the output folder
    };
    const Case kCases[] = {
        // The decoder has taken a few input chunks and written a.txt and part of big.bin.
        {"while decoding", offsets[1] + 200000, {"_ts_unpack.lst", "a.txt"}},
        // The block's header lies on a page that is gone.
        {"while walking the chain", offsets[1] / 4096 * 4096, {}},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.pszWhat);
        m_pUi->Clear();
        testutil::RemoveTree(Out());
        testutil::CreateFolders(Out());
        std::string sPackage = m_dir / "pkg.bin";
        ASSERT_TRUE(testutil::WriteFileBytes(sPackage, sBytes));
        CMappedFile package;
        ASSERT_TRUE(package.Open(sPackage.c_str(), GENERIC_READ, OPEN_EXISTING));
        ASSERT_TRUE(TruncateFromOutside(sPackage, c.dwCut));
        SfxStatus s = UnpackSFX(package, "tessaly", Out().c_str());
        DWORD dwCode = static_cast<DWORD>(s) & 0xFFFF;
        EXPECT_TRUE(dwCode == ERROR_NOACCESS || dwCode == ERROR_READ_FAULT || dwCode == ERROR_DEVICE_NOT_CONNECTED)
            << dwCode;
        EXPECT_EQ(SfxStatusFromError(dwCode), s);
        EXPECT_EQ((Strings{SetupErrorBox("Can't read from package ", sPackage.c_str(), dwCode),
                           SetupErrorBox("Err unpack to", Out().c_str(), static_cast<DWORD>(s))}),
                  BoxTexts(2));
        EXPECT_EQ(c.tree, Tree(Out()));
    }

    // The whole-package check before any unpack.
    std::string sPackage = m_dir / "pkg.bin";
    ASSERT_TRUE(testutil::WriteFileBytes(sPackage, sBytes));
    CMappedFile package;
    ASSERT_TRUE(package.Open(sPackage.c_str(), GENERIC_READ, OPEN_EXISTING));
    ASSERT_TRUE(TruncateFromOutside(sPackage, 4096));
    TsFaultInfo fault;
    EXPECT_FALSE(TestSFX(package.GetView(), package.GetSize(), &fault));
    EXPECT_TRUE(fault.dwError == ERROR_NOACCESS || fault.dwError == ERROR_PARTIAL_COPY) << fault.dwError;
    char szLine[64];
    std::snprintf(szLine, sizeof(szLine), "[%lX] Package read fault ", static_cast<unsigned long>(TsFaultErrorCode(fault)));
    EXPECT_TRUE(LogHas(szLine));
}

// A disk that fills up: the output folder is a small memory file system of its own, mounted
// from the Linux side (this needs the right to mount; elsewhere the test is skipped).
TEST_F(UnpackSFXTest, FullDiskFailsTheBlockAndRemovesThePartialFile)
{
    std::string sMount = m_dir / "small";
    testutil::CreateFolders(sMount);
    std::string sUnix = UnixPathOf(sMount);
    if (sUnix.empty() || RunUnixCommand("mount -t tmpfs -o size=256k tmpfs '" + sUnix + "'") != 0)
        GTEST_SKIP() << "cannot mount a small file system here";
    struct CUnmount {
        std::string sUnix;
        ~CUnmount() { RunUnixCommand("umount '" + sUnix + "'"); }
    } unmount{sUnix};
    // A folder another volume is mounted on is a reparse point, which no chain passes: the
    // small disk gets a drive letter of its own.
    CWineDrive drive('q', sMount, DRIVE_FIXED);
    ASSERT_TRUE(drive.Defined());
    const std::string sSmall = "Q:\\out";
    ASSERT_TRUE(::CreateDirectoryA(sSmall.c_str(), nullptr));
    std::string sPackage = WritePackage("pkg.bin", {{"tessaly", {{"first.txt", "fits"}, {"big.bin", Noise(1000000, 7)},
                                                                  {"after.txt", "never written"}}}});
    CMappedFile package;
    ASSERT_TRUE(package.Open(sPackage.c_str(), GENERIC_READ, OPEN_EXISTING));
    SfxStatus s = UnpackSFX(package, "tessaly", sSmall.c_str());
    EXPECT_EQ(SfxStatusFromError(ERROR_DISK_FULL), s);
    std::string sBig = sSmall + "\\big.bin";
    EXPECT_EQ((Strings{SetupErrorBox("Error writing to file ", sBig.c_str(), ERROR_DISK_FULL),
                       SetupErrorBox("Failed to decode stream ", nullptr, static_cast<DWORD>(s)),
                       SetupErrorBox("Err unpack to", sSmall.c_str(), static_cast<DWORD>(s))}),
              BoxTexts(3));
    EXPECT_EQ((Strings{"_ts_unpack.lst", "first.txt"}), Tree(sSmall));
}
