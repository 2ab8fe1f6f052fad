#include <gtest/gtest.h>

#include <string>

#include "Strings/TsLock.h"
#include "Strings/TsU3.h"
#include "TestUtil.h"
#include "UiDriver.h"
#include "cleanup/HostCleanupApp.h"
#include "tests/unit/Strings/WineDrive.h"

namespace {

std::string Environment(const char* pszName)
{
    char sz[MAX_PATH] = "";
    DWORD n = ::GetEnvironmentVariableA(pszName, sz, MAX_PATH);
    return n && n < MAX_PATH ? std::string(sz) : "<none>";
}

class HostCleanupAppTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        for (const char* psz : {"U3_ENV_LANGUAGE", "U3_HOST_EXEC_PATH", "U3_DEVICE_DOCUMENT_PATH", "U3_DEVICE_PATH"})
            ::SetEnvironmentVariableA(psz, nullptr);
    }
};

TEST_F(HostCleanupAppTest, ThePlatformsOptionsBecomeItsEnvironment)
{
    testutil::CTempDir stick;
    testutil::CTempDir host;
    ASSERT_TRUE(testutil::CreateFolders(stick / "My Docs"));
    CWineDrive drive('v', stick.Path(), DRIVE_REMOVABLE);
    ASSERT_TRUE(drive.Defined());
    CUiDriver ui;

    CHostCleanupApp app;
    app.m_lpCmdLine = "-lang=1031 /host=\"" + host.Path() + "\" /doc=\"V:\\My Docs\"";
    EXPECT_FALSE(app.InitInstance());

    EXPECT_EQ("1031", Environment("U3_ENV_LANGUAGE"));
    EXPECT_EQ(host.Path(), Environment("U3_HOST_EXEC_PATH"));
    EXPECT_EQ("V:\\My Docs", Environment("U3_DEVICE_DOCUMENT_PATH"));
    EXPECT_EQ("V:\\", Environment("U3_DEVICE_PATH"));
    // The data folder is where the data belongs on the device, although none was there.
    EXPECT_STREQ("V:\\My Docs\\My Tessaly Data\\Default Profile", app.m_sDataFolder);
    EXPECT_FALSE(TsU3ModeEvent().IsSignaled());
    EXPECT_TRUE(ui.Boxes().empty());
}

TEST_F(HostCleanupAppTest, WithoutAllThreeOptionsItOnlySaysSo)
{
    CUiDriver ui;
    CHostCleanupApp app;
    app.m_lpCmdLine = "/lang=1033 /host=C:\\U3 /Doc=V:\\Documents";
    EXPECT_FALSE(app.InitInstance());
    ASSERT_TRUE(ui.WaitForBoxes(1, 5000));
    std::vector<UiBox> boxes = ui.Boxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(kBadOptionsCaption, boxes[0].caption);
    EXPECT_EQ(kBadOptionsText, boxes[0].Text());
    EXPECT_EQ("<none>", Environment("U3_DEVICE_PATH"));
    EXPECT_TRUE(app.m_sDataFolder.IsEmpty());
}

}  // namespace
