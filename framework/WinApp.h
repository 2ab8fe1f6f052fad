#pragma once
// The application object: the program's one static instance registers itself; WinMain
// (in WinApp.cpp) hardens the process, runs InitInstance and ends with exit code 0.
#include <windows.h>
#include "framework/CString.h"

class CWinApp {
public:
    CWinApp();
    virtual ~CWinApp();
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    // TRUE starts the message loop (which ends at once when there is no main window),
    // FALSE skips it; ExitInstance runs in both cases.
    virtual BOOL InitInstance() { return TRUE; }
    virtual int ExitInstance() { return 0; }

    HINSTANCE m_hInstance = nullptr;
    CString m_lpCmdLine;          // the command line after the program name
    HWND m_hMainWnd = nullptr;    // the main window, when the program has one
};

CWinApp* AfxGetApp();
HINSTANCE AfxGetInstanceHandle();
HWND AfxGetMainWnd();

// Restricts DLL search to the system folder where the system offers it, so that a DLL
// planted beside the program (on the stick) or in the current folder is never loaded.
void TsHardenDllSearch();

// Loads a system library by name from the system folder only.
HMODULE TsLoadSystemLibrary(const char* pszName);

// The last-chance handler for faults that nothing else caught. The runtime's error catcher
// registers it while static objects are built; AfxWinMain installs it before anything else,
// so both programs report such a fault instead of leaving it to the system's crash dialog.
void AfxSetFaultHandler(LPTOP_LEVEL_EXCEPTION_FILTER pfnHandler);
LPTOP_LEVEL_EXCEPTION_FILTER AfxGetFaultHandler();

// The entry point body, for programs and tests that drive the application object themselves.
int AfxWinMain(HINSTANCE hInstance, const char* pszCmdLine);
