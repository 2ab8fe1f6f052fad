#pragma once
// The greeting shown at the first start from a drive: a picture from the drive and "Next".
#include <windows.h>
#include "framework/CString.h"
#include "framework/Dialog.h"
#include "framework/Unique.h"

class CGreetingDialog : public CDialog {
public:
    CGreetingDialog();

    CString m_strFolder;   // the program-files source folder holding "tessaly_greet.bmp"
    HICON m_hIcon;         // the program's icon (shared resource, never destroyed)

protected:
    BOOL OnInitDialog() override;
    INT_PTR HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam) override;

private:
    CUniqueGdiObject m_picture;
};

// Shared by the first-run dialogs: the program's icon as big and small window icon, and
// the icon drawn centred while the dialog is minimised. HandleIconMessages answers WM_PAINT
// (only when minimised) and WM_QUERYDRAGICON; it returns false for anything else.
void SetDialogIcons(HWND hDlg, HICON hIcon);
bool HandleIconMessages(HWND hDlg, HICON hIcon, UINT uMsg, INT_PTR& nResult);

// A bitmap file loaded from disk at its own size; null when it cannot be read.
HBITMAP LoadBitmapFile(const CString& sPath);
