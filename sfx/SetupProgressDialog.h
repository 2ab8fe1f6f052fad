#pragma once
// The small modeless window that shows the setup run's step and progress (0 to 1000).
#include <windows.h>

#include "framework/Dialog.h"

class CSetupProgressDialog : public CDialog {
public:
    CSetupProgressDialog();
    void SetStatus(const char* pszText);
    void SetProgress(int nPos);

    static const int kRange = 1000;

protected:
    BOOL OnInitDialog() override;
};

// Centres a window on the desktop's work area (the screen without the taskbar), keeping
// it wholly inside, without changing its size or Z-order and without activating it.
void CenterOnWorkArea(HWND hWnd);
