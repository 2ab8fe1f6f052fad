#include <gtest/gtest.h>

#include "Strings/TsLog.h"
#include "Strings/TsWindowCommon.h"
#include "LocalizationStrings/LocalizedStringsMap.h"
#include "TestUtil.h"
#include "UiDriver.h"

namespace {

HWND CreateTopWindow(const char* pszTitle)
{
    return ::CreateWindowExA(0, "STATIC", pszTitle, WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10, 200, 100, nullptr,
                             nullptr, ::GetModuleHandleA(nullptr), nullptr);
}

UINT StyleOf(HWND hBox)
{
    return static_cast<UINT>(::GetWindowLongA(hBox, GWL_EXSTYLE));
}

}  // namespace

struct MsgBoxCase {
    int kind;
    const char* caption;
    UINT flags;
    const char* expectedCaption;
    const char* expectedText;
    int press;
};
static const MsgBoxCase kMsgBoxCases[] = {
    {1, nullptr, MB_OK, "Tessaly Information", "hello", IDOK},
    {2, "", MB_YESNO, "Tessaly Question", "hello", IDNO},
    {3, nullptr, MB_OK, "Tessaly Warning", "hello", IDOK},
    {4, "Wayfarer Folder Error", MB_OK, "Wayfarer Folder Error", "hello", IDOK},
    {5, nullptr, MB_OK, "Tessaly System Error", "hello\nPlease report this to support@norvaneworks.example", IDOK},
    {7, "Own", MB_OK, "Own", "hello\nPlease report this to support@norvaneworks.example", IDOK},
    {0, nullptr, MB_OK, "Tessaly System Error", "hello\nPlease report this to support@norvaneworks.example", IDOK},
};

TEST(TsMsgBox, CaptionTextAndAnswerByKind)
{
    for (const MsgBoxCase& c : kMsgBoxCases) {
        SCOPED_TRACE(c.kind);
        CUiDriver driver(CUiDriver::Press(c.press));
        int r = TsMsgBox(c.kind, nullptr, "hello", c.caption, c.flags);
        EXPECT_EQ(c.press, r);
        std::vector<UiBox> boxes = driver.Boxes();
        ASSERT_EQ(1u, boxes.size());
        EXPECT_EQ(c.expectedCaption, boxes[0].caption);
        EXPECT_EQ(c.expectedText, boxes[0].Text());
    }
}

TEST(TsMsgBox, SystemErrorsAreTopmost)
{
    bool bTopmost = false;
    CUiDriver driver([&](const UiBox& box) {
        bTopmost = (StyleOf(box.hwnd) & WS_EX_TOPMOST) != 0;
        return IDOK;
    });
    TsMsgBox(5, nullptr, "x");
    EXPECT_TRUE(bTopmost);
}

TEST(TsMsgBox, MinimizedParentIsRestoredAndTraced)
{
    HWND hParent = CreateTopWindow("parent");
    ::ShowWindow(hParent, SW_MINIMIZE);
    ASSERT_TRUE(::IsIconic(hParent));
    TsTraceReset();
    CUiDriver driver;
    EXPECT_EQ(IDOK, TsMsgBox(1, hParent, "restored?"));
    EXPECT_FALSE(::IsIconic(hParent));
    CString s;
    TsGetTraceText(s);
    EXPECT_NE(-1, s.Find("TsMsgBox: l=1 twm=2 [[restored?]]\n")) << s.c_str();
    EXPECT_NE(-1, s.Find("msgr 1\n"));
    ::DestroyWindow(hParent);
}

TEST(TsMsgBox, NoParentTracesStateOne)
{
    TsTraceReset();
    CUiDriver driver;
    TsMsgBox(3, nullptr, "plain");
    CString s;
    TsGetTraceText(s);
    EXPECT_NE(-1, s.Find("TsMsgBox: l=3 twm=1 [[plain]]\n")) << s.c_str();
}

TEST(TsMsgBox, DestroyedParentGivesCancel)
{
    HWND hParent = CreateTopWindow("doomed");
    TsTraceReset();
    // The parent closes while the box is up; whatever is pressed, the answer is cancel.
    CUiDriver driver([&](const UiBox&) {
        ::PostMessageA(hParent, WM_CLOSE, 0, 0);
        ::Sleep(200);
        return IDYES;
    });
    EXPECT_EQ(IDCANCEL, TsMsgBox(2, hParent, "question", nullptr, MB_YESNO));
    EXPECT_FALSE(::IsWindow(hParent));
    CString s;
    TsGetTraceText(s);
    EXPECT_NE(-1, s.Find("MBPDSTR\n"));
}

TEST(WindowText, ClassAndTitle)
{
    HWND h = ::CreateWindowExA(0, "Edit", "some title", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr,
                               ::GetModuleHandleA(nullptr), nullptr);
    ASSERT_TRUE(h);
    EXPECT_TRUE(IsWindowClass(h, GetWindowClassName(h)));
    EXPECT_FALSE(IsWindowClass(h, "no such class"));
    CString sClass = GetWindowClassName(h);
    sClass.MakeUpper();
    if (sClass != GetWindowClassName(h)) {
        EXPECT_FALSE(IsWindowClass(h, sClass)) << "comparison is case-sensitive";
    }
    EXPECT_STREQ("some title", GetWindowTextString(h));
    ::DestroyWindow(h);

    TsTraceReset();
    EXPECT_STREQ("", GetWindowClassName(reinterpret_cast<HWND>(static_cast<INT_PTR>(0x1234567))));
    CString s;
    TsGetTraceText(s);
    EXPECT_NE(-1, s.Find("!!!SA Strings\\TsWindowCommon: 24\n"));
}

class UserRegInfo : public ::testing::Test {
protected:
    void SetUp() override { Clean(); }
    void TearDown() override { Clean(); }
    static void Clean()
    {
        ::RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Norvane Works\\UserReg");
        ::RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Norvane Works\\Tessaly\\User");
        ::RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Microsoft\\Internet Account Manager");
    }
    static void SetString(const char* pszKey, const char* pszName, const char* pszValue)
    {
        ::RegSetKeyValueA(HKEY_CURRENT_USER, pszKey, pszName, REG_SZ, pszValue, lstrlenA(pszValue) + 1);
    }
};

TEST_F(UserRegInfo, OldLocationIsCopiedTrimmed)
{
    SetString("Software\\Norvane Works\\Tessaly\\User", "Name", "  Ann Example ");
    SetString("Software\\Norvane Works\\Tessaly\\User", "Email", "\tann@example.org");
    TsUserRegInfo info;
    EXPECT_TRUE(GetUserRegInfo(info));
    EXPECT_STREQ("Ann Example", info.sName);
    EXPECT_STREQ("ann@example.org", info.sEmail);
    EXPECT_STREQ("", info.sReferrer);

    // Later calls read the new location, even once the old one is gone.
    ::RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Norvane Works\\Tessaly\\User");
    TsUserRegInfo again;
    EXPECT_TRUE(GetUserRegInfo(again));
    EXPECT_STREQ("Ann Example", again.sName);
    EXPECT_STREQ("ann@example.org", again.sEmail);
}

TEST_F(UserRegInfo, MailAccountThenWindowsUser)
{
    SetString("Software\\Microsoft\\Internet Account Manager", "Default Mail Account", "00000001");
    SetString("Software\\Microsoft\\Internet Account Manager\\Accounts\\00000001", "SMTP Display Name", "Bo Mail");
    SetString("Software\\Microsoft\\Internet Account Manager\\Accounts\\00000001", "SMTP Email Address", "bo@example.org");
    TsUserRegInfo info;
    EXPECT_FALSE(GetUserRegInfo(info));
    EXPECT_STREQ("Bo Mail", info.sName);
    EXPECT_STREQ("bo@example.org", info.sEmail);

    Clean();
    char szUser[257];
    DWORD n = sizeof(szUser);
    ASSERT_TRUE(::GetUserNameA(szUser, &n));
    EXPECT_FALSE(GetUserRegInfo(info));
    EXPECT_STREQ(szUser, info.sName);
    EXPECT_STREQ("", info.sEmail);
}

TEST(TsMsgBox, CaptionComesFromTheLoadedLanguage)
{
    testutil::CTempDir dir;
    testutil::WriteFileBytes(dir / "de-German.tsi", "1059 \"Tessaly Warnung\"\n");
    CString sName = "de-German";
    ASSERT_TRUE(LoadLanguage(sName, dir.Path().c_str(), false));
    CUiDriver driver;
    TsMsgBox(3, nullptr, "text");
    TsMsgBox(4, nullptr, "text");
    ResetLocalizedStrings();
    std::vector<UiBox> boxes = driver.Boxes();
    ASSERT_EQ(2u, boxes.size());
    EXPECT_EQ("Tessaly Warnung", boxes[0].caption);
    EXPECT_EQ("Tessaly Error", boxes[1].caption) << "ids the file does not list keep the built-in text";
}
