#include "SfxTestSupport.h"

#include <cstring>

#include "sfx/ReportSetupError.h"

using Strings = std::vector<std::string>;

TEST_F(SfxTest, ReportSetupErrorLogsThenAsks)
{
    ReportSetupError("Err save to ", "C:\\x\\affid.txt", ERROR_ACCESS_DENIED);
    // The call has returned: the box was answered.
    EXPECT_EQ((Strings{SetupErrorBox("Err save to ", "C:\\x\\affid.txt", ERROR_ACCESS_DENIED)}), BoxTexts(1));
    EXPECT_EQ(SetupErrorLogLines("Err save to ", "C:\\x\\affid.txt", ERROR_ACCESS_DENIED), LogLines());
    std::vector<UiBox> boxes = Boxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(1u, boxes[0].buttons.size());   // OK alone

    m_pUi->Clear();
    ReportSetupError(nullptr, nullptr, 0);
    EXPECT_EQ((Strings{"Error|\n\r\n"}), BoxTexts(1));
}

TEST(FormatSetupError, FitsItsBuffer)
{
    char sz[4096];
    FormatSetupError(sz, sizeof(sz), "Can not create folder", "C:\\a\\b", 0);
    EXPECT_STREQ("Can not create folder\nC:\\a\\b\r\n", sz);

    std::string sLong(5000, 'x');
    FormatSetupError(sz, sizeof(sz), sLong.c_str(), "detail", ERROR_ACCESS_DENIED);
    EXPECT_EQ(4095u, std::strlen(sz));
    EXPECT_EQ(std::string(4095, 'x'), sz);

    char szSmall[8];
    FormatSetupError(szSmall, sizeof(szSmall), "abc", "def", 0);
    EXPECT_STREQ("abc\ndef", szSmall);   // no room left for the line end
}
