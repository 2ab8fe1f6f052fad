#include "framework/WinApp.h"

#include <objbase.h>

namespace {
CWinApp* g_pApp = nullptr;
LPTOP_LEVEL_EXCEPTION_FILTER g_pfnFaultHandler = nullptr;
}

CWinApp::CWinApp()
{
    g_pApp = this;
}

CWinApp::~CWinApp()
{
    if (g_pApp == this)
        g_pApp = nullptr;
}

CWinApp* AfxGetApp()
{
    return g_pApp;
}

HINSTANCE AfxGetInstanceHandle()
{
    return g_pApp && g_pApp->m_hInstance ? g_pApp->m_hInstance : ::GetModuleHandleA(nullptr);
}

HWND AfxGetMainWnd()
{
    return g_pApp ? g_pApp->m_hMainWnd : nullptr;
}

void TsHardenDllSearch()
{
    // Both functions arrived with KB2533623 (Vista/7) and are native from 8 on; older systems
    // have neither and keep their default order.
    HMODULE hKernel = ::GetModuleHandleA("kernel32.dll");
    if (!hKernel)
        return;
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    using SetDllDirectoryFn = BOOL(WINAPI*)(LPCSTR);
    auto pSetDefault = reinterpret_cast<SetDefaultDllDirectoriesFn>(
        reinterpret_cast<void*>(::GetProcAddress(hKernel, "SetDefaultDllDirectories")));
    auto pSetDllDirectory = reinterpret_cast<SetDllDirectoryFn>(
        reinterpret_cast<void*>(::GetProcAddress(hKernel, "SetDllDirectoryA")));
    if (pSetDefault)
        pSetDefault(LOAD_LIBRARY_SEARCH_SYSTEM32);
    // An empty string removes the current folder from the search order (XP SP1 on).
    if (pSetDllDirectory)
        pSetDllDirectory("");
}

HMODULE TsLoadSystemLibrary(const char* pszName)
{
    char szPath[MAX_PATH];
    UINT n = ::GetSystemDirectoryA(szPath, MAX_PATH);
    if (n == 0 || n + 1 + lstrlenA(pszName) >= MAX_PATH)
        return nullptr;
    lstrcatA(szPath, "\\");
    lstrcatA(szPath, pszName);
    return ::LoadLibraryA(szPath);
}

void AfxSetFaultHandler(LPTOP_LEVEL_EXCEPTION_FILTER pfnHandler)
{
    g_pfnFaultHandler = pfnHandler;
}

LPTOP_LEVEL_EXCEPTION_FILTER AfxGetFaultHandler()
{
    return g_pfnFaultHandler;
}

int AfxWinMain(HINSTANCE hInstance, const char* pszCmdLine)
{
    if (g_pfnFaultHandler)
        ::SetUnhandledExceptionFilter(g_pfnFaultHandler);
    TsHardenDllSearch();
    CWinApp* pApp = AfxGetApp();
    if (!pApp)
        return 0;
    pApp->m_hInstance = hInstance;
    pApp->m_lpCmdLine = pszCmdLine ? pszCmdLine : "";
    try {
        if (pApp->InitInstance() && pApp->m_hMainWnd) {
            MSG msg;
            while (::GetMessageA(&msg, nullptr, 0, 0) > 0) {
                ::TranslateMessage(&msg);
                ::DispatchMessageA(&msg);
            }
        }
        pApp->ExitInstance();
    } catch (...) {
        // No exception leaves the program: the application object handles its own.
    }
    return 0;
}
