#include "starter/LicenseAgreementDialog.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "Strings/TsWindowCommon.h"
#include "framework/WinApp.h"
#include "resources/resource.h"
#include "starter/GreetingDialog.h"

CString BuildAgreementText(const char* pData, size_t nSize)
{
    std::string sText;
    sText.reserve(nSize + nSize / 16);
    size_t nPos = 0;
    while (nPos < nSize) {
        const void* pFeed = std::memchr(pData + nPos, '\n', nSize - nPos);
        size_t nEnd = pFeed ? static_cast<size_t>(static_cast<const char*>(pFeed) - pData) : nSize;
        size_t nLineEnd = nEnd;
        while (nLineEnd > nPos && pData[nLineEnd - 1] == '\r')
            --nLineEnd;
        if (pFeed || nLineEnd > nPos) {
            sText.append(pData + nPos, nLineEnd - nPos);
            sText += "\r\n";
        }
        nPos = nEnd + 1;
    }
    return CString(sText);
}

CLicenseAgreementDialog::CLicenseAgreementDialog()
    : CDialog(IDD_LICENSE, nullptr),
      m_hIcon(::LoadIconA(AfxGetInstanceHandle(), MAKEINTRESOURCEA(IDR_MAINFRAME)))
{
}

BOOL CLicenseAgreementDialog::OnInitDialog()
{
    CDialog::OnInitDialog();
    SetDialogIcons(m_hWnd, m_hIcon);

    CString sHeader = m_strFolder + "\\tessaly_header.bmp";
    m_header.Reset(LoadBitmapFile(sHeader));
    if (!m_header) {
        CString sText;
        sText.Format("Wayfarer file '%s' does not exist.", sHeader.c_str());
        TsMsgBox(TS_MSG_ERROR, nullptr, sText, "Wayfarer");
        return FALSE;
    }
    ::SendDlgItemMessageA(m_hWnd, IDC_LICENSE_HEADER, STM_SETIMAGE, IMAGE_BITMAP,
                          reinterpret_cast<LPARAM>(m_header.Get()));

    CString sPath = m_strFolder + "\\tessaly_license.txt";
    FILE* pFile = std::fopen(sPath.c_str(), "rb");
    if (!pFile) {
        int nError = errno;
        CString sText, sReason;
        sText.Format("Wayfarer can not open the file '%s' : ", sPath.c_str());
        sReason.Format("Cannot open file '%s'\nReason: %s (%d).", sPath.c_str(), std::strerror(nError), nError);
        TsMsgBox(TS_MSG_ERROR, nullptr, sText + sReason, "Wayfarer");
        return FALSE;
    }
    std::string sBytes;
    char buffer[16384];
    size_t nRead;
    while (sBytes.size() < kMaxAgreementBytes && (nRead = std::fread(buffer, 1, sizeof(buffer), pFile)) > 0)
        sBytes.append(buffer, nRead);
    std::fclose(pFile);
    if (sBytes.size() > kMaxAgreementBytes)
        sBytes.resize(kMaxAgreementBytes);

    CString sAgreement = BuildAgreementText(sBytes.data(), sBytes.size());
    if (sAgreement.IsEmpty()) {
        TsMsgBox(TS_MSG_ERROR, nullptr, "Tessaly start error", "Wayfarer");
    } else {
        // Lift the edit control's default limit of 32767 characters.
        ::SendDlgItemMessageA(m_hWnd, IDC_LICENSE_TEXT, EM_SETLIMITTEXT, 0, 0);
        ::SetDlgItemTextA(m_hWnd, IDC_LICENSE_TEXT, sAgreement.c_str());
        ::SetFocus(GetDlgItem(IDCANCEL));
    }
    // The focus is set here (on "I disagree"), not by the dialog manager.
    return FALSE;
}

INT_PTR CLicenseAgreementDialog::HandleMessage(UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    INT_PTR nResult = 0;
    if (HandleIconMessages(m_hWnd, m_hIcon, uMsg, nResult))
        return nResult;
    return CDialog::HandleMessage(uMsg, wParam, lParam);
}
