#pragma once
// A window of the framework layer: the static window procedure recovers `this` from the
// creation parameter and forwards every message to HandleMessage; no exception leaves it.
// After WM_NCDESTROY the object is detached from its window and PostNcDestroy runs last,
// so a self-owning window may delete itself there.
#include <windows.h>

class CWnd {
public:
    CWnd() = default;
    virtual ~CWnd();
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;

    // The name of the object's dynamic class, for traces and tests.
    virtual const char* GetRuntimeClassName() const { return "CWnd"; }

    // Creates the window of a class whose procedure is WindowProc; false when it fails.
    bool CreateEx(DWORD dwExStyle, const char* pszClass, const char* pszTitle, DWORD dwStyle, int x, int y,
                  int cx, int cy, HWND hOwner);
    bool DestroyWindow();
    HWND GetSafeHwnd() const { return m_hWnd; }

    // Offered every message of a loop that the window runs itself; TRUE: the message is
    // consumed. The default consumes nothing.
    virtual BOOL PreTranslateMessage(MSG*) { return FALSE; }

    // The window procedure to register with a window class.
    static LRESULT CALLBACK WindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);

protected:
    // The default passes the message to DefWindowProc.
    virtual LRESULT HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam);
    virtual void PostNcDestroy() {}

    HWND m_hWnd = nullptr;
};
