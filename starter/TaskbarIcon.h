#pragma once
// The product's taskbar-icon program and its watcher window, whose handle the program
// publishes in the shared data block once it is ready. StartTaskbarIcon is a member of
// CPortableStarterApp (starter/PortableStarterApp.h).
#include <windows.h>

#include "Strings/TsSharedData.h"

// The watcher window from the shared data block, or null. A handle that names no window
// any more is cleared in the block, with its companion word. Takes the interprocess lock.
HWND GetWatcherWindow(TsSharedDataBlock* pBlock);

// Waits until the watcher window is published, keeping this thread's windows alive: it is
// looked for at once and then after each of up to 41 waits of 500 ms (a timer message ends
// a wait early). TRUE when it showed up, or when the shared data block cannot be reached;
// FALSE when the time ran out.
BOOL WaitForWatcherWindow();

// The number of 500 ms waits after which WaitForWatcherWindow gives up.
const int kWatcherWaitLimit = 41;
const DWORD kWatcherWaitStepMs = 500;
