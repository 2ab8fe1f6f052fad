#pragma once
// A small modeless window that shows one line of text while the program is busy.
#include <windows.h>

// The static control that holds the text.
const int kTsTextDialogTextId = 200;

// Creates the window (visible, centred, the system's message font) from a template built in
// memory, with dwExtraStyle added to its window style. The caller destroys it with
// DestroyWindow. Null when the template memory cannot be allocated or the system refuses it.
HWND TsCreateTextDialog(const char* pszText, const char* pszCaption, DWORD dwExtraStyle);
