// Stand-in for the product's taskbar-icon program. It creates its hidden watcher window,
// publishes the window's handle in the product's shared data block under the interprocess
// mutex, records 0x504 and WM_CLOSE, and ends on WM_CLOSE. It speaks to the shared block
// with plain system calls and the fixed layout, as a separately built program of the
// product would, so that tests also check that layout from the other side.
//
// Settings ([StandIn] in TessTaskBarIcon.ini beside it):
//   PublishAfterMs  delay before the handle is published (default 0)
//   Publish         0: never publish (default 1)
//   IgnoreClose     1: record WM_CLOSE but stay (default 0)
//   ExitAfterMs     end on its own after this time, not clearing the handle (default 0: never)
#include <windows.h>

#include "StandInRecord.h"

namespace {

const char kMutexName[] = "{7D3E92A1-B64C-11D3-8F2A-31C9E7D05B66} Interprocess";
const char kMappingName[] = "{7D3E92A1-B64C-11D3-8F2A-31C9E7D05B66} SharedData";
const DWORD kBlockSize = 11984;
const size_t kWatcherOffset = 228;
const size_t kWatcherCompanionOffset = 3488;
const UINT kAnswerSecondStart = WM_USER + 0x104;   // 0x504
const UINT_PTR kPublishTimer = 1;
const UINT_PTR kExitTimer = 2;

HANDLE g_hMutex = nullptr;
HANDLE g_hMapping = nullptr;
BYTE* g_pBlock = nullptr;
bool g_bIgnoreClose = false;

DWORD* Field(size_t nOffset)
{
    return reinterpret_cast<DWORD*>(g_pBlock + nOffset);
}

// The handle goes into a 32-bit field in both builds, as the system's conversion gives it.
void StoreWatcher(HWND hWnd, DWORD dwCompanion)
{
    if (!g_pBlock)
        return;
    DWORD dwWait = ::WaitForSingleObject(g_hMutex, 10000);
    *Field(kWatcherOffset) = static_cast<DWORD>(HandleToLong(hWnd));
    *Field(kWatcherCompanionOffset) = dwCompanion;
    if (dwWait == WAIT_OBJECT_0 || dwWait == WAIT_ABANDONED)
        ::ReleaseMutex(g_hMutex);
}

HWND ReadWatcher()
{
    if (!g_pBlock)
        return nullptr;
    DWORD dwWait = ::WaitForSingleObject(g_hMutex, 10000);
    HWND h = static_cast<HWND>(LongToHandle(static_cast<LONG>(*Field(kWatcherOffset))));
    if (dwWait == WAIT_OBJECT_0 || dwWait == WAIT_ABANDONED)
        ::ReleaseMutex(g_hMutex);
    return h;
}

void Publish(HWND hWnd)
{
    StoreWatcher(hWnd, ::GetCurrentProcessId());
    standin::Record("publish hwnd=" + standin::Hex(reinterpret_cast<ULONG_PTR>(hWnd)));
}

LRESULT CALLBACK WatcherProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    switch (uMsg) {
    case WM_TIMER:
        ::KillTimer(hWnd, wParam);
        if (wParam == kPublishTimer) {
            Publish(hWnd);
        } else if (wParam == kExitTimer) {
            // Ends like a crash would: the handle stays behind in the block.
            standin::Record("exit without cleanup");
            ::ExitProcess(0);
        }
        return 0;
    case WM_CLOSE:
        standin::Record("close");
        if (!g_bIgnoreClose)
            ::DestroyWindow(hWnd);
        return 0;
    case WM_DESTROY:
        if (ReadWatcher() == hWnd)
            StoreWatcher(nullptr, 0);
        ::PostQuitMessage(0);
        return 0;
    }
    if (uMsg == kAnswerSecondStart) {
        standin::Record("message 0x504 wParam=" + standin::Hex(wParam) + " lParam=" +
                        standin::Hex(static_cast<ULONG_PTR>(lParam)));
        return 0;
    }
    return ::DefWindowProcA(hWnd, uMsg, wParam, lParam);
}

}  // namespace

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE, LPSTR lpCmdLine, int)
{
    standin::RecordStart(lpCmdLine);
    g_bIgnoreClose = standin::Setting("IgnoreClose", 0) != 0;

    g_hMutex = ::CreateMutexA(nullptr, FALSE, kMutexName);
    g_hMapping = ::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kBlockSize, kMappingName);
    if (g_hMapping)
        g_pBlock = static_cast<BYTE*>(::MapViewOfFile(g_hMapping, FILE_MAP_ALL_ACCESS, 0, 0, kBlockSize));
    if (!g_pBlock)
        standin::Record("no shared data " + standin::Hex(::GetLastError()));

    WNDCLASSA wc = {};
    wc.lpfnWndProc = WatcherProc;
    wc.hInstance = hInstance;
    wc.lpszClassName = "TessalyWatcherStandIn";
    ::RegisterClassA(&wc);
    // A hidden top-level window, as the product's own watcher is.
    HWND hWnd = ::CreateWindowExA(0, wc.lpszClassName, "Tessaly Watcher", WS_OVERLAPPED, 0, 0, 0, 0, nullptr,
                                  nullptr, hInstance, nullptr);
    if (!hWnd) {
        standin::Record("no window " + standin::Hex(::GetLastError()));
        return 1;
    }
    if (standin::Setting("Publish", 1)) {
        int nDelay = standin::Setting("PublishAfterMs", 0);
        if (nDelay > 0)
            ::SetTimer(hWnd, kPublishTimer, static_cast<UINT>(nDelay), nullptr);
        else
            Publish(hWnd);
    }
    int nExitAfter = standin::Setting("ExitAfterMs", 0);
    if (nExitAfter > 0)
        ::SetTimer(hWnd, kExitTimer, static_cast<UINT>(nExitAfter), nullptr);

    MSG msg;
    while (::GetMessageA(&msg, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
    standin::Record("exit");
    if (g_pBlock)
        ::UnmapViewOfFile(g_pBlock);
    if (g_hMapping)
        ::CloseHandle(g_hMapping);
    if (g_hMutex)
        ::CloseHandle(g_hMutex);
    return 0;
}
