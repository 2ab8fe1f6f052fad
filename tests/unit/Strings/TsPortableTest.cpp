#include <gtest/gtest.h>

#include <windows.h>

#include <random>
#include <string>

#include "Strings/SafeRegKey.h"
#include "Strings/TsLog.h"
#include "Strings/TsPortable.h"
#include "FileCallsSeam.h"
#include "TestUtil.h"
#include "WineDrive.h"
#include "framework/Exceptions.h"

using testutil::CTempDir;
using testutil::WriteFileBytes;

namespace {

const char kTessalyKey[] = "Software\\Norvane Works\\Tessaly";
const char kMakerKey[] = "Software\\Norvane Works";

std::string DataFile(const std::string& folder)
{
    return folder + "\\id.tst";
}

// Simulated removable drives E, G and H (and a fixed one, F) on folders of their own,
// with the U3 platform's variables and the values read here cleared.
class PortableDrives : public ::testing::Test {
protected:
    void SetUp() override
    {
        ClearEnvironment();
        ASSERT_TRUE(m_e.Defined() && m_f.Defined() && m_g.Defined() && m_h.Defined())
            << "the Wine mount manager refused to define the test drives";
    }
    void TearDown() override { ClearEnvironment(); }

    static void ClearEnvironment()
    {
        for (const char* pszVar : {"U3_DEVICE_PATH", "U3_HOST_EXEC_PATH", "U3_DEVICE_DOCUMENT_PATH"})
            ::SetEnvironmentVariableA(pszVar, nullptr);
        TsRegDeleteValue(HKEY_CURRENT_USER, kMakerKey, "_SecretValueToForceU3_");
        TsRegDeleteValue(HKEY_CURRENT_USER, kMakerKey, "_U3DocPath");
        TsRegDeleteValue(HKEY_CURRENT_USER, kTessalyKey, "PorvinHostPath");
        TsRegDeleteValue(HKEY_CURRENT_USER, kTessalyKey, "RootUserDataDirPort");
    }

    CTempDir m_eDir, m_fDir, m_gDir, m_hDir;
    CWineDrive m_e{'E', m_eDir.Path(), DRIVE_REMOVABLE};
    CWineDrive m_f{'F', m_fDir.Path(), DRIVE_FIXED};
    CWineDrive m_g{'G', m_gDir.Path(), DRIVE_REMOVABLE};
    CWineDrive m_h{'H', m_hDir.Path(), DRIVE_REMOVABLE};
};

}  // namespace

// --- paths -------------------------------------------------------------------------------

TEST(NormalizePath, SeparatorsAndComponents)
{
    struct Case {
        const char* in;
        const char* out;
    };
    const Case kCases[] = {
        {"X:/a//b/./c/../d", "X:\\a\\b\\d"},
        {"\\\\srv\\share\\x", "\\\\srv\\share\\x"},
        {"//srv/share/./x/../y", "\\\\srv\\share\\.\\x\\..\\y"},   // network paths keep their components
        {"G:\\Data\\\\Mine", "G:\\Data\\Mine"},
        {"X://a", "X:\\a"},
        {"X:\\a\\b\\", "X:\\a\\b\\"},
        {"X:\\a\\b/\\/", "X:\\a\\b\\"},
        {"X:\\..\\a", "X:\\a"},          // a ".." with nothing before it is dropped
        {"X:\\a\\..\\..\\b", "X:\\b"},
        {"X:\\a\\..", "X:\\"},
        {"..\\..\\a", "a"},
        {"a\\.\\b\\.", "a\\b"},
        {"/a/../b", "\\a\\..\\b"},         // begins with a backslash: components stay
        {"a/", "a\\"},
        {"/", "\\"},
        {"X:", "X:"},
        {"", ""},
        {"X:\\Tessaly", "X:\\Tessaly"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.in);
        EXPECT_STREQ(c.out, NormalizePath(c.in));
    }
    EXPECT_STREQ("", NormalizePath(nullptr));
}

TEST(NormalizePath, DoubleByteTrailIsNoSeparator)
{
    // 0x95 0x5C is one Shift-JIS character whose second byte equals the backslash.
    const char kPath[] = "X:/\x95\x5c/b/../c";
    EXPECT_STREQ("X:\\\x95\x5c\\c", NormalizePath(kPath, 932));
    EXPECT_STREQ("X:\\\x95\\c", NormalizePath(kPath, 1252));
    // A lead byte as the last byte has no trail: it is copied alone.
    EXPECT_STREQ("X:\\a\x95", NormalizePath("X:/a\x95", 932));
}

// Every generated path lies right before a page that cannot be read: reading beyond the
// terminator faults. The results must be normal forms: no forward slashes, no doubled
// separators or dot components (except in paths left alone), and stable when normalised again.
TEST(NormalizePath, RandomPathsStayInsideTheirString)
{
    testutil::CGuardedPage guard;
    ASSERT_TRUE(guard.Valid());

    const char kAlphabet[] = {'a', 'b', '\\', '/', '.', '.', ':', 'X', '\x95', '\x5c', '\x81', ' '};
    std::mt19937 rng(20101226);
    for (int nRun = 0; nRun < 20000; ++nRun) {
        size_t nLength = rng() % 24;
        char* p = guard.End() - nLength - 1;
        for (size_t i = 0; i < nLength; ++i)
            p[i] = kAlphabet[rng() % sizeof(kAlphabet)];
        p[nLength] = '\0';
        const std::string sInput(p, nLength);
        SCOPED_TRACE(sInput);
        for (UINT uCodePage : {932u, 1252u}) {
            CString s = NormalizePath(p, uCodePage);
            ASSERT_STREQ(s, NormalizePath(s, uCodePage));
            if (uCodePage == 1252) {
                ASSERT_EQ(-1, s.Find('/'));
                ASSERT_EQ(-1, s.Find("\\\\", 1));
                if (s.Left(1) != "\\") {
                    CString sWrapped = "\\" + s + "\\";
                    ASSERT_EQ(-1, sWrapped.Find("\\.\\"));
                    ASSERT_EQ(-1, sWrapped.Find("\\..\\"));
                }
            }
        }
    }
}

TEST(DataFiles, Names)
{
    const std::pair<const char*, bool> kNames[] = {
        {"a.TSP", true}, {"id.tst", true}, {"x.tsc", true}, {"x.tsq", true}, {"x.tsb", true},
        {"x.tsx", true}, {"x.tsn", true}, {"options.tso", true}, {"old.PSW", true},
        {".tsp", false}, {"a.tsp.bak", false}, {"a.ts", false}, {"readme.txt", false},
        {"TessalyDataHere.txt", true}, {"tessalydatahere.TXT", true}, {"xTessalyDataHere.txt", false},
        {"", false},
    };
    for (const auto& c : kNames) {
        SCOPED_TRACE(c.first);
        EXPECT_EQ(c.second, IsDataFileName(c.first));
    }
    EXPECT_FALSE(IsDataFileName(nullptr));
}

TEST(DataFiles, FolderContents)
{
    CTempDir dir;
    EXPECT_FALSE(FolderHasDataFiles((dir / "missing").c_str()));
    EXPECT_FALSE(FolderHasDataFiles(dir.Path().c_str()));
    ASSERT_TRUE(testutil::CreateFolders(dir / "keys.tsp"));   // a folder named like a data file
    ASSERT_TRUE(WriteFileBytes(dir / ".tsp", "x"));
    ASSERT_TRUE(WriteFileBytes(dir / "notes.txt", "x"));
    EXPECT_FALSE(FolderHasDataFiles(dir.Path().c_str()));
    ASSERT_TRUE(WriteFileBytes(dir / "TESSALYDATAHERE.TXT", ""));
    EXPECT_TRUE(FolderHasDataFiles(dir.Path().c_str()));

    CTempDir nested;
    ASSERT_TRUE(WriteFileBytes(nested / "sub\\a.tst", "x"));   // subfolders are not searched
    EXPECT_FALSE(FolderHasDataFiles(nested.Path().c_str()));
}

TEST(DataFiles, MarkerFile)
{
    CTempDir dir;
    ASSERT_TRUE(WriteFileBytes(dir / "TessalyDataHere.txt", std::string(5000, 'z')));
    CString sError;
    ASSERT_TRUE(WriteDataFolderMarker((dir.Path() + "\\\\").c_str(), sError)) << sError.c_str();
    const std::string sText = testutil::ReadFileOrEmpty(dir / "TessalyDataHere.txt");
    EXPECT_EQ(std::string(kDataFolderMarkerText), sText);
    EXPECT_EQ(0u, sText.find("\tTessaly User Data Folder\r\n\t-------------------------\r\n\r\nThis is Tessaly"));
    EXPECT_NE(std::string::npos, sText.find("\r\nKeyCard is a file that has *.TSP extension.\r\n"));
    EXPECT_EQ(sText.size() - 58, sText.rfind("copy backed up files to this folder and restart Tessaly.\r\n"));
    EXPECT_FALSE(WriteDataFolderMarker((dir / "missing").c_str(), sError));
    CString sReason;
    GetErrorText(sReason, ERROR_PATH_NOT_FOUND);
    EXPECT_EQ("Cannot open file '" + (dir / "missing\\TessalyDataHere.txt.tmp") + "'\nReason: " + sReason.c_str(),
              sError.c_str());

    // A drive that goes away while the marker is written leaves no half of it.
    CTempDir fresh;
    TsOptionsFileCalls writeFails = kTsOptionsSystemFileCalls;
    writeFails.pfnWriteFile = WriteFailsDeviceGone;
    {
        CFileCallsSeam seam(writeFails);
        EXPECT_FALSE(WriteDataFolderMarker(fresh.Path().c_str(), sError));
    }
    GetErrorText(sReason, ERROR_DEVICE_REMOVED);
    EXPECT_EQ("File cannot be written: '" + (fresh / "TessalyDataHere.txt.tmp") + "'\nReason: " + sReason.c_str(),
              sError.c_str());
    EXPECT_FALSE(testutil::FileExists(fresh / "TessalyDataHere.txt"));
    EXPECT_FALSE(testutil::FileExists(fresh / "TessalyDataHere.txt.tmp"));
}

TEST(PathDriveType, Kinds)
{
    EXPECT_EQ(static_cast<UINT>(DRIVE_REMOTE), GetPathDriveType("\\\\srv\\share"));
    EXPECT_EQ(static_cast<UINT>(DRIVE_UNKNOWN), GetPathDriveType("Tessaly"));
    EXPECT_EQ(static_cast<UINT>(DRIVE_UNKNOWN), GetPathDriveType(""));
    EXPECT_EQ(::GetDriveTypeA("C:\\"), GetPathDriveType("C:"));
}

TEST(CandidateDrives, Rule)
{
    struct Case {
        char letter;
        UINT type;
        int bus;
        bool candidate;
    };
    const Case kCases[] = {
        {'A', DRIVE_REMOVABLE, 0, false}, {'B', DRIVE_REMOVABLE, 0, false}, {'C', DRIVE_REMOVABLE, 0, true},
        {'C', DRIVE_FIXED, 7, true},      {'D', DRIVE_FIXED, 4, true},      {'D', DRIVE_FIXED, 11, false},
        {'D', DRIVE_FIXED, 0, false},     {'F', DRIVE_FIXED, 0, true},      {'F', DRIVE_FIXED, 1, false},
        {'G', DRIVE_CDROM, 0, false},     {'G', DRIVE_REMOTE, 7, false},    {'g', DRIVE_REMOVABLE, 0, true},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(std::string(1, c.letter) + " type " + std::to_string(c.type) + " bus " + std::to_string(c.bus));
        EXPECT_EQ(c.candidate, IsCandidateDrive(c.letter, c.type, c.bus));
    }
}

// --- drives ----------------------------------------------------------------------------------

TEST_F(PortableDrives, CandidatesAreRemovableAndUnknownFixedDrives)
{
    char letters[32];
    int n = EnumCandidateDrives(letters);
    std::string s(letters, static_cast<size_t>(n));
    EXPECT_NE(std::string::npos, s.find("EGH")) << s;
    EXPECT_EQ(std::string::npos, s.find('C')) << s;
    // F is fixed and Wine names its bus: an internal disk.
    EXPECT_NE(0, GetStorageBusType('F'));
    EXPECT_EQ(std::string::npos, s.find('F')) << s;
    EXPECT_EQ(0, GetStorageBusType('Q'));   // no such drive
}

TEST_F(PortableDrives, NeighbourSearchTriesTheNextThenThePreviousDrive)
{
    ASSERT_TRUE(WriteFileBytes(DataFile(m_eDir / "My Tessaly Data\\Default Profile"), "x"));
    ASSERT_TRUE(WriteFileBytes(DataFile(m_hDir / "My Tessaly Data"), "x"));
    CString sFolder;
    EXPECT_EQ('H', SearchNeighbourDrives('G', sFolder));
    EXPECT_STREQ("H:\\My Tessaly Data", sFolder);

    testutil::RemoveTree(m_hDir / "My Tessaly Data");
    EXPECT_EQ('E', SearchNeighbourDrives('g', sFolder));
    EXPECT_STREQ("E:\\My Tessaly Data\\Default Profile", sFolder);

    // From H the neighbours are G and whatever follows H; E is never reached.
    EXPECT_EQ(0, SearchNeighbourDrives('H', sFolder));
    // A letter that is no candidate itself: the first candidate above it and the one below.
    EXPECT_EQ('E', SearchNeighbourDrives('F', sFolder));
}

TEST_F(PortableDrives, DataPathIsTheOnlyPlaceSearched)
{
    ASSERT_TRUE(WriteFileBytes(m_gDir / "Portable.ini", "[Path]\r\nDataPath=Data\\\\Mine\r\nSearchOtherDisk=TRUE\r\n"));
    ASSERT_TRUE(WriteFileBytes(DataFile(m_gDir / "My Tessaly Data\\Default Profile"), "x"));
    ASSERT_TRUE(WriteFileBytes(DataFile(m_hDir / "My Tessaly Data"), "x"));
    CString sFolder;
    EXPECT_FALSE(FindUserDataFolder("G:", sFolder));
    EXPECT_STREQ("G:\\Data\\Mine", sFolder);
    EXPECT_TRUE(ReadIniDataPath("G:\\Tools", sFolder));
    EXPECT_STREQ("G:\\Data\\Mine", sFolder);

    ASSERT_TRUE(WriteFileBytes(DataFile(m_gDir / "Data\\Mine"), "x"));
    EXPECT_TRUE(FindUserDataFolder("G", sFolder));
    EXPECT_STREQ("G:\\Data\\Mine", sFolder);
}

TEST_F(PortableDrives, DefaultFoldersInOrder)
{
    CString sFolder;
    EXPECT_FALSE(FindUserDataFolder("G:\\Tools", sFolder));
    EXPECT_STREQ("G:\\My Tessaly Data\\Default Profile", sFolder);
    EXPECT_FALSE(ReadIniDataPath("G:\\Tools", sFolder));
    EXPECT_STREQ("", sFolder);

    struct Step {
        const char* folder;   // below G:
        const char* found;
    };
    // Each step adds a folder with data; an earlier place in the order wins.
    const Step kSteps[] = {
        {"Tools\\My Tessaly Data", "G:\\Tools\\My Tessaly Data"},
        {"Tools\\My Tessaly Data\\Default Profile", "G:\\Tools\\My Tessaly Data\\Default Profile"},
        {"My Tessaly Data", "G:\\My Tessaly Data"},
        {"My Tessaly Data\\Default Profile", "G:\\My Tessaly Data\\Default Profile"},
    };
    for (const Step& step : kSteps) {
        SCOPED_TRACE(step.folder);
        ASSERT_TRUE(WriteFileBytes(DataFile(m_gDir / step.folder), "x"));
        EXPECT_TRUE(FindUserDataFolder("G:\\Tools", sFolder));
        EXPECT_STREQ(step.found, sFolder);
    }
    EXPECT_THROW(FindUserDataFolder("", sFolder), CUserException);
    EXPECT_THROW(FindDataFolderOnDrive("", sFolder), CUserException);
}

TEST_F(PortableDrives, OtherDisksOnlyWhenAsked)
{
    ASSERT_TRUE(WriteFileBytes(DataFile(m_hDir / "My Tessaly Data\\Default Profile"), "x"));
    CString sFolder;
    EXPECT_FALSE(FindUserDataFolder("G:", sFolder));

    const std::pair<const char*, bool> kValues[] = {{"TRUE", true}, {"true", false}, {"1", false}, {"FALSE", false}};
    for (const auto& c : kValues) {
        SCOPED_TRACE(c.first);
        ASSERT_TRUE(WriteFileBytes(m_gDir / "Portable.ini", std::string("[Path]\r\nSearchOtherDisk=") + c.first + "\r\n"));
        EXPECT_EQ(c.second, FindUserDataFolder("G:", sFolder));
        EXPECT_STREQ(c.second ? "H:\\My Tessaly Data\\Default Profile" : "G:\\My Tessaly Data\\Default Profile", sFolder);
    }
}

TEST_F(PortableDrives, PortableIniOfTheRootComesFirst)
{
    ASSERT_TRUE(WriteFileBytes(m_gDir / "Tools\\Portable.ini", "[Path]\r\n"));
    EXPECT_STREQ("G:\\Tools\\Portable.ini", FindPortableIni("G:\\Tools"));
    ASSERT_TRUE(WriteFileBytes(m_gDir / "Portable.ini", "[Path]\r\n"));
    EXPECT_STREQ("G:\\Portable.ini", FindPortableIni("G:\\Tools"));
    EXPECT_STREQ("", FindPortableIni("H:\\Tools"));
    ASSERT_TRUE(testutil::CreateFolders(m_hDir / "Portable.ini"));   // a folder is no settings file
    EXPECT_STREQ("", FindPortableIni("H:"));
    EXPECT_STREQ("", FindPortableIni(""));
}

// A replace cut off between its delete and its rename (FAT) left the new copy alone: it is
// put back in place, so that the drive keeps its settings.
TEST_F(PortableDrives, APortableIniLeftAsItsNewCopyIsPutBack)
{
    const std::string sText = "[Path]\r\nDataPath=Mine\r\n[Greeting]\r\nlicense_approved=FALSE\r\n";
    ASSERT_TRUE(WriteFileBytes(m_gDir / "Portable.ini.tmp", sText));
    EXPECT_STREQ("G:\\Portable.ini", FindPortableIni("G:\\Tools"));
    EXPECT_EQ(sText, testutil::ReadFileOrEmpty(m_gDir / "Portable.ini"));
    EXPECT_FALSE(testutil::FileExists(m_gDir / "Portable.ini.tmp"));
    // Beside a whole file the copy is only a leftover.
    ASSERT_TRUE(WriteFileBytes(m_gDir / "Portable.ini.tmp", "[Path]\r\nData"));
    EXPECT_STREQ("G:\\Portable.ini", FindPortableIni("G:"));
    EXPECT_EQ(sText, testutil::ReadFileOrEmpty(m_gDir / "Portable.ini"));
}

TEST_F(PortableDrives, U3DeviceGivesTheDocumentRootAndTheSettings)
{
    ASSERT_TRUE(TsRegSetDword(829, HKEY_CURRENT_USER, kMakerKey, "_SecretValueToForceU3_"));
    ::SetEnvironmentVariableA("U3_DEVICE_PATH", "G:\\");
    ::SetEnvironmentVariableA("U3_DEVICE_DOCUMENT_PATH", "G:\\Docs");
    ASSERT_TRUE(WriteFileBytes(m_gDir / "Portable.ini", "[Path]\r\n"));

    CString sData, sProfile;
    GetDefaultDataFolders('g', sData, sProfile);
    EXPECT_STREQ("G:\\Docs\\My Tessaly Data", sData);
    EXPECT_STREQ("G:\\Docs\\My Tessaly Data\\Default Profile", sProfile);
    GetDefaultDataFolders('H', sData, sProfile);   // not the U3 device
    EXPECT_STREQ("H:\\My Tessaly Data\\Default Profile", sProfile);
    // Under U3 the device's Portable.ini governs every starter folder.
    EXPECT_STREQ("G:\\Portable.ini", FindPortableIni("H:\\Tools"));

    ::SetEnvironmentVariableA("U3_DEVICE_DOCUMENT_PATH", nullptr);
    GetDefaultDataFolders('G', sData, sProfile);
    EXPECT_STREQ("G:\\\\Documents\\My Tessaly Data", sData);   // the variable's text as it stands

    ::SetEnvironmentVariableA("U3_DEVICE_PATH", nullptr);
    ASSERT_TRUE(TsRegSetString("G:\\Remembered", HKEY_CURRENT_USER, kMakerKey, "_U3DocPath"));
    GetDefaultDataFolders('G', sData, sProfile);
    EXPECT_STREQ("G:\\Remembered\\My Tessaly Data", sData);

    ASSERT_TRUE(WriteFileBytes(DataFile(m_gDir / "Remembered\\My Tessaly Data"), "x"));
    CString sFolder;
    EXPECT_TRUE(FindUserDataFolder("G:", sFolder));
    EXPECT_STREQ("G:\\Remembered\\My Tessaly Data", sFolder);
}

TEST_F(PortableDrives, PackageFolder)
{
    EXPECT_STREQ("", GetPackageFolder('G'));
    EXPECT_FALSE(DriveHasPackage('G'));
    ASSERT_TRUE(WriteFileBytes(m_gDir / "Tessaly\\AiTessaly-Portable.bin", "MZ"));
    EXPECT_STREQ("G:\\Tessaly", GetPackageFolder('G'));
    EXPECT_TRUE(DriveHasPackage('G'));

    ASSERT_TRUE(WriteFileBytes(m_gDir / "Portable.ini", "[Path]\r\nBinPath=\\\\Tools\\\\\r\n"));
    EXPECT_FALSE(DriveHasPackage('G'));
    ASSERT_TRUE(WriteFileBytes(m_gDir / "Tools\\AiTessaly-Portable.bin", "MZ"));
    EXPECT_STREQ("G:\\Tools", GetPackageFolder('G'));

    ASSERT_TRUE(testutil::CreateFolders(m_hDir / "Tessaly\\AiTessaly-Portable.bin"));   // a folder, not the package
    EXPECT_FALSE(DriveHasPackage('H'));
    EXPECT_FALSE(DriveHasPackage('Q'));   // no such drive
    EXPECT_FALSE(DriveHasPackage('1'));
}

TEST_F(PortableDrives, HostFolderAndRegisteredData)
{
    EXPECT_FALSE(IsPortableDataRegistered());
    ASSERT_TRUE(TsRegSetString("G:\\My Tessaly Data", HKEY_CURRENT_USER, kTessalyKey, "RootUserDataDirPort"));
    EXPECT_TRUE(IsPortableDataRegistered());

    CString sFolder;
    ASSERT_TRUE(GetHostFolder(sFolder));
    char szTemp[MAX_PATH];
    ASSERT_TRUE(GetWritableTempFolder(szTemp, MAX_PATH));
    EXPECT_STREQ((std::string(szTemp) + "\\Tessaly").c_str(), sFolder);
    EXPECT_TRUE(testutil::FolderExists(sFolder.c_str()));

    ASSERT_TRUE(TsRegSetString("C:\\Host\\Tessaly", HKEY_CURRENT_USER, kTessalyKey, "PorvinHostPath"));
    ASSERT_TRUE(GetHostFolder(sFolder));
    EXPECT_STREQ("C:\\Host\\Tessaly", sFolder);
}
