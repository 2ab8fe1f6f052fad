#include "framework/Wnd.h"
#include "framework/WinApp.h"

CWnd::~CWnd()
{
    // A window that outlives its object would call into freed memory: detach it first.
    if (m_hWnd && ::IsWindow(m_hWnd)) {
        ::SetWindowLongPtrA(m_hWnd, GWLP_USERDATA, 0);
        ::DestroyWindow(m_hWnd);
    }
}

bool CWnd::CreateEx(DWORD dwExStyle, const char* pszClass, const char* pszTitle, DWORD dwStyle, int x, int y,
                    int cx, int cy, HWND hOwner)
{
    HWND hWnd = ::CreateWindowExA(dwExStyle, pszClass, pszTitle ? pszTitle : "", dwStyle, x, y, cx, cy, hOwner,
                                  nullptr, AfxGetInstanceHandle(), this);
    return hWnd != nullptr;
}

bool CWnd::DestroyWindow()
{
    return m_hWnd && ::DestroyWindow(m_hWnd);
}

LRESULT CWnd::HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    return ::DefWindowProcA(m_hWnd, uMsg, wParam, lParam);
}

LRESULT CALLBACK CWnd::WindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    CWnd* pThis;
    if (uMsg == WM_NCCREATE) {
        pThis = static_cast<CWnd*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
        if (pThis) {
            pThis->m_hWnd = hWnd;
            ::SetWindowLongPtrA(hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(pThis));
        }
    } else {
        pThis = reinterpret_cast<CWnd*>(::GetWindowLongPtrA(hWnd, GWLP_USERDATA));
    }
    if (!pThis)
        return ::DefWindowProcA(hWnd, uMsg, wParam, lParam);
    LRESULT r = 0;
    try {
        r = pThis->HandleMessage(uMsg, wParam, lParam);
    } catch (...) {
        // The handler reported what it could; the window goes on.
    }
    if (uMsg == WM_NCDESTROY) {
        ::SetWindowLongPtrA(hWnd, GWLP_USERDATA, 0);
        pThis->m_hWnd = nullptr;
        pThis->PostNcDestroy();
    }
    return r;
}
