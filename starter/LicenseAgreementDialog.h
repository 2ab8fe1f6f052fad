#pragma once
// The end-user licence agreement: a header picture, the agreement text from the drive, and
// "I agree" (IDOK) or "I disagree" (IDCANCEL, the default button, which also takes Enter).
#include <windows.h>
#include <cstddef>
#include "framework/CString.h"
#include "framework/Dialog.h"
#include "framework/Unique.h"

class CLicenseAgreementDialog : public CDialog {
public:
    CLicenseAgreementDialog();

    CString m_strFolder;   // holds "tessaly_header.bmp" and "tessaly_license.txt"
    HICON m_hIcon;         // the program's icon (shared resource, never destroyed)

protected:
    BOOL OnInitDialog() override;
    INT_PTR HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam) override;

private:
    CUniqueGdiObject m_header;
};

// The agreement text as the dialog shows it: every line of the file, carriage returns at
// its end removed, followed by "\r\n"; a last line without line feed counts when not empty.
CString BuildAgreementText(const char* pData, size_t nSize);

// Agreement files are a few pages (tens of kilobytes); anything beyond this is not read, so
// that a damaged or hostile file can neither exhaust memory nor freeze the dialog while the
// edit control lays out megabytes of text.
const size_t kMaxAgreementBytes = 256 * 1024;
