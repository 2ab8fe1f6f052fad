#include <gtest/gtest.h>

#include <shlobj.h>

#include <string>

#include "Strings/TsLog.h"
#include "Strings/TsSysInfo.h"
#include "TestUtil.h"
#include "cleanup/SafeRemove.h"
#include "tests/unit/Strings/WineDrive.h"

namespace {

using testutil::CTempDir;

TEST(CheckCleanupRoot, OnlyAFolderOfARemovableDriveMayBeEmptied)
{
    CTempDir stick;
    ASSERT_TRUE(testutil::CreateFolders(stick / "Documents\\My Tessaly Data"));
    CWineDrive removable('v', stick.Path(), DRIVE_REMOVABLE);
    ASSERT_TRUE(removable.Defined());
    char szWindows[MAX_PATH] = "";
    ::GetWindowsDirectoryA(szWindows, MAX_PATH);
    const std::string sProfile = GetSpecialFolder(CSIDL_PROFILE).c_str();
    ASSERT_FALSE(sProfile.empty());
    CString sNotFound;
    GetErrorText(sNotFound, ERROR_FILE_NOT_FOUND);

    struct Row {
        std::string sRoot;
        std::string sReason;   // empty: allowed
    };
    const Row kRows[] = {
        {"V:\\Documents\\My Tessaly Data", ""},
        {"V:\\Documents\\My Tessaly Data\\", ""},
        {"V:\\Documents", ""},
        {"", "no data folder"},
        {"V:", "a drive root"},
        {"V:\\", "a drive root"},
        {"V:\\\\", "a drive root"},
        {"Documents\\My Tessaly Data", "not a full path"},
        {"V:Documents", "not a full path"},
        {"\\:\\My Tessaly Data", "not a full path"},
        {"\\\\server\\share\\", "a drive root"},
        {stick / "Documents", "on a fixed disk"},   // the test folder lies on C:
        {szWindows, "the Windows folder or above it"},
        {std::string(szWindows) + "\\", "the Windows folder or above it"},
        {sProfile, "the user's profile or above it"},
        {sProfile.substr(0, sProfile.rfind('\\')), "the user's profile or above it"},
        {sProfile + "\\Documents", "on a fixed disk"},
        {std::string(szWindows).substr(0, 2), "a drive root"},
        {"V:\\Missing", std::string("V:\\Missing: ") + sNotFound.c_str()},
    };
    for (const Row& r : kRows) {
        SCOPED_TRACE(r.sRoot);
        EXPECT_EQ(r.sReason, CheckCleanupRoot(r.sRoot.c_str()).c_str());
    }
}

TEST(CheckCleanupRoot, AFolderReachedThroughALinkIsRefused)
{
    CTempDir stick;
    CTempDir outside;
    ASSERT_TRUE(testutil::CreateFolders(outside / "My Tessaly Data"));
    ASSERT_TRUE(testutil::CreateFolders(stick / "real"));
    CWineDrive removable('v', stick.Path(), DRIVE_REMOVABLE);
    ASSERT_TRUE(removable.Defined());
    ASSERT_TRUE(testutil::MakeFolderLink(stick / "Documents", outside.Path()));
    EXPECT_STREQ("V:\\Documents is a link", CheckCleanupRoot("V:\\Documents\\My Tessaly Data"));
    EXPECT_STREQ("V:\\Documents is a link", CheckCleanupRoot("V:\\Documents"));
    EXPECT_STREQ("", CheckCleanupRoot("V:\\real"));
    testutil::RemoveFolderLink(stick / "Documents");
}

class SafeRemoveTest : public ::testing::Test {
protected:
    CTempDir m_dir;
};

TEST_F(SafeRemoveTest, HeldFoldersCanBeNeitherRenamedNorRemoved)
{
    ASSERT_TRUE(testutil::WriteFileBytes(m_dir / "a\\b\\file.tst", "x"));
    std::vector<CUniqueFile> pins;
    CString sError;
    ASSERT_TRUE(PinFolderChain((m_dir / "a\\b").c_str(), pins, sError)) << sError.c_str();
    EXPECT_FALSE(::MoveFileA((m_dir / "a").c_str(), (m_dir / "moved").c_str()));
    EXPECT_FALSE(::MoveFileA((m_dir / "a\\b").c_str(), (m_dir / "a\\moved").c_str()));
    // What lies inside them can still go.
    EXPECT_TRUE(DeleteFileNoLinks((m_dir / "a\\b\\file.tst").c_str(), sError)) << sError.c_str();
    pins.clear();
    EXPECT_TRUE(::MoveFileA((m_dir / "a").c_str(), (m_dir / "moved").c_str()));
}

TEST_F(SafeRemoveTest, NothingIsDeletedThroughALinkedFolder)
{
    CTempDir outside;
    ASSERT_TRUE(testutil::WriteFileBytes(outside / "victim.tst", "keep"));
    ASSERT_TRUE(testutil::CreateFolders(outside / "empty"));
    ASSERT_TRUE(testutil::MakeFolderLink(m_dir / "link", outside.Path()));
    CString sError;
    EXPECT_FALSE(DeleteFileNoLinks((m_dir / "link\\victim.tst").c_str(), sError));
    EXPECT_EQ(m_dir / "link" + " is a link", sError.c_str());
    EXPECT_FALSE(RemoveFolderNoLinks((m_dir / "link\\empty").c_str()));
    EXPECT_FALSE(RemoveFolderNoLinks((m_dir / "link").c_str()));
    EXPECT_EQ("keep", testutil::ReadFileOrEmpty(outside / "victim.tst"));
    EXPECT_TRUE(testutil::FolderExists(outside / "empty"));
    testutil::RemoveFolderLink(m_dir / "link");
}

TEST_F(SafeRemoveTest, AReadOnlyFileStaysAndAFolderThatHoldsSomethingStays)
{
    const std::string sFile = m_dir / "sub\\ro.tst";
    ASSERT_TRUE(testutil::WriteFileBytes(sFile, "x"));
    ASSERT_TRUE(::SetFileAttributesA(sFile.c_str(), FILE_ATTRIBUTE_READONLY));
    CString sError;
    EXPECT_FALSE(DeleteFileNoLinks(sFile.c_str(), sError));
    CString sDenied;
    GetErrorText(sDenied, ERROR_ACCESS_DENIED);
    EXPECT_STREQ(sDenied, sError);
    EXPECT_FALSE(RemoveFolderNoLinks((m_dir / "sub").c_str()));
    ::SetFileAttributesA(sFile.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_TRUE(DeleteFileNoLinks(sFile.c_str(), sError));
    EXPECT_TRUE(RemoveFolderNoLinks((m_dir / "sub").c_str()));
    EXPECT_FALSE(testutil::FolderExists(m_dir / "sub"));
}

}  // namespace
