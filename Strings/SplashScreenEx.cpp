#include "Strings/SplashScreenEx.h"

#include <shobjidl.h>
#include <vector>

#include "Strings/TsLog.h"
#include "framework/WinApp.h"

const char* const CSplashScreenEx::kWindowClass = "SplashScreenExClass";

namespace {

const UINT_PTR kTimerId = 0;
const DWORD kFadeInMs = 500;
const DWORD kFadeOutMs = 200;
const UINT kLabelFormat = DT_CENTER | DT_VCENTER | DT_SINGLELINE;

bool IsRectEmptyOrNull(const RECT& rc)
{
    return rc.right <= rc.left || rc.bottom <= rc.top;
}

// The taskbar-list object of the shell, initialised; null where the shell has none.
ITaskbarList* CreateTaskbarList()
{
    ITaskbarList* pList = nullptr;
    if (FAILED(::CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskbarList,
                                  reinterpret_cast<void**>(&pList))) || !pList)
        return nullptr;
    if (FAILED(pList->HrInit())) {
        pList->Release();
        return nullptr;
    }
    return pList;
}

// A region of every pixel whose colour is not crTransparent.
HRGN CreateRegionWithout(HBITMAP hBitmap, int nWidth, int nHeight, COLORREF crTransparent)
{
    BITMAPINFO bmi = {};
    bmi.bmiHeader.biSize = sizeof(bmi.bmiHeader);
    bmi.bmiHeader.biWidth = nWidth;
    bmi.bmiHeader.biHeight = -nHeight;   // top-down rows
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = 32;
    bmi.bmiHeader.biCompression = BI_RGB;
    std::vector<DWORD> pixels(static_cast<size_t>(nWidth) * static_cast<size_t>(nHeight));
    HDC hScreen = ::GetDC(nullptr);
    int nRows = ::GetDIBits(hScreen, hBitmap, 0, static_cast<UINT>(nHeight), pixels.data(), &bmi, DIB_RGB_COLORS);
    ::ReleaseDC(nullptr, hScreen);
    if (nRows != nHeight)
        return nullptr;
    // DIB pixels are 0x00RRGGBB; COLORREF is 0x00BBGGRR.
    DWORD dwKey = (static_cast<DWORD>(GetRValue(crTransparent)) << 16) |
                  (static_cast<DWORD>(GetGValue(crTransparent)) << 8) | GetBValue(crTransparent);
    HRGN hRegion = ::CreateRectRgn(0, 0, 0, 0);
    for (int y = 0; y < nHeight; ++y) {
        const DWORD* pRow = pixels.data() + static_cast<size_t>(y) * static_cast<size_t>(nWidth);
        int x = 0;
        while (x < nWidth) {
            while (x < nWidth && (pRow[x] & 0xFFFFFF) == dwKey)
                ++x;
            int nStart = x;
            while (x < nWidth && (pRow[x] & 0xFFFFFF) != dwKey)
                ++x;
            if (x > nStart) {
                HRGN hRun = ::CreateRectRgn(nStart, y, x, y + 1);
                ::CombineRgn(hRegion, hRegion, hRun, RGN_OR);
                ::DeleteObject(hRun);
            }
        }
    }
    return hRegion;
}

HFONT CopyDefaultGuiFont(LONG lWeight, BYTE bItalic, BYTE bUnderline)
{
    LOGFONTA lf = {};
    ::GetObjectA(::GetStockObject(DEFAULT_GUI_FONT), sizeof(lf), &lf);
    lf.lfWeight = lWeight;
    lf.lfItalic = bItalic;
    lf.lfUnderline = bUnderline;
    return ::CreateFontIndirectA(&lf);
}

}  // namespace

CSplashScreenEx::CSplashScreenEx()
{
    HMODULE hUser = ::GetModuleHandleA("USER32.DLL");
    if (hUser)
        m_pfnAnimateWindow = reinterpret_cast<AnimateWindowFn>(
            reinterpret_cast<void*>(::GetProcAddress(hUser, "AnimateWindow")));
    SetMainFontDefault();
}

CSplashScreenEx::~CSplashScreenEx()
{
    // Only reached with a window when someone deletes the object directly: the base class
    // detaches and destroys the window without calling back into this object.
}

bool CSplashScreenEx::RegisterWindowClass()
{
    HINSTANCE hInstance = AfxGetInstanceHandle();
    WNDCLASSA wc = {};
    if (::GetClassInfoA(hInstance, kWindowClass, &wc))
        return true;
    wc.style = CS_SAVEBITS | CS_DBLCLKS;
    if (m_dwStyle & kShadow)
        wc.style |= CS_DROPSHADOW;
    wc.lpfnWndProc = CWnd::WindowProc;
    wc.hInstance = hInstance;
    wc.hCursor = ::LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
    wc.lpszClassName = kWindowClass;
    if (::RegisterClassA(&wc))
        return true;
    // Systems before XP refuse the drop-shadow style.
    if (!(wc.style & CS_DROPSHADOW))
        return false;
    wc.style &= ~CS_DROPSHADOW;
    return ::RegisterClassA(&wc) != 0;
}

bool CSplashScreenEx::CreateSplashWindow(HWND hParent, const char* pszText, DWORD dwTimeout, DWORD dwStyle)
{
    if (!hParent)
        TsAssertFail("Strings\\SplashScreenEx", __LINE__, 0, "CreateSplashWindow: no parent window");
    m_hParent = hParent;
    m_strText = pszText ? pszText : "";
    m_dwTimeout = dwTimeout;
    m_dwStyle = dwStyle;
    if (!RegisterWindowClass())
        return false;
    return CreateEx(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, kWindowClass, "", WS_POPUP, 0, 0, 0, 0, hParent);
}

bool CSplashScreenEx::LoadPicture(UINT nResourceId, int nRed, int nGreen, int nBlue)
{
    HBITMAP hBitmap = ::LoadBitmapA(AfxGetInstanceHandle(), MAKEINTRESOURCEA(nResourceId));
    if (!hBitmap)
        return false;
    m_bitmap.Reset(hBitmap);
    BITMAP bm = {};
    ::GetObjectA(hBitmap, sizeof(bm), &bm);
    m_nWidth = bm.bmWidth;
    m_nHeight = bm.bmHeight;
    m_rcText = RECT{0, 0, m_nWidth, m_nHeight};
    if (m_dwStyle & kCenterScreen) {
        m_nLeft = (::GetSystemMetrics(SM_CXFULLSCREEN) - m_nWidth) / 2;
        m_nTop = (::GetSystemMetrics(SM_CYFULLSCREEN) - m_nHeight) / 2;
    }
    if (nRed != -1 && nGreen != -1 && nBlue != -1) {
        HRGN hRegion = CreateRegionWithout(hBitmap, m_nWidth, m_nHeight,
                                           RGB(nRed & 0xFF, nGreen & 0xFF, nBlue & 0xFF));
        if (hRegion && m_hWnd) {
            // The window owns the region from here on.
            ::SetWindowRgn(m_hWnd, hRegion, TRUE);
            m_hRegion = hRegion;
        } else if (hRegion) {
            ::DeleteObject(hRegion);
        }
    }
    Redraw();
    return true;
}

void CSplashScreenEx::SetMainFont(DWORD dwStyle)
{
    HFONT hFont = CopyDefaultGuiFont((dwStyle & 1) ? FW_BOLD : FW_NORMAL, (dwStyle & 2) ? TRUE : FALSE,
                                     (dwStyle & 4) ? TRUE : FALSE);
    if (hFont)
        m_font.Reset(hFont);
}

void CSplashScreenEx::SetMainFontDefault()
{
    LOGFONTA lf = {};
    ::GetObjectA(::GetStockObject(DEFAULT_GUI_FONT), sizeof(lf), &lf);
    HFONT hFont = ::CreateFontIndirectA(&lf);
    if (hFont)
        m_font.Reset(hFont);
}

void CSplashScreenEx::SetStatusText(const char* pszText)
{
    m_strText = pszText ? pszText : "";
    // Texts joined from several lines carry "\n\r" where the first line ends: show that one.
    int nCut = m_strText.Find("\n\r");
    if (nCut >= 0)
        m_strText = m_strText.Left(nCut);
    Redraw();
}

void CSplashScreenEx::SetMainTextColor(COLORREF crColor)
{
    m_crTextColor = crColor;
    Redraw();
}

void CSplashScreenEx::SetMainTextRect(const RECT& rc)
{
    m_rcText = rc;
    Redraw();
}

void CSplashScreenEx::SetMainTextFormat(UINT uFormat)
{
    m_uTextFormat = uFormat;
}

void CSplashScreenEx::SetVersionArea(const RECT& rc)
{
    m_rcVersion = rc;
    Redraw();
}

void CSplashScreenEx::SetVersionLabel(const char* pszText)
{
    m_strVersion = pszText ? pszText : "";
    Redraw();
}

void CSplashScreenEx::SetCloseMarkArea(const RECT& rc)
{
    m_rcCloseMark = rc;
    Redraw();
}

void CSplashScreenEx::SetCloseMarkLabel(const char* pszText)
{
    m_strCloseMark = pszText ? pszText : "";
    Redraw();
}

void CSplashScreenEx::Redraw()
{
    if (m_hWnd)
        ::RedrawWindow(m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
}

void CSplashScreenEx::Display()
{
    if (!m_hWnd)
        return;
    ::SetWindowPos(m_hWnd, nullptr, m_nLeft, m_nTop, m_nWidth, m_nHeight, SWP_NOZORDER | SWP_NOACTIVATE);
    bool bShown = false;
    if ((m_dwStyle & kFadeIn) && m_pfnAnimateWindow) {
        bShown = m_pfnAnimateWindow(m_hWnd, kFadeInMs, AW_BLEND) != FALSE;
        SOFTASSERT(bShown);
    }
    if (!bShown)
        ::ShowWindow(m_hWnd, SW_SHOWNA);
    // The start goes on without pumping messages for a while: paint now.
    ::UpdateWindow(m_hWnd);
    if (m_dwTimeout != 0)
        ::SetTimer(m_hWnd, kTimerId, m_dwTimeout, nullptr);
}

void CSplashScreenEx::Dismiss()
{
    if (!m_hWnd || !::IsWindow(m_hWnd))
        return;
    bool bHidden = false;
    if ((m_dwStyle & kFadeOut) && m_pfnAnimateWindow && ::IsWindowVisible(m_hWnd)) {
        bHidden = m_pfnAnimateWindow(m_hWnd, kFadeOutMs, AW_BLEND | AW_HIDE) != FALSE;
        SOFTASSERT(bHidden);
    }
    if (!bHidden)
        ::ShowWindow(m_hWnd, SW_HIDE);
    RemoveTaskbarButton();
    // Deletes this object (PostNcDestroy).
    DestroyWindow();
}

void CSplashScreenEx::RemoveTaskbarButton()
{
    if (!m_bInTaskbar)
        return;
    if (ITaskbarList* pList = CreateTaskbarList()) {
        pList->DeleteTab(m_hWnd);
        pList->Release();
    }
    m_bInTaskbar = FALSE;
}

void CSplashScreenEx::HoldFor(DWORD dwMilliseconds)
{
    HWND hWnd = m_hWnd;
    if (!hWnd)
        return;
    ::KillTimer(hWnd, kTimerId);
    m_bDone = FALSE;
    if (!::SetTimer(hWnd, kTimerId, dwMilliseconds, nullptr)) {
        SOFTASSERT(FALSE);
        return;
    }
    // The object dies with its window, so the window is checked before any member.
    while (::IsWindow(hWnd) && !m_bDone) {
        MSG msg;
        BOOL bGot = ::GetMessageA(&msg, nullptr, 0, 0);
        if (bGot == -1)
            break;
        if (bGot == 0) {
            // The program is ending: leave the quit message to the caller's loop.
            ::PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        if (::IsWindow(hWnd) && PreTranslateMessage(&msg))
            continue;
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
}

BOOL CSplashScreenEx::PreTranslateMessage(MSG* pMsg)
{
    return CWnd::PreTranslateMessage(pMsg);
}

void CSplashScreenEx::DrawLabel(HDC hDC, const CString& sText, const RECT& rc, HFONT hFont, UINT uFormat) const
{
    if (sText.IsEmpty() || IsRectEmptyOrNull(rc))
        return;
    HGDIOBJ hOldFont = ::SelectObject(hDC, hFont);
    ::SetBkMode(hDC, TRANSPARENT);
    ::SetTextColor(hDC, m_crTextColor);
    RECT rcDraw = rc;
    ::DrawTextA(hDC, sText.c_str(), sText.GetLength(), &rcDraw, uFormat);
    ::SelectObject(hDC, hOldFont);
}

void CSplashScreenEx::Draw(HDC hDC) const
{
    if (m_bitmap) {
        HDC hMemDC = ::CreateCompatibleDC(hDC);
        if (hMemDC) {
            HGDIOBJ hOld = ::SelectObject(hMemDC, m_bitmap.Get());
            ::BitBlt(hDC, 0, 0, m_nWidth, m_nHeight, hMemDC, 0, 0, SRCCOPY);
            ::SelectObject(hMemDC, hOld);
            ::DeleteDC(hMemDC);
        }
    }
    DrawLabel(hDC, m_strText, m_rcText, static_cast<HFONT>(m_font.Get()), m_uTextFormat);
    HFONT hSmall = static_cast<HFONT>(::GetStockObject(ANSI_VAR_FONT));
    DrawLabel(hDC, m_strVersion, m_rcVersion, hSmall, kLabelFormat);
    DrawLabel(hDC, m_strCloseMark, m_rcCloseMark, hSmall, kLabelFormat);
}

void CSplashScreenEx::MoveToTaskbar()
{
    LONG_PTR lExStyle = ::GetWindowLongPtrA(m_hWnd, GWL_EXSTYLE);
    ::SetWindowLongPtrA(m_hWnd, GWL_EXSTYLE, (lExStyle & ~static_cast<LONG_PTR>(WS_EX_TOOLWINDOW)) | WS_EX_APPWINDOW);
    if (ITaskbarList* pList = CreateTaskbarList()) {
        if (SUCCEEDED(pList->AddTab(m_hWnd)))
            m_bInTaskbar = TRUE;
        pList->Release();
    }
    ::ShowWindow(m_hWnd, SW_MINIMIZE);
}

LRESULT CSplashScreenEx::HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    switch (uMsg) {
    case WM_ERASEBKGND:
        return TRUE;   // the picture covers everything
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC hDC = ::BeginPaint(m_hWnd, &ps);
        if (hDC)
            Draw(hDC);
        ::EndPaint(m_hWnd, &ps);
        return 0;
    }
    case WM_PRINTCLIENT:
        Draw(reinterpret_cast<HDC>(wParam));
        return 0;
    case WM_TIMER:
        if (wParam == kTimerId) {
            ::KillTimer(m_hWnd, kTimerId);
            m_bDone = TRUE;
            return 0;
        }
        break;
    case WM_CLOSE:
        // Closed through its taskbar button or by another program. Its owner holds this
        // object and goes on using it until Dismiss, so the window must live on: it only
        // goes out of sight.
        ::ShowWindow(m_hWnd, SW_HIDE);
        RemoveTaskbarButton();
        return 0;
    case WM_LBUTTONDOWN: {
        POINT pt = {static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
        if (::PtInRect(&m_rcCloseMark, pt))
            MoveToTaskbar();
        return 0;
    }
    }
    return CWnd::HandleMessage(uMsg, wParam, lParam);
}

void CSplashScreenEx::PostNcDestroy()
{
    delete this;
}
