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

TEST(DeleteFileNoLinks, AFileGoesAndAReadOnlyOneStaysWithTheSystemsReason)
{
    CTempDir dir;
    const std::string sFile = dir / "sub\\ro.tst";
    ASSERT_TRUE(testutil::WriteFileBytes(sFile, "x"));
    ASSERT_TRUE(::SetFileAttributesA(sFile.c_str(), FILE_ATTRIBUTE_READONLY));
    CString sError;
    EXPECT_FALSE(DeleteFileNoLinks(sFile.c_str(), sError));
    CString sDenied;
    GetErrorText(sDenied, ERROR_ACCESS_DENIED);
    EXPECT_STREQ(sDenied, sError);
    EXPECT_FALSE(RemoveFolderNoLinks((dir / "sub").c_str()));
    ::SetFileAttributesA(sFile.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_TRUE(DeleteFileNoLinks(sFile.c_str(), sError)) << sError.c_str();
    EXPECT_TRUE(RemoveFolderNoLinks((dir / "sub").c_str()));
    EXPECT_FALSE(testutil::FolderExists(dir / "sub"));
    EXPECT_FALSE(DeleteFileNoLinks((dir / "sub").c_str(), sError));
}

}  // namespace
