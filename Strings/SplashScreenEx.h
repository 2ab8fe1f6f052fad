#pragma once
// The splash screen: a borderless top-most popup that shows a bitmap with a status text, a
// small version text and a close mark drawn over it. The object owns itself once its window
// exists: destroying the window (Dismiss) deletes the object, so create it with new and
// forget the pointer after Dismiss. Closing the window (WM_CLOSE, from its taskbar button or
// another program) only hides it, so that the owner's pointer stays good until Dismiss.
#include <windows.h>
#include "framework/CString.h"
#include "framework/Unique.h"
#include "framework/Wnd.h"

class CSplashScreenEx : public CWnd {
public:
    // Style flags of CreateSplashWindow.
    enum : DWORD {
        kFadeIn = 1,        // fade in when shown (where the system can animate windows)
        kFadeOut = 2,       // fade out when dismissed
        kShadow = 4,        // drop shadow under the window
        kCenterScreen = 8,  // LoadPicture centres the window on the work area
    };
    static const char* const kWindowClass;  // "SplashScreenExClass"

    CSplashScreenEx();
    // Only for an object whose window was never created; otherwise Dismiss deletes it.
    ~CSplashScreenEx() override;
    const char* GetRuntimeClassName() const override { return "CSplashScreenEx"; }

    // Registers the window class and creates the hidden window owned by hParent, which must
    // not be null (a hard assertion). A null text counts as empty; a timeout of 0 starts no
    // timer in Display. True when the window exists.
    bool CreateSplashWindow(HWND hParent, const char* pszText, DWORD dwTimeout, DWORD dwStyle);

    // Replaces the picture by a bitmap resource of the program. A colour part of -1 means no
    // transparent colour; otherwise pixels of that colour are cut out of the window. Resets
    // the text rectangle to the whole picture. True when the bitmap loaded.
    bool LoadPicture(UINT nResourceId, int nRed, int nGreen, int nBlue);

    // Main-text font from the default GUI font: 1 bold, 2 italic, 4 underlined.
    void SetMainFont(DWORD dwStyle);
    void SetMainFontDefault();
    // Stores the text cut before the first "\n\r", and redraws.
    void SetStatusText(const char* pszText);
    void SetMainTextColor(COLORREF crColor);
    void SetMainTextRect(const RECT& rc);
    void SetMainTextFormat(UINT uFormat);   // no redraw
    void SetVersionArea(const RECT& rc);
    void SetVersionLabel(const char* pszText);
    void SetCloseMarkArea(const RECT& rc);
    void SetCloseMarkLabel(const char* pszText);

    // Places the window and shows it without activating it (fading in with kFadeIn), then
    // starts the timeout's timer when there is one.
    void Display();
    // Hides the window (fading out with kFadeOut), removes its taskbar button if it got one,
    // and destroys it: the object is deleted. Nothing happens when there is no window.
    void Dismiss();
    // Runs the calling thread's message loop for dwMilliseconds, or until a quit message
    // (which is posted again for the caller's loop) or the window's end. Does not hide it.
    void HoldFor(DWORD dwMilliseconds);

    const CString& GetStatusText() const { return m_strText; }
    const RECT& GetMainTextRect() const { return m_rcText; }
    SIZE GetPictureSize() const { return SIZE{m_nWidth, m_nHeight}; }
    POINT GetPosition() const { return POINT{m_nLeft, m_nTop}; }
    bool IsDone() const { return m_bDone != 0; }
    bool IsInTaskbar() const { return m_bInTaskbar != 0; }

    // Draws the picture and the texts into hDC as the window shows them.
    void Draw(HDC hDC) const;

protected:
    LRESULT HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam) override;
    void PostNcDestroy() override;
    BOOL PreTranslateMessage(MSG* pMsg) override;

    using AnimateWindowFn = BOOL(WINAPI*)(HWND, DWORD, DWORD);

    AnimateWindowFn m_pfnAnimateWindow = nullptr;   // null where the system lacks it
    HWND m_hParent = nullptr;
    CUniqueGdiObject m_bitmap;
    CUniqueGdiObject m_font;
    HRGN m_hRegion = nullptr;       // the window owns it once set
    DWORD m_dwStyle = 0;
    DWORD m_dwTimeout = 2000;
    CString m_strText;
    RECT m_rcText = {0, 0, 0, 0};
    CString m_strVersion;
    RECT m_rcVersion = {0, 0, 0, 0};
    CString m_strCloseMark;
    RECT m_rcCloseMark = {0, 0, 0, 0};
    UINT m_uTextFormat = DT_CENTER | DT_VCENTER | DT_WORDBREAK;
    COLORREF m_crTextColor = RGB(0, 0, 0);
    int m_nWidth = 0;
    int m_nHeight = 0;
    int m_nLeft = 0;
    int m_nTop = 0;
    BOOL m_bDone = FALSE;
    BOOL m_bInTaskbar = FALSE;

private:
    bool RegisterWindowClass();
    void Redraw();
    void MoveToTaskbar();
    void RemoveTaskbarButton();
    void DrawLabel(HDC hDC, const CString& sText, const RECT& rc, HFONT hFont, UINT uFormat) const;
};
