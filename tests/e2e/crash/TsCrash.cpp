// A program on the framework's entry and the shared runtime that fails on request, for the
// end-to-end tests of the error catcher (never shipped):
//   tscrash /endpoint=URL assert     a hard assertion in InitInstance
//   tscrash /endpoint=URL fault      a write through a null pointer
//   tscrash /endpoint=URL overflow   unbounded recursion until the stack is exhausted
//   tscrash /endpoint=URL faultlocked  the fault while another thread holds the C runtime's
//                                    heap, which the report needs
//   /reportlimit=MS                  the work the fault's report is given
#include <windows.h>

#include <malloc.h>
#include <cstdlib>

#include "Strings/TsErrorCatcher.h"
#include "Strings/TsLog.h"
#include "framework/WinApp.h"

namespace {

char g_szEndpoint[512];
volatile int g_nDepthLimit = -1;   // never reached: the stack runs out first
// Read at run time, so that the compiler cannot see the null (and drop the write as undefined).
int* volatile g_pNowhere = nullptr;

__attribute__((noinline)) void WriteThroughNull()
{
    *g_pNowhere = 1;
}

// Each level keeps a buffer alive across the call, so that no compiler turns it into a loop.
__attribute__((noinline)) int Recurse(int nDepth)
{
    if (nDepth == g_nDepthLimit)
        return 0;
    volatile char buffer[4096];
    buffer[nDepth % sizeof(buffer)] = static_cast<char>(nDepth);
    return Recurse(nDepth + 1) + buffer[(nDepth * 7) % sizeof(buffer)];
}

// Holds the C runtime's heap for ever once it has it.
DWORD WINAPI HoldHeap(void* pHeld)
{
    HANDLE hHeap = reinterpret_cast<HANDLE>(_get_heap_handle());
    if (hHeap && ::HeapLock(hHeap))
        ::SetEvent(static_cast<HANDLE>(pHeld));
    ::Sleep(INFINITE);
    return 0;
}

class CCrashApp : public CWinApp {
public:
    BOOL InitInstance() override
    {
        if (GetCmdLineValue(m_lpCmdLine, "/endpoint", g_szEndpoint, sizeof(g_szEndpoint)))
            TsSetErrorReportEndpoint(g_szEndpoint);
        if (m_lpCmdLine.Find("assert") >= 0)
            TsAssertFail("tests\\e2e\\crash\\TsCrash", 42, 0, "requested");
        char szLimit[32];
        if (GetCmdLineValue(m_lpCmdLine, "/reportlimit", szLimit, sizeof(szLimit)))
            TsSetFaultReportLimit(static_cast<DWORD>(std::atoi(szLimit)));
        if (m_lpCmdLine.Find("faultlocked") >= 0) {
            HANDLE hHeld = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
            if (!::CreateThread(nullptr, 0, HoldHeap, hHeld, 0, nullptr) || ::WaitForSingleObject(hHeld, 10000))
                return FALSE;
            WriteThroughNull();
        }
        if (m_lpCmdLine.Find("fault") >= 0)
            WriteThroughNull();
        if (m_lpCmdLine.Find("overflow") >= 0)
            return Recurse(0) != 0;
        return FALSE;
    }
};

CCrashApp theApp;

}  // namespace
