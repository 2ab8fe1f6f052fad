// Opens windows for the window clean-up tests and records what they are sent. The tests copy
// it under the program names that matter (firefox.exe, other.exe, ...). Commands, in order:
//
//   -o FILE                 result lines go to FILE
//   window CLASS TITLE      a visible top-level window of that class (registered here)
//   child CLASS             a child window of that class in the last top-level window
//   disable                 disables the last top-level window
//   dialog TEXT TITLE       a product dialog owned by the last top-level window, which it
//                           disables as a modal dialog would; TEXT goes into the marker
//                           control 13749 after the marker ("-" leaves the control out,
//                           "=TEXT" puts TEXT there without the marker)
//   freedialog TEXT TITLE   the same without an owner
//   stay                    the last dialog ignores IDCANCEL and WM_CLOSE
//   watcher IGNORE          a hidden window published as the watcher in the shared block;
//                           IGNORE 1 makes it stay on WM_CLOSE. Dialogs made after it are
//                           its own.
//   connect                 connects to the shared block and keeps the connection
//   ready EVENT             signals the named event once all windows are made
//   hang                    after all commands, stops answering: its only thread sleeps
//                           instead of reading its messages, as a hung program's does
//
// Lines written: "hwnd TITLE=HEX" for each window made, then for each message of interest
// "close TITLE", "cancel TITLE", "cancelmode TITLE", "ping TITLE" (WM_APP, which the tests
// post to see that earlier posted messages were handled). It runs until it is ended.
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Strings/TsSharedData.h"

namespace {

const int kMarkerId = 13749;
const char kMarker[] = "_Tessaly_Dialog_1100973_";

FILE* g_out = nullptr;
bool g_bIgnoreClose = false;
bool g_bMade = false;   // disabling a window sends it WM_CANCELMODE too: only later ones count
HWND g_hWatcher = nullptr;
HWND g_hStubborn = nullptr;

void Out(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));
void Out(const char* pszFormat, ...)
{
    if (!g_out)
        return;
    va_list args;
    va_start(args, pszFormat);
    std::vfprintf(g_out, pszFormat, args);
    va_end(args);
    std::fputc('\n', g_out);
    std::fflush(g_out);
}

std::string TitleOf(HWND hWnd)
{
    char sz[512] = "";
    ::GetWindowTextA(hWnd, sz, sizeof(sz));
    return sz;
}

void Made(HWND hWnd, const char* pszTitle)
{
    Out("hwnd %s=%lx", pszTitle, static_cast<unsigned long>(HandleToUlong(hWnd)));
}

// Records the messages the clean-up sends; closes on WM_CLOSE unless told to stay.
bool Record(HWND hWnd, UINT uMsg, WPARAM wParam)
{
    switch (uMsg) {
    case WM_CANCELMODE:
        if (g_bMade)
            Out("cancelmode %s", TitleOf(hWnd).c_str());
        return false;
    case WM_APP:
        Out("ping %s", TitleOf(hWnd).c_str());
        return true;
    case WM_CLOSE:
        Out("close %s", TitleOf(hWnd).c_str());
        return true;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDCANCEL)
            Out("cancel %s", TitleOf(hWnd).c_str());
        return false;
    }
    return false;
}

LRESULT CALLBACK WindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    Record(hWnd, uMsg, wParam);
    if (uMsg == WM_CLOSE && hWnd == g_hWatcher && g_bIgnoreClose)
        return 0;
    if (uMsg == WM_DESTROY && hWnd == g_hWatcher && GetWatcherWnd() == hWnd)
        SetWatcherWnd(nullptr, 0);
    return ::DefWindowProcA(hWnd, uMsg, wParam, lParam);
}

void EndDialogWindow(HWND hDlg)
{
    if (HWND hOwner = ::GetWindow(hDlg, GW_OWNER))
        ::EnableWindow(hOwner, TRUE);
    ::DestroyWindow(hDlg);
}

INT_PTR CALLBACK DialogProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM)
{
    Record(hDlg, uMsg, wParam);
    if (uMsg == WM_CLOSE || (uMsg == WM_COMMAND && LOWORD(wParam) == IDCANCEL)) {
        if (hDlg != g_hStubborn)
            EndDialogWindow(hDlg);
        return TRUE;
    }
    return uMsg == WM_INITDIALOG;
}

// A dialog template in memory: a caption and, unless pszText is "-", one static control
// with the marker identifier.
std::vector<WORD> DialogTemplate(const char* pszTitle, const char* pszText)
{
    std::vector<WORD> t;
    auto dword = [&t](DWORD dw) {
        t.push_back(LOWORD(dw));
        t.push_back(HIWORD(dw));
    };
    auto text = [&t](const char* psz) {
        while (*psz)
            t.push_back(static_cast<BYTE>(*psz++));
        t.push_back(0);
    };
    const bool bMarker = std::strcmp(pszText, "-") != 0;
    dword(WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_VISIBLE | DS_MODALFRAME);
    dword(0);
    t.push_back(bMarker ? 1 : 0);
    t.insert(t.end(), {10, 10, 200, 80});
    t.push_back(0);   // no menu
    t.push_back(0);   // the standard dialog class
    text(pszTitle);
    if (bMarker) {
        if (t.size() % 2)
            t.push_back(0);   // items start on a DWORD boundary
        dword(WS_CHILD);      // the marker stays hidden
        dword(0);
        t.insert(t.end(), {0, 0, 150, 10});
        t.push_back(kMarkerId);
        t.push_back(0xFFFF);
        t.push_back(0x0082);   // static
        text(pszText[0] == '=' ? pszText + 1 : (std::string(kMarker) + pszText).c_str());
        t.push_back(0);        // no creation data
    }
    return t;
}

HWND MakeDialog(HWND hOwner, const char* pszText, const char* pszTitle)
{
    std::vector<WORD> t = DialogTemplate(pszTitle, pszText);
    HWND hDlg = ::CreateDialogIndirectParamA(::GetModuleHandleA(nullptr), reinterpret_cast<LPCDLGTEMPLATEA>(t.data()),
                                             hOwner, DialogProc, 0);
    if (hOwner)
        ::EnableWindow(hOwner, FALSE);
    return hDlg;
}

void RegisterClassOnce(const char* pszClass)
{
    WNDCLASSA wc = {};
    if (::GetClassInfoA(::GetModuleHandleA(nullptr), pszClass, &wc))
        return;
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = ::GetModuleHandleA(nullptr);
    wc.lpszClassName = pszClass;
    ::RegisterClassA(&wc);
}

}  // namespace

int main(int argc, char** argv)
{
    bool bHang = false;
    HWND hTop = nullptr;
    HWND hDialog = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string cmd = argv[i];
        const char* arg1 = i + 1 < argc ? argv[i + 1] : "";
        const char* arg2 = i + 2 < argc ? argv[i + 2] : "";
        if (cmd == "-o") {
            g_out = std::fopen(arg1, "ab");
            ++i;
        } else if (cmd == "window") {
            RegisterClassOnce(arg1);
            hTop = ::CreateWindowExA(0, arg1, arg2, WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 300, 200, nullptr, nullptr,
                                     ::GetModuleHandleA(nullptr), nullptr);
            Made(hTop, arg2);
            i += 2;
        } else if (cmd == "child") {
            RegisterClassOnce(arg1);
            HWND hChild = ::CreateWindowExA(0, arg1, "", WS_CHILD | WS_VISIBLE, 0, 0, 50, 20, hTop, nullptr,
                                            ::GetModuleHandleA(nullptr), nullptr);
            Made(hChild, arg1);
            ++i;
        } else if (cmd == "disable") {
            ::EnableWindow(hTop, FALSE);
        } else if (cmd == "dialog" || cmd == "freedialog") {
            hDialog = MakeDialog(cmd == "dialog" ? hTop : nullptr, arg1, arg2);
            Made(hDialog, arg2);
            i += 2;
        } else if (cmd == "stay") {
            g_hStubborn = hDialog;
        } else if (cmd == "watcher") {
            g_bIgnoreClose = std::atoi(arg1) != 0;
            RegisterClassOnce("TsTestWatcher");
            g_hWatcher = ::CreateWindowExA(0, "TsTestWatcher", "Watcher", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                                           ::GetModuleHandleA(nullptr), nullptr);
            bool bCreated = false;
            DWORD dwError = 0;
            // The connection is kept: the block lives as long as a program of the product holds it.
            TsConnectSharedData(bCreated, dwError);
            SetWatcherWnd(g_hWatcher, ::GetCurrentProcessId());
            Made(g_hWatcher, "Watcher");
            hTop = g_hWatcher;
            ++i;
        } else if (cmd == "connect") {
            bool bCreated = false;
            DWORD dwError = 0;
            TsConnectSharedData(bCreated, dwError);
        } else if (cmd == "hang") {
            bHang = true;
        } else if (cmd == "ready") {
            g_bMade = true;
            HANDLE hEvent = ::OpenEventA(EVENT_MODIFY_STATE, FALSE, arg1);
            if (hEvent) {
                ::SetEvent(hEvent);
                ::CloseHandle(hEvent);
            }
            ++i;
        } else {
            Out("unknown %s", cmd.c_str());
            return 3;
        }
    }
    if (bHang) {
        Out("hung");
        for (;;)
            ::Sleep(INFINITE);
    }
    MSG msg;
    while (::GetMessageA(&msg, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
    return 0;
}
