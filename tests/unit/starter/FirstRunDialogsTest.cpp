// The greeting and licence-agreement dialogs, run modally on Wine and answered by the UI
// driver the way a user would: buttons, the Enter key, and the error boxes before them.
#include <gtest/gtest.h>

#include <string>

#include "TestUtil.h"
#include "UiDriver.h"
#include "resources/resource.h"
#include "starter/GreetingDialog.h"
#include "starter/LicenseAgreementDialog.h"

namespace {

using testutil::CTempDir;

// A plain 24-bit bitmap file of one colour.
std::string MakeBmp(int nWidth, int nHeight, BYTE r, BYTE g, BYTE b)
{
    int nStride = (nWidth * 3 + 3) & ~3;
    BITMAPFILEHEADER fh = {};
    BITMAPINFOHEADER ih = {};
    ih.biSize = sizeof(ih);
    ih.biWidth = nWidth;
    ih.biHeight = nHeight;
    ih.biPlanes = 1;
    ih.biBitCount = 24;
    ih.biSizeImage = static_cast<DWORD>(nStride * nHeight);
    fh.bfType = 0x4D42;
    fh.bfOffBits = sizeof(fh) + sizeof(ih);
    fh.bfSize = fh.bfOffBits + ih.biSizeImage;
    std::string s(reinterpret_cast<const char*>(&fh), sizeof(fh));
    s.append(reinterpret_cast<const char*>(&ih), sizeof(ih));
    std::string row(static_cast<size_t>(nStride), '\0');
    for (int x = 0; x < nWidth; ++x) {
        row[x * 3] = static_cast<char>(b);
        row[x * 3 + 1] = static_cast<char>(g);
        row[x * 3 + 2] = static_cast<char>(r);
    }
    for (int y = 0; y < nHeight; ++y)
        s += row;
    return s;
}

// What the responder saw inside a dialog while it was up.
struct DialogView {
    HBITMAP hPicture = nullptr;
    HICON hIcon = nullptr;
    int nFocusId = 0;
};

DialogView Inspect(const UiBox& box, int nPictureId)
{
    DialogView v;
    v.hPicture = reinterpret_cast<HBITMAP>(
        ::SendDlgItemMessageA(box.hwnd, nPictureId, STM_GETIMAGE, IMAGE_BITMAP, 0));
    v.hIcon = reinterpret_cast<HICON>(::SendMessageA(box.hwnd, WM_GETICON, ICON_BIG, 0));
    GUITHREADINFO gti = {};
    gti.cbSize = sizeof(gti);
    if (::GetGUIThreadInfo(::GetWindowThreadProcessId(box.hwnd, nullptr), &gti) && gti.hwndFocus)
        v.nFocusId = ::GetDlgCtrlID(gti.hwndFocus);
    return v;
}

const char kGreetingCaption[] = "Wayfarer Greeting";
const char kLicenseCaption[] = "Tessaly End User License Agreement";

TEST(GreetingDialog, ShowsThePictureFromTheFolder)
{
    CTempDir dir;
    ASSERT_TRUE(testutil::WriteFileBytes(dir / "tessaly_greet.bmp", MakeBmp(120, 80, 30, 90, 160)));
    DialogView view;
    CUiDriver driver([&](const UiBox& box) {
        if (box.caption == kGreetingCaption)
            view = Inspect(box, IDC_GREETING_PICTURE);
        return CUiDriver::PressDefault(box);
    });
    CGreetingDialog dlg;
    dlg.m_strFolder = dir.Path().c_str();
    EXPECT_EQ(IDOK, dlg.DoModal());

    std::vector<UiBox> boxes = driver.Boxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(kGreetingCaption, boxes[0].caption);
    ASSERT_EQ(1u, boxes[0].buttons.size());
    EXPECT_EQ(IDOK, boxes[0].buttons[0].id);
    EXPECT_EQ("Next", boxes[0].buttons[0].text);
    EXPECT_NE(nullptr, view.hPicture);
    EXPECT_EQ(dlg.m_hIcon, view.hIcon);
    EXPECT_NE(nullptr, dlg.m_hIcon);
}

TEST(GreetingDialog, MissingPictureIsReportedAndTheDialogStillOpens)
{
    CTempDir dir;
    DialogView view;
    CUiDriver driver([&](const UiBox& box) {
        if (box.caption == kGreetingCaption) {
            view = Inspect(box, IDC_GREETING_PICTURE);
            return IDCANCEL;   // closed from its system menu
        }
        return CUiDriver::PressDefault(box);
    });
    CGreetingDialog dlg;
    dlg.m_strFolder = dir.Path().c_str();
    EXPECT_EQ(IDCANCEL, dlg.DoModal());

    std::vector<UiBox> boxes = driver.Boxes();
    ASSERT_EQ(2u, boxes.size());
    EXPECT_EQ("Wayfarer", boxes[0].caption);
    EXPECT_EQ("Wayfarer file '" + dir.Path() + "\\tessaly_greet.bmp' does not exist.", boxes[0].Text());
    EXPECT_EQ(kGreetingCaption, boxes[1].caption);
    EXPECT_EQ(nullptr, view.hPicture);
}

TEST(LicenseAgreementDialog, AgreementTextKeepsEveryLineWhateverItsEnding)
{
    struct Row { std::string file; std::string shown; };
    const Row kRows[] = {
        {"Terms\r\nMore terms\r\n", "Terms\r\nMore terms\r\n"},
        {"Terms\nMore terms\n", "Terms\r\nMore terms\r\n"},
        {"Terms\nMore terms", "Terms\r\nMore terms\r\n"},
        {"Terms\r\r\n\nEnd\r", "Terms\r\n\r\nEnd\r\n"},
        {"\n", "\r\n"},
        {"\r", ""},
        {"", ""},
        {std::string("caf\xE9\nna\xEFve", 10), std::string("caf\xE9\r\nna\xEFve\r\n", 13)},
    };
    for (const Row& r : kRows) {
        SCOPED_TRACE(::testing::PrintToString(r.file));
        EXPECT_EQ(r.shown, BuildAgreementText(r.file.data(), r.file.size()).str());
    }
}

TEST(LicenseAgreementDialog, AnswersAcceptOnlyWithIAgree)
{
    CTempDir dir;
    ASSERT_TRUE(testutil::WriteFileBytes(dir / "tessaly_header.bmp", MakeBmp(495, 60, 230, 236, 245)));
    ASSERT_TRUE(testutil::WriteFileBytes(dir / "tessaly_license.txt", "1. Use\nYou may use it.\n2. End"));

    enum Answer { kPressAgree, kPressDisagree, kPressEnter, kCloseBox };
    struct Row { const char* name; Answer answer; INT_PTR result; };
    static const Row kRows[] = {
        {"I agree", kPressAgree, IDOK},
        {"I disagree", kPressDisagree, IDCANCEL},
        {"Enter", kPressEnter, IDCANCEL},
        {"closed", kCloseBox, IDCANCEL},
    };
    for (const Row& r : kRows) {
        SCOPED_TRACE(r.name);
        DialogView view;
        CUiDriver driver([&](const UiBox& box) {
            if (box.caption != kLicenseCaption)
                return CUiDriver::PressDefault(box);
            view = Inspect(box, IDC_LICENSE_HEADER);
            switch (r.answer) {
            case kPressAgree:
                return IDOK;
            case kPressDisagree:
                return IDCANCEL;
            case kPressEnter: {
                GUITHREADINFO gti = {};
                gti.cbSize = sizeof(gti);
                ::GetGUIThreadInfo(::GetWindowThreadProcessId(box.hwnd, nullptr), &gti);
                ::PostMessageA(gti.hwndFocus, WM_KEYDOWN, VK_RETURN, 0);
                ::PostMessageA(gti.hwndFocus, WM_KEYUP, VK_RETURN, 0);
                return 0;
            }
            case kCloseBox:
                ::PostMessageA(box.hwnd, WM_SYSCOMMAND, SC_CLOSE, 0);
                return 0;
            }
            return 0;
        });
        CLicenseAgreementDialog dlg;
        dlg.m_strFolder = dir.Path().c_str();
        EXPECT_EQ(r.result, dlg.DoModal());

        std::vector<UiBox> boxes = driver.Boxes();
        ASSERT_EQ(1u, boxes.size());
        EXPECT_EQ(kLicenseCaption, boxes[0].caption);
        EXPECT_EQ("1. Use\r\nYou may use it.\r\n2. End\r\n", boxes[0].Text());
        ASSERT_EQ(2u, boxes[0].buttons.size());
        EXPECT_EQ("I agree", boxes[0].buttons[0].text);
        EXPECT_EQ("I disagree", boxes[0].buttons[1].text);
        EXPECT_NE(nullptr, view.hPicture);
        EXPECT_EQ(IDCANCEL, view.nFocusId);
        EXPECT_EQ(dlg.m_hIcon, view.hIcon);
    }
}

TEST(LicenseAgreementDialog, AnOversizedAgreementIsCutAtTheReadLimit)
{
    CTempDir dir;
    ASSERT_TRUE(testutil::WriteFileBytes(dir / "tessaly_header.bmp", MakeBmp(40, 20, 200, 200, 200)));
    // 300 KB of "line\n": the limit of 256 KB ends in the middle of a line, which still counts.
    std::string sFile;
    while (sFile.size() < 300u * 1024)
        sFile += "line\n";
    ASSERT_TRUE(testutil::WriteFileBytes(dir / "tessaly_license.txt", sFile));
    ASSERT_EQ(256u * 1024, kMaxAgreementBytes);

    LRESULT nLength = -1;
    CUiDriver driver([&](const UiBox& box) {
        if (box.caption == kLicenseCaption)
            nLength = ::SendDlgItemMessageA(box.hwnd, IDC_LICENSE_TEXT, WM_GETTEXTLENGTH, 0, 0);
        return IDCANCEL;
    });
    CLicenseAgreementDialog dlg;
    dlg.m_strFolder = dir.Path().c_str();
    EXPECT_EQ(IDCANCEL, dlg.DoModal());
    // 262144 bytes: 52428 whole lines of "line\r\n", then the cut line "line" without its feed.
    EXPECT_EQ(52428 * 6 + 6, nLength);
    ASSERT_EQ(1u, driver.Boxes().size());
}

TEST(LicenseAgreementDialog, MissingOrEmptyFilesAreReportedAndTheDialogStaysUsable)
{
    struct Row { const char* name; bool header; const char* license; std::string message; };
    CTempDir dir;
    const std::string kLicensePath = dir / "tessaly_license.txt";
    const Row kRows[] = {
        {"no header", false, "terms\n", "Wayfarer file '" + dir.Path() + "\\tessaly_header.bmp' does not exist."},
        {"no agreement", true, nullptr,
         "Wayfarer can not open the file '" + kLicensePath + "' : Cannot open file '" + kLicensePath +
             "'\nReason: No such file or directory (2)."},
        {"empty agreement", true, "", "Tessaly start error"},
    };
    for (const Row& r : kRows) {
        SCOPED_TRACE(r.name);
        ::DeleteFileA((dir / "tessaly_header.bmp").c_str());
        ::DeleteFileA(kLicensePath.c_str());
        if (r.header) {
            ASSERT_TRUE(testutil::WriteFileBytes(dir / "tessaly_header.bmp", MakeBmp(40, 20, 200, 200, 200)));
        }
        if (r.license) {
            ASSERT_TRUE(testutil::WriteFileBytes(kLicensePath, r.license));
        }

        CUiDriver driver(CUiDriver::Press(IDOK));
        CLicenseAgreementDialog dlg;
        dlg.m_strFolder = dir.Path().c_str();
        EXPECT_EQ(IDOK, dlg.DoModal());

        std::vector<UiBox> boxes = driver.Boxes();
        ASSERT_EQ(2u, boxes.size());
        EXPECT_EQ("Wayfarer", boxes[0].caption);
        EXPECT_EQ(r.message, boxes[0].Text());
        EXPECT_EQ(kLicenseCaption, boxes[1].caption);
        EXPECT_EQ("", boxes[1].Text());   // the agreement stays empty
    }
}

}  // namespace
