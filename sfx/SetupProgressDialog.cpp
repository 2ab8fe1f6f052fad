#include "sfx/SetupProgressDialog.h"

#include <commctrl.h>

#include "resources/resource.h"

CSetupProgressDialog::CSetupProgressDialog() : CDialog(IDD_PROGRESS) {}

void CenterOnWorkArea(HWND hWnd)
{
    RECT rcWork;
    if (!::SystemParametersInfoA(SPI_GETWORKAREA, 0, &rcWork, 0))
        ::SetRect(&rcWork, 0, 0, ::GetSystemMetrics(SM_CXSCREEN), ::GetSystemMetrics(SM_CYSCREEN));
    RECT rc;
    ::GetWindowRect(hWnd, &rc);
    int cx = rc.right - rc.left;
    int cy = rc.bottom - rc.top;
    int x = rcWork.left + ((rcWork.right - rcWork.left) - cx) / 2;
    int y = rcWork.top + ((rcWork.bottom - rcWork.top) - cy) / 2;
    // Pushed back inside; a window larger than the work area keeps its top left corner visible.
    if (x + cx > rcWork.right)
        x = rcWork.right - cx;
    if (y + cy > rcWork.bottom)
        y = rcWork.bottom - cy;
    if (x < rcWork.left)
        x = rcWork.left;
    if (y < rcWork.top)
        y = rcWork.top;
    ::SetWindowPos(hWnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

BOOL CSetupProgressDialog::OnInitDialog()
{
    CenterOnWorkArea(m_hWnd);
    ::SendDlgItemMessageA(m_hWnd, IDC_PROGRESS, PBM_SETRANGE32, 0, kRange);
    return TRUE;
}

void CSetupProgressDialog::SetStatus(const char* pszText)
{
    if (m_hWnd)
        ::SetDlgItemTextA(m_hWnd, IDC_STATUS_TEXT, pszText);
}

void CSetupProgressDialog::SetProgress(int nPos)
{
    if (m_hWnd)
        ::SendDlgItemMessageA(m_hWnd, IDC_PROGRESS, PBM_SETPOS, static_cast<WPARAM>(nPos), 0);
}
