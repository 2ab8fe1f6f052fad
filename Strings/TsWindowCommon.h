#pragma once
// Message boxes and small window-text helpers shared by both programs.
#include <windows.h>
#include "Strings/TsMaker.h"
#include "framework/CString.h"

enum TsMsgKind {
    TS_MSG_INFO = 1,
    TS_MSG_QUESTION = 2,
    TS_MSG_WARNING = 3,
    TS_MSG_ERROR = 4,
    TS_MSG_SYSTEM_ERROR = 5,   // any other value behaves the same
};

// Shows a message box of the given kind: the kind's caption (or pszCaption when not empty)
// and icon; system errors get the support request appended and are topmost. Returns the
// button pressed, or IDCANCEL when hParent was destroyed while the box was up. Showing a box
// while the thread holds a cross-process lock is a programming error (hard assertion).
int TsMsgBox(int nKind, HWND hParent, const char* pszText, const char* pszCaption = nullptr, UINT uFlags = 0);


CString GetWindowClassName(HWND hWnd);
bool IsWindowClass(HWND hWnd, const char* pszClassName);   // exact, case-sensitive
CString GetWindowTextString(HWND hWnd);

struct TsUserRegInfo {
    CString sName;
    CString sEmail;
    CString sReferrer;
};
// True when the values came from the product's own keys; false when they came from the
// mail account or the Windows user name.
bool GetUserRegInfo(TsUserRegInfo& info);
