#include "framework/Dialog.h"
#include "framework/WinApp.h"

CDialog::~CDialog()
{
    if (m_hWnd && !m_bModal)
        ::DestroyWindow(m_hWnd);
}

INT_PTR CDialog::DoModal()
{
    m_bModal = true;
    HINSTANCE hInst = m_hResources ? m_hResources : AfxGetInstanceHandle();
    INT_PTR r = ::DialogBoxParamA(hInst, MAKEINTRESOURCEA(m_nIDTemplate), m_hParent, s_DlgProc,
                                  reinterpret_cast<LPARAM>(this));
    m_hWnd = nullptr;
    return r;
}

bool CDialog::Create(HWND hParent)
{
    m_bModal = false;
    if (hParent)
        m_hParent = hParent;
    HINSTANCE hInst = m_hResources ? m_hResources : AfxGetInstanceHandle();
    HWND h = ::CreateDialogParamA(hInst, MAKEINTRESOURCEA(m_nIDTemplate), m_hParent, s_DlgProc,
                                  reinterpret_cast<LPARAM>(this));
    return h != nullptr;
}

void CDialog::DestroyWindow()
{
    if (m_hWnd)
        ::DestroyWindow(m_hWnd);
    m_hWnd = nullptr;
}

void CDialog::EndDialog(INT_PTR nResult)
{
    if (m_bModal)
        ::EndDialog(m_hWnd, nResult);
    else
        DestroyWindow();
}

INT_PTR CDialog::HandleMessage(UINT uMsg, WPARAM wParam, LPARAM)
{
    switch (uMsg) {
    case WM_INITDIALOG:
        return OnInitDialog();
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK:
            OnOK();
            return TRUE;
        case IDCANCEL:
            OnCancel();
            return TRUE;
        }
        break;
    }
    return FALSE;
}

INT_PTR CALLBACK CDialog::s_DlgProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    CDialog* pThis;
    if (uMsg == WM_INITDIALOG) {
        pThis = reinterpret_cast<CDialog*>(lParam);
        pThis->m_hWnd = hWnd;
        ::SetWindowLongPtrA(hWnd, DWLP_USER, reinterpret_cast<LONG_PTR>(pThis));
    } else {
        pThis = reinterpret_cast<CDialog*>(::GetWindowLongPtrA(hWnd, DWLP_USER));
    }
    if (!pThis)
        return FALSE;
    INT_PTR r = FALSE;
    try {
        r = pThis->HandleMessage(uMsg, wParam, lParam);
    } catch (...) {
        // The handler reported what it could; the dialog goes on.
    }
    if (uMsg == WM_NCDESTROY) {
        ::SetWindowLongPtrA(hWnd, DWLP_USER, 0);
        pThis->m_hWnd = nullptr;
    }
    return r;
}
