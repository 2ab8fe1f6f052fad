#include "Strings/TsTextDialog.h"

#include <algorithm>
#include <cstddef>
#include <vector>

#include "Strings/TsLog.h"
#include "framework/WinApp.h"

namespace {

const char kFontProperty[] = "TsTextDialogFont";

// The ANSI text in UTF-16 with its terminator, as a dialog template stores it.
std::vector<WCHAR> ToWide(const char* pszText)
{
    int n = ::MultiByteToWideChar(CP_ACP, 0, pszText, -1, nullptr, 0);
    std::vector<WCHAR> w(n > 0 ? static_cast<size_t>(n) : 1, L'\0');
    if (n > 0)
        ::MultiByteToWideChar(CP_ACP, 0, pszText, -1, w.data(), n);
    return w;
}

// Appends raw words; the template is a sequence of WORDs with DWORD-aligned items.
void PutWords(std::vector<WORD>& t, const void* p, size_t cb)
{
    const WORD* pw = static_cast<const WORD*>(p);
    t.insert(t.end(), pw, pw + cb / sizeof(WORD));
}

void AlignDword(std::vector<WORD>& t)
{
    if (t.size() % 2)
        t.push_back(0);
}

INT_PTR CALLBACK TextDialogProc(HWND hWnd, UINT uMsg, WPARAM, LPARAM)
{
    switch (uMsg) {
    case WM_INITDIALOG: {
        // Only the message font of the metrics is read; the size of the record before
        // Vista's padded-border field works on every system.
        NONCLIENTMETRICSA ncm = {};
        ncm.cbSize = offsetof(NONCLIENTMETRICSA, lfMessageFont) + sizeof(ncm.lfMessageFont);
        if (::SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, ncm.cbSize, &ncm, 0)) {
            if (HFONT hFont = ::CreateFontIndirectA(&ncm.lfMessageFont)) {
                ::SetPropA(hWnd, kFontProperty, hFont);
                ::SendDlgItemMessageA(hWnd, kTsTextDialogTextId, WM_SETFONT, reinterpret_cast<WPARAM>(hFont), FALSE);
            }
        }
        return TRUE;
    }
    case WM_NCDESTROY:
        if (HANDLE hFont = ::RemovePropA(hWnd, kFontProperty))
            ::DeleteObject(static_cast<HGDIOBJ>(hFont));
        return FALSE;
    default:
        return FALSE;
    }
}

}  // namespace

HWND TsCreateTextDialog(const char* pszText, const char* pszCaption, DWORD dwExtraStyle)
{
    TsTrace("CTD: %s\n", "TsCreateTextDialog: msg=%s\n", pszText ? pszText : "");
    std::vector<WCHAR> wText = ToWide(pszText ? pszText : "");
    std::vector<WCHAR> wCaption = ToWide(pszCaption ? pszCaption : "");

    std::vector<WORD> t;
    DLGTEMPLATE dlg = {};
    dlg.style = dwExtraStyle | WS_POPUP | WS_VISIBLE | WS_CAPTION | DS_MODALFRAME | DS_CENTER;
    dlg.cdit = 1;
    dlg.x = 10;
    dlg.y = 10;
    dlg.cx = 200;
    dlg.cy = 50;
    PutWords(t, &dlg, sizeof(dlg));
    t.push_back(0);   // no menu
    t.push_back(0);   // the dialog class
    t.insert(t.end(), wCaption.begin(), wCaption.end());

    AlignDword(t);
    DLGITEMTEMPLATE item = {};
    item.style = WS_CHILD | WS_VISIBLE;
    item.x = 10;
    item.y = 15;
    item.cx = 180;
    item.cy = 30;
    item.id = kTsTextDialogTextId;
    PutWords(t, &item, sizeof(item));
    t.push_back(0xFFFF);   // a predefined class: static
    t.push_back(0x0082);
    t.insert(t.end(), wText.begin(), wText.end());
    t.push_back(0);   // no creation data

    // Without memory for the template there is no window; the caller goes on without it.
    HGLOBAL hTemplate = ::GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, t.size() * sizeof(WORD));
    if (!hTemplate)
        return nullptr;
    auto* pTemplate = static_cast<WORD*>(hTemplate);
    std::copy(t.begin(), t.end(), pTemplate);
    HWND hWnd = ::CreateDialogIndirectParamW(AfxGetInstanceHandle(), reinterpret_cast<LPCDLGTEMPLATEW>(pTemplate),
                                             nullptr, TextDialogProc, 0);
    ::GlobalFree(hTemplate);
    if (hWnd)
        ::RedrawWindow(hWnd, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);   // nobody pumps while the work runs
    return hWnd;
}
