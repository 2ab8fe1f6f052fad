#include <gtest/gtest.h>

#include <string>

#include "Strings/TsLog.h"
#include "Strings/TsTextDialog.h"
#include "Strings/TsWindowCommon.h"

namespace {

TEST(TsCreateTextDialog, ShowsTheTextInTheMessageFont)
{
    TsTraceReset();
    HWND hWnd = TsCreateTextDialog("Collecting information about files...", "Tessaly", 0);
    ASSERT_NE(nullptr, hWnd);
    EXPECT_STREQ("#32770", GetWindowClassName(hWnd));
    EXPECT_STREQ("Tessaly", GetWindowTextString(hWnd));
    EXPECT_TRUE(::IsWindowVisible(hWnd));
    LONG lStyle = ::GetWindowLongA(hWnd, GWL_STYLE);
    EXPECT_EQ(static_cast<LONG>(WS_POPUP | WS_CAPTION), lStyle & static_cast<LONG>(WS_POPUP | WS_CAPTION));

    HWND hText = ::GetDlgItem(hWnd, kTsTextDialogTextId);
    ASSERT_NE(nullptr, hText);
    EXPECT_STREQ("Static", GetWindowClassName(hText));
    EXPECT_STREQ("Collecting information about files...", GetWindowTextString(hText));

    NONCLIENTMETRICSA ncm = {};
    ncm.cbSize = offsetof(NONCLIENTMETRICSA, lfMessageFont) + sizeof(ncm.lfMessageFont);
    ASSERT_TRUE(::SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, ncm.cbSize, &ncm, 0));
    HFONT hFont = reinterpret_cast<HFONT>(::SendMessageA(hText, WM_GETFONT, 0, 0));
    ASSERT_NE(nullptr, hFont);
    LOGFONTA lf = {};
    ASSERT_TRUE(::GetObjectA(hFont, sizeof(lf), &lf));
    EXPECT_STREQ(ncm.lfMessageFont.lfFaceName, lf.lfFaceName);
    EXPECT_EQ(ncm.lfMessageFont.lfHeight, lf.lfHeight);

    // Centred on the screen's work area.
    RECT rc = {};
    ::GetWindowRect(hWnd, &rc);
    RECT rcWork = {};
    ::SystemParametersInfoA(SPI_GETWORKAREA, 0, &rcWork, 0);
    EXPECT_NEAR((rcWork.left + rcWork.right) / 2, (rc.left + rc.right) / 2, 2);

    EXPECT_TRUE(::DestroyWindow(hWnd));
    CString sTrace;
    TsGetTraceText(sTrace);
    EXPECT_NE(-1, sTrace.Find("CTD: Collecting information about files...\n"));
}

TEST(TsCreateTextDialog, TakesTheExtraStyle)
{
    HWND hWnd = TsCreateTextDialog("", "", WS_DISABLED);
    ASSERT_NE(nullptr, hWnd);
    EXPECT_FALSE(::IsWindowEnabled(hWnd));
    EXPECT_STREQ("", GetWindowTextString(::GetDlgItem(hWnd, kTsTextDialogTextId)));
    ::DestroyWindow(hWnd);
}

}  // namespace
