#pragma once
// Closing the product's windows before its files are replaced or removed: browser windows
// that a product dialog blocks are freed (never closed), the watcher window of the
// taskbar-icon program is asked to close, and in mode 2 the product's dialogs too. Works by
// window messages only; no process is ended.
#include <windows.h>

// Mode 1 (the U3 cleanup program) leaves the product's dialogs open unless freeing a blocked
// window cancelled them; mode 2 (the starter) also posts WM_CLOSE to them. Waits about five
// seconds at most for the watcher window; a foreign window that does not answer a message
// within a second is passed over, and the whole call takes about 16 seconds at most however
// the windows behave (the cross-process lock aside). Always returns IDYES.
int CloseShells(int nMode);

// Whether hWnd is one of the product's dialogs: a "#32770" window with the marker control.
// pnKind (may be null) receives 1 identity editor, 2 keycard editor, 3 vault-note editor,
// 0 any other product dialog or no product dialog.
bool IsProductDialog(HWND hWnd, int* pnKind);

// The window classes of browser content windows (Chrome's and Mozilla's).
bool IsBrowserWindowClass(const char* pszClassName);
