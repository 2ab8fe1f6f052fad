#pragma once
// A dialog from a resource template, modal (DoModal) or modeless (Create).
// The static procedure recovers `this` from the creation parameter and forwards every
// message to HandleMessage; no exception leaves the procedure.
#include <windows.h>

class CDialog {
public:
    CDialog(UINT nIDTemplate, HWND hParent = nullptr) : m_nIDTemplate(nIDTemplate), m_hParent(hParent) {}
    virtual ~CDialog();
    CDialog(const CDialog&) = delete;
    CDialog& operator=(const CDialog&) = delete;

    INT_PTR DoModal();                 // the EndDialog result, or -1 when the template fails
    bool Create(HWND hParent = nullptr);  // modeless; false when the template fails
    void DestroyWindow();
    void EndDialog(INT_PTR nResult);

    HWND GetSafeHwnd() const { return m_hWnd; }
    HWND GetDlgItem(int nID) const { return ::GetDlgItem(m_hWnd, nID); }

    HINSTANCE m_hResources = nullptr;  // module holding the template; null: the program

protected:
    virtual BOOL OnInitDialog() { return TRUE; }
    virtual void OnOK() { EndDialog(IDOK); }
    virtual void OnCancel() { EndDialog(IDCANCEL); }
    // Return TRUE when the message was handled; the default handles WM_INITDIALOG and
    // the OK/Cancel commands.
    virtual INT_PTR HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam);

    HWND m_hWnd = nullptr;
    UINT m_nIDTemplate;
    HWND m_hParent;
    bool m_bModal = false;

private:
    static INT_PTR CALLBACK s_DlgProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
};
