#include "starter/GreetingDialog.h"

#include "Strings/TsWindowCommon.h"
#include "framework/WinApp.h"
#include "resources/resource.h"

void SetDialogIcons(HWND hDlg, HICON hIcon)
{
    ::SendMessageA(hDlg, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(hIcon));
    ::SendMessageA(hDlg, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(hIcon));
}

bool HandleIconMessages(HWND hDlg, HICON hIcon, UINT uMsg, INT_PTR& nResult)
{
    switch (uMsg) {
    case WM_PAINT: {
        if (!::IsIconic(hDlg))
            return false;
        PAINTSTRUCT ps;
        HDC hDC = ::BeginPaint(hDlg, &ps);
        ::SendMessageA(hDlg, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(hDC), 0);
        RECT rc;
        ::GetClientRect(hDlg, &rc);
        int x = (rc.right - rc.left - ::GetSystemMetrics(SM_CXICON) + 1) / 2;
        int y = (rc.bottom - rc.top - ::GetSystemMetrics(SM_CYICON) + 1) / 2;
        ::DrawIcon(hDC, x, y, hIcon);
        ::EndPaint(hDlg, &ps);
        nResult = TRUE;
        return true;
    }
    case WM_QUERYDRAGICON:
        // One of the few messages whose dialog-procedure result is the answer itself.
        nResult = reinterpret_cast<INT_PTR>(hIcon);
        return true;
    }
    return false;
}

HBITMAP LoadBitmapFile(const CString& sPath)
{
    return static_cast<HBITMAP>(
        ::LoadImageA(nullptr, sPath.c_str(), IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE | LR_CREATEDIBSECTION));
}

CGreetingDialog::CGreetingDialog()
    : CDialog(IDD_GREETING, nullptr),
      m_hIcon(::LoadIconA(AfxGetInstanceHandle(), MAKEINTRESOURCEA(IDR_MAINFRAME)))
{
}

BOOL CGreetingDialog::OnInitDialog()
{
    CDialog::OnInitDialog();
    SetDialogIcons(m_hWnd, m_hIcon);
    CString sPath = m_strFolder + "\\tessaly_greet.bmp";
    m_picture.Reset(LoadBitmapFile(sPath));
    if (m_picture) {
        ::SendDlgItemMessageA(m_hWnd, IDC_GREETING_PICTURE, STM_SETIMAGE, IMAGE_BITMAP,
                              reinterpret_cast<LPARAM>(m_picture.Get()));
        return TRUE;
    }
    CString sText;
    sText.Format("Wayfarer file '%s' does not exist.", sPath.c_str());
    TsMsgBox(TS_MSG_ERROR, nullptr, sText, "Wayfarer");
    return FALSE;
}

INT_PTR CGreetingDialog::HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    INT_PTR nResult = 0;
    if (HandleIconMessages(m_hWnd, m_hIcon, uMsg, nResult))
        return nResult;
    return CDialog::HandleMessage(uMsg, wParam, lParam);
}
