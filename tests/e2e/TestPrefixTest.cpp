// The programs under test delete files on the host: nothing runs unless the prefix's profile
// folders are folders of its own, not links into the machine's home folder.
#include <gtest/gtest.h>

#include "ProfileFolders.h"
#include "TestUtil.h"

namespace {

::testing::Environment* const g_pProfileCheck =
    ::testing::AddGlobalTestEnvironment(new testutil::CRealProfileFoldersCheck);

TEST(TestPrefix, ProfileFoldersAreNoLinksAndALinkWouldBeSeen)
{
    EXPECT_TRUE(testutil::LinkedProfileFolders().empty());

    testutil::CTempDir dir;
    ASSERT_TRUE(testutil::CreateFolders(dir / "target\\sub"));
    ASSERT_TRUE(testutil::MakeFolderLink(dir / "link", dir / "target"));
    EXPECT_TRUE(testutil::LiesInLink(dir / "link"));
    EXPECT_TRUE(testutil::LiesInLink(dir / "link\\sub"));
    EXPECT_FALSE(testutil::LiesInLink(dir / "target\\sub"));
    testutil::RemoveFolderLink(dir / "link");
    EXPECT_TRUE(testutil::FolderExists(dir / "target\\sub"));
}

}  // namespace
