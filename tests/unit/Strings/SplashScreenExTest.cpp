// The splash window on Wine's real window manager: class, placement, drawing, timers, the
// close mark and the object's end with its window.
#include <gtest/gtest.h>

#include <objbase.h>
#include <shobjidl.h>

#include <vector>

#include "ErrorReports.h"
#include "Strings/SplashScreenEx.h"
#include "Strings/TsLog.h"
#include "framework/Exceptions.h"
#include "resources/resource.h"

namespace {

const DWORD kStarterStyle = CSplashScreenEx::kFadeIn | CSplashScreenEx::kFadeOut | CSplashScreenEx::kShadow |
                            CSplashScreenEx::kCenterScreen;

// Records its own deletion, and can pretend that the system has no window animation.
class CTestSplash : public CSplashScreenEx {
public:
    explicit CTestSplash(bool* pbDeleted = nullptr, bool bAnimate = true) : m_pbDeleted(pbDeleted)
    {
        if (!bAnimate)
            m_pfnAnimateWindow = nullptr;
    }
    ~CTestSplash() override
    {
        if (m_pbDeleted)
            *m_pbDeleted = true;
    }
    bool HasAnimation() const { return m_pfnAnimateWindow != nullptr; }

private:
    bool* m_pbDeleted;
};

// The window's client area as WM_PRINTCLIENT draws it, one 0x00RRGGBB value per pixel.
std::vector<DWORD> Render(HWND hWnd, int nWidth, int nHeight)
{
    BITMAPINFO bmi = {};
    bmi.bmiHeader.biSize = sizeof(bmi.bmiHeader);
    bmi.bmiHeader.biWidth = nWidth;
    bmi.bmiHeader.biHeight = -nHeight;
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = 32;
    void* pBits = nullptr;
    HDC hDC = ::CreateCompatibleDC(nullptr);
    HBITMAP hDib = ::CreateDIBSection(hDC, &bmi, DIB_RGB_COLORS, &pBits, nullptr, 0);
    HGDIOBJ hOld = ::SelectObject(hDC, hDib);
    ::SendMessageA(hWnd, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(hDC), PRF_CLIENT);
    ::GdiFlush();
    std::vector<DWORD> pixels(static_cast<const DWORD*>(pBits),
                              static_cast<const DWORD*>(pBits) + static_cast<size_t>(nWidth) * nHeight);
    ::SelectObject(hDC, hOld);
    ::DeleteObject(hDib);
    ::DeleteDC(hDC);
    return pixels;
}

struct DiffCount {
    int inside = 0;
    int outside = 0;
};

DiffCount CountChanges(const std::vector<DWORD>& before, const std::vector<DWORD>& after, int nWidth,
                       const RECT& rc)
{
    DiffCount d;
    for (size_t i = 0; i < before.size(); ++i) {
        if ((before[i] & 0xFFFFFF) == (after[i] & 0xFFFFFF))
            continue;
        POINT pt = {static_cast<LONG>(i % nWidth), static_cast<LONG>(i / nWidth)};
        (::PtInRect(&rc, pt) ? d.inside : d.outside)++;
    }
    return d;
}

void PumpFor(DWORD dwMs)
{
    DWORD dwStart = ::GetTickCount();
    while (::GetTickCount() - dwStart < dwMs) {
        MSG msg;
        while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageA(&msg);
        }
        ::Sleep(10);
    }
}

void CALLBACK DestroySplashWindow(HWND, UINT, UINT_PTR id, DWORD)
{
    ::KillTimer(nullptr, id);
    if (HWND h = ::FindWindowA(CSplashScreenEx::kWindowClass, nullptr))
        ::DestroyWindow(h);
}

class SplashScreenEx : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::CoInitialize(nullptr);
        TsTraceReset();
    }
    void TearDown() override
    {
        // Each test registers the class afresh, with or without the shadow.
        ::UnregisterClassA(CSplashScreenEx::kWindowClass, ::GetModuleHandleA(nullptr));
        ::CoUninitialize();
    }

    // A splash set up the way the starter sets it up, window created and picture loaded.
    CTestSplash* MakeStarterSplash(bool* pbDeleted = nullptr, bool bAnimate = true, DWORD dwTimeout = 0)
    {
        CTestSplash* p = new CTestSplash(pbDeleted, bAnimate);
        EXPECT_TRUE(p->CreateSplashWindow(::GetDesktopWindow(), "", dwTimeout, kStarterStyle));
        EXPECT_TRUE(p->LoadPicture(IDB_SPLASH, -1, -1, -1));
        return p;
    }

    static std::string Trace()
    {
        CString s;
        TsGetTraceText(s);
        return s.c_str();
    }
};

TEST_F(SplashScreenEx, NullParentIsAHardAssertion)
{
    CTestSplash* p = new CTestSplash();
    testutil::ClearRecordedErrorReports();
    EXPECT_THROW(p->CreateSplashWindow(nullptr, "x", 0, kStarterStyle), CUserException);
    auto reports = testutil::RecordedErrorReports();
    ASSERT_EQ(1u, reports.size());
    EXPECT_NE(std::string::npos, reports[0].sMessage.find("File: Strings\\SplashScreenEx"));
    EXPECT_EQ(nullptr, p->GetSafeHwnd());
    delete p;
}

TEST_F(SplashScreenEx, WindowAndClassFollowTheStyle)
{
    struct Row { DWORD style; bool shadow; bool centred; };
    static const Row kRows[] = {
        {kStarterStyle, true, true},
        {CSplashScreenEx::kFadeIn | CSplashScreenEx::kCenterScreen, false, true},
        {CSplashScreenEx::kShadow, true, false},
    };
    for (const Row& r : kRows) {
        SCOPED_TRACE(r.style);
        bool bDeleted = false;
        CTestSplash* p = new CTestSplash(&bDeleted);
        ASSERT_TRUE(p->CreateSplashWindow(::GetDesktopWindow(), nullptr, 0, r.style));
        HWND hWnd = p->GetSafeHwnd();
        EXPECT_STREQ("CSplashScreenEx", p->GetRuntimeClassName());
        EXPECT_EQ("", p->GetStatusText());
        EXPECT_FALSE(::IsWindowVisible(hWnd));
        char szClass[64] = "";
        ::GetClassNameA(hWnd, szClass, sizeof(szClass));
        EXPECT_STREQ("SplashScreenExClass", szClass);
        ULONG_PTR uClassStyle = ::GetClassLongPtrA(hWnd, GCL_STYLE);
        EXPECT_EQ(static_cast<ULONG_PTR>(CS_SAVEBITS | CS_DBLCLKS | (r.shadow ? CS_DROPSHADOW : 0)), uClassStyle);
        EXPECT_EQ(static_cast<LONG_PTR>(WS_EX_TOPMOST | WS_EX_TOOLWINDOW),
                  ::GetWindowLongPtrA(hWnd, GWL_EXSTYLE) & (WS_EX_TOPMOST | WS_EX_TOOLWINDOW | WS_EX_APPWINDOW));
        EXPECT_TRUE(::GetWindowLongPtrA(hWnd, GWL_STYLE) & WS_POPUP);

        EXPECT_FALSE(p->LoadPicture(4321, -1, -1, -1));
        ASSERT_TRUE(p->LoadPicture(IDB_SPLASH, -1, -1, -1));
        EXPECT_EQ(358, p->GetPictureSize().cx);
        EXPECT_EQ(220, p->GetPictureSize().cy);
        POINT pt = p->GetPosition();
        EXPECT_EQ(r.centred ? (::GetSystemMetrics(SM_CXFULLSCREEN) - 358) / 2 : 0, pt.x);
        EXPECT_EQ(r.centred ? (::GetSystemMetrics(SM_CYFULLSCREEN) - 220) / 2 : 0, pt.y);

        p->Dismiss();
        EXPECT_FALSE(::IsWindow(hWnd));
        EXPECT_TRUE(bDeleted);
        ::UnregisterClassA(CSplashScreenEx::kWindowClass, ::GetModuleHandleA(nullptr));
    }
}

TEST_F(SplashScreenEx, DrawsEachTextOnlyInsideItsRectangle)
{
    CTestSplash* p = MakeStarterSplash();
    HWND hWnd = p->GetSafeHwnd();
    const RECT rcMain = {0, 172, 360, 222};
    const RECT rcVersion = {5, 5, 45, 15};
    const RECT rcClose = {335, 5, 360, 15};

    std::vector<DWORD> bare = Render(hWnd, 358, 220);
    // Nothing but the picture: the corners of the bitmap are its own light background.
    EXPECT_NE(0u, bare[0] & 0xFFFFFF);

    p->SetMainTextRect(rcMain);
    p->SetStatusText("Starting Wayfarer (Portable Tessaly)...");
    p->SetMainTextFormat(DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    std::vector<DWORD> withMain = Render(hWnd, 358, 220);
    DiffCount d = CountChanges(bare, withMain, 358, rcMain);
    EXPECT_GT(d.inside, 50);
    EXPECT_EQ(0, d.outside);

    p->SetVersionArea(rcVersion);
    p->SetVersionLabel("v.6-10-2");
    std::vector<DWORD> withVersion = Render(hWnd, 358, 220);
    d = CountChanges(withMain, withVersion, 358, rcVersion);
    EXPECT_GT(d.inside, 10);
    EXPECT_EQ(0, d.outside);

    p->SetCloseMarkArea(rcClose);
    p->SetCloseMarkLabel("X");
    std::vector<DWORD> withClose = Render(hWnd, 358, 220);
    d = CountChanges(withVersion, withClose, 358, rcClose);
    EXPECT_GT(d.inside, 3);
    EXPECT_EQ(0, d.outside);

    // A new picture takes the whole picture as text rectangle again.
    ASSERT_TRUE(p->LoadPicture(IDB_SPLASH, -1, -1, -1));
    const RECT& rc = p->GetMainTextRect();
    EXPECT_EQ(0, rc.left);
    EXPECT_EQ(0, rc.top);
    EXPECT_EQ(358, rc.right);
    EXPECT_EQ(220, rc.bottom);
    p->Dismiss();
}

TEST_F(SplashScreenEx, StatusTextIsCutAtLineFeedBeforeCarriageReturn)
{
    struct Row { const char* in; const char* shown; };
    static const Row kRows[] = {
        {"Wayfarer has started", "Wayfarer has started"},
        {"Tessaly has switched.\nTessaly now reads", "Tessaly has switched.\nTessaly now reads"},
        {"first line\n\rsecond line", "first line"},
        {"a\r\nb\n\rc", "a\r\nb"},
        {"\n\rall gone", ""},
    };
    CTestSplash* p = MakeStarterSplash();
    for (const Row& r : kRows) {
        SCOPED_TRACE(r.in);
        p->SetStatusText(r.in);
        EXPECT_EQ(r.shown, p->GetStatusText());
    }
    p->SetStatusText(nullptr);
    EXPECT_EQ("", p->GetStatusText());
    p->Dismiss();
}

TEST_F(SplashScreenEx, TransparentColourIsCutOutOfTheWindow)
{
    CTestSplash* p = MakeStarterSplash();
    HWND hWnd = p->GetSafeHwnd();
    DWORD dwCorner = Render(hWnd, 358, 220)[0] & 0xFFFFFF;
    ASSERT_TRUE(p->LoadPicture(IDB_SPLASH, (dwCorner >> 16) & 0xFF, (dwCorner >> 8) & 0xFF, dwCorner & 0xFF));
    HRGN hRegion = ::CreateRectRgn(0, 0, 0, 0);
    ASSERT_NE(ERROR, ::GetWindowRgn(hWnd, hRegion));
    EXPECT_FALSE(::PtInRegion(hRegion, 0, 0));
    EXPECT_TRUE(::PtInRegion(hRegion, 70, 100));   // inside the emblem
    ::DeleteObject(hRegion);
    p->Dismiss();
}

TEST_F(SplashScreenEx, DisplayAndDismissWithAndWithoutAnimation)
{
    for (bool bAnimate : {true, false}) {
        SCOPED_TRACE(bAnimate ? "animated" : "plain");
        TsTraceReset();
        bool bDeleted = false;
        CTestSplash* p = MakeStarterSplash(&bDeleted, bAnimate);
        HWND hWnd = p->GetSafeHwnd();
        EXPECT_EQ(bAnimate, p->HasAnimation());
        p->Display();
        EXPECT_TRUE(::IsWindowVisible(hWnd));
        RECT rc;
        ::GetWindowRect(hWnd, &rc);
        EXPECT_EQ(p->GetPosition().x, rc.left);
        EXPECT_EQ(p->GetPosition().y, rc.top);
        EXPECT_EQ(358, rc.right - rc.left);
        EXPECT_EQ(220, rc.bottom - rc.top);
        // Showing must not take the focus from what the user works in.
        EXPECT_NE(hWnd, ::GetForegroundWindow());
        p->Dismiss();
        EXPECT_FALSE(::IsWindow(hWnd));
        EXPECT_TRUE(bDeleted);
        EXPECT_EQ(std::string::npos, Trace().find("!!!SA")) << Trace();
    }
}

TEST_F(SplashScreenEx, NeverDisplayedSplashIsDestroyedByDismiss)
{
    bool bDeleted = false;
    CTestSplash* p = MakeStarterSplash(&bDeleted);
    HWND hWnd = p->GetSafeHwnd();
    p->Dismiss();
    EXPECT_FALSE(::IsWindow(hWnd));
    EXPECT_TRUE(bDeleted);
}

TEST_F(SplashScreenEx, TimeoutSetsDoneOnlyWhenGiven)
{
    CTestSplash* pTimed = MakeStarterSplash(nullptr, true, 100);
    CTestSplash* pUntimed = MakeStarterSplash(nullptr, true, 0);
    pTimed->Display();
    pUntimed->Display();
    PumpFor(600);
    EXPECT_TRUE(pTimed->IsDone());
    EXPECT_FALSE(pUntimed->IsDone());
    // The timer only marks the time as over; hiding is the caller's business.
    EXPECT_TRUE(::IsWindowVisible(pTimed->GetSafeHwnd()));
    EXPECT_TRUE(::IsWindowVisible(pUntimed->GetSafeHwnd()));
    pTimed->Dismiss();
    pUntimed->Dismiss();
}

TEST_F(SplashScreenEx, HoldForPumpsUntilTheTimeIsOver)
{
    CTestSplash* p = MakeStarterSplash();
    p->Display();
    DWORD dwStart = ::GetTickCount();
    p->HoldFor(400);
    DWORD dwElapsed = ::GetTickCount() - dwStart;
    EXPECT_GE(dwElapsed, 380u);
    EXPECT_LT(dwElapsed, 3000u);
    EXPECT_TRUE(p->IsDone());
    EXPECT_TRUE(::IsWindowVisible(p->GetSafeHwnd()));

    // A quit message ends the hold at once and stays for the caller's own loop.
    ::PostQuitMessage(7);
    dwStart = ::GetTickCount();
    p->HoldFor(10000);
    EXPECT_LT(::GetTickCount() - dwStart, 3000u);
    MSG msg;
    ASSERT_TRUE(::PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(7u, msg.wParam);
    p->Dismiss();
}

TEST_F(SplashScreenEx, HoldEndsWhenTheWindowIsDestroyed)
{
    bool bDeleted = false;
    CTestSplash* p = MakeStarterSplash(&bDeleted);
    HWND hWnd = p->GetSafeHwnd();
    p->Display();
    // Something else ends the window (and with it the object) while the hold runs.
    ::SetTimer(nullptr, 0, 100, DestroySplashWindow);
    DWORD dwStart = ::GetTickCount();
    p->HoldFor(10000);
    EXPECT_LT(::GetTickCount() - dwStart, 3000u);
    EXPECT_FALSE(::IsWindow(hWnd));
    EXPECT_TRUE(bDeleted);
}

TEST_F(SplashScreenEx, CloseMarkMovesTheSplashToTheTaskbar)
{
    bool bDeleted = false;
    CTestSplash* p = MakeStarterSplash(&bDeleted);
    HWND hWnd = p->GetSafeHwnd();
    p->SetCloseMarkArea(RECT{335, 5, 360, 15});
    p->SetCloseMarkLabel("X");
    p->Display();

    ::SendMessageA(hWnd, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(100, 100));
    EXPECT_FALSE(::IsIconic(hWnd));
    EXPECT_FALSE(p->IsInTaskbar());

    ::SendMessageA(hWnd, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(340, 10));
    EXPECT_TRUE(::IsIconic(hWnd));
    LONG_PTR lEx = ::GetWindowLongPtrA(hWnd, GWL_EXSTYLE);
    EXPECT_TRUE(lEx & WS_EX_APPWINDOW);
    EXPECT_FALSE(lEx & WS_EX_TOOLWINDOW);
    // The taskbar button comes from the shell's taskbar list wherever the system has one.
    ITaskbarList* pList = nullptr;
    bool bShellHasList = SUCCEEDED(::CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER,
                                                      IID_ITaskbarList, reinterpret_cast<void**>(&pList)));
    if (pList)
        pList->Release();
    EXPECT_EQ(bShellHasList, p->IsInTaskbar());

    p->Dismiss();
    EXPECT_FALSE(::IsWindow(hWnd));
    EXPECT_TRUE(bDeleted);
}

TEST_F(SplashScreenEx, ClosingTheWindowOnlyHidesItUntilDismiss)
{
    // Closed from outside while shown, and after the close mark gave it a taskbar button.
    for (bool bInTaskbar : {false, true}) {
        SCOPED_TRACE(bInTaskbar ? "in the taskbar" : "shown");
        bool bDeleted = false;
        CTestSplash* p = MakeStarterSplash(&bDeleted);
        HWND hWnd = p->GetSafeHwnd();
        p->SetCloseMarkArea(RECT{335, 5, 360, 15});
        p->Display();
        if (bInTaskbar)
            ::SendMessageA(hWnd, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(340, 10));

        ::SendMessageA(hWnd, WM_SYSCOMMAND, SC_CLOSE, 0);   // what the taskbar button's Close sends
        ::SendMessageA(hWnd, WM_CLOSE, 0, 0);
        ASSERT_FALSE(bDeleted);
        ASSERT_TRUE(::IsWindow(hWnd));
        EXPECT_FALSE(::IsWindowVisible(hWnd));
        EXPECT_FALSE(p->IsInTaskbar());

        // Every later call of the owner still finds the object.
        p->SetStatusText("Stopping Wayfarer...");
        EXPECT_STREQ("Stopping Wayfarer...", p->GetStatusText());
        p->HoldFor(50);
        EXPECT_TRUE(p->IsDone());
        p->Dismiss();
        EXPECT_FALSE(::IsWindow(hWnd));
        EXPECT_TRUE(bDeleted);
    }
}

}  // namespace
