#include "framework/FaultGuard.h"

#include <cstring>

namespace {

struct CGuardFrame {
    CONTEXT ctx;                 // the thread as it was at the guard's entry
    CGuardFrame* pOuter;
    volatile LONG bFaulted;
    TsFaultInfo info;
#if defined(__i386__)
    void* pSehChain;             // system code inside may have linked handler records below us
#endif
};

#if defined(__i386__)
// The head of the thread's chain of handler records (fs:[0]).
void* SehChainHead()
{
    void* p;
    __asm__ volatile("movl %%fs:0, %0" : "=r"(p));
    return p;
}

void SetSehChainHead(void* p)
{
    __asm__ volatile("movl %0, %%fs:0" : : "r"(p) : "memory");
}
#endif

DWORD GuardSlot()
{
    static const DWORD s_dwSlot = ::TlsAlloc();
    return s_dwSlot;
}

CGuardFrame* InnermostFrame()
{
    // TlsGetValue clears the last error, which the guarded code's caller may still want.
    DWORD dwError = ::GetLastError();
    auto* pFrame = static_cast<CGuardFrame*>(::TlsGetValue(GuardSlot()));
    ::SetLastError(dwError);
    return pFrame;
}

void SetInnermostFrame(CGuardFrame* pFrame)
{
    DWORD dwError = ::GetLastError();
    ::TlsSetValue(GuardSlot(), pFrame);
    ::SetLastError(dwError);
}

LONG CALLBACK OnFault(EXCEPTION_POINTERS* pInfo)
{
    const EXCEPTION_RECORD* pRecord = pInfo->ExceptionRecord;
    if (pRecord->ExceptionCode != EXCEPTION_ACCESS_VIOLATION && pRecord->ExceptionCode != EXCEPTION_IN_PAGE_ERROR)
        return EXCEPTION_CONTINUE_SEARCH;
    CGuardFrame* pFrame = InnermostFrame();
    if (!pFrame)
        return EXCEPTION_CONTINUE_SEARCH;

    TsFaultInfo& info = pFrame->info;
    info.dwCode = pRecord->ExceptionCode;
    info.pAddress = pRecord->ExceptionAddress;
    if (pRecord->NumberParameters >= 2) {
        info.uAccess = pRecord->ExceptionInformation[0];
        info.pTarget = reinterpret_cast<const void*>(pRecord->ExceptionInformation[1]);
    }
    if (pRecord->ExceptionCode == EXCEPTION_IN_PAGE_ERROR && pRecord->NumberParameters >= 3)
        info.dwStatus = static_cast<DWORD>(pRecord->ExceptionInformation[2]);
    pFrame->bFaulted = 1;
    SetInnermostFrame(pFrame->pOuter);
#if defined(__i386__)
    SetSehChainHead(pFrame->pSehChain);
#endif
    // Resume as if the capture at the guard's entry returned a second time.
    *pInfo->ContextRecord = pFrame->ctx;
    return EXCEPTION_CONTINUE_EXECUTION;
}

void InstallHandlerOnce()
{
    static const PVOID s_pHandler = ::AddVectoredExceptionHandler(1, OnFault);
    (void)s_pHandler;
}

// Kept out of line so that its frame, and with it the captured stack pointer, stays valid
// for the whole guarded call.
__attribute__((noinline)) bool RunInFrame(CGuardFrame* pFrame, void (*pfn)(void*), void* pContext)
{
    pFrame->bFaulted = 0;
    ::RtlCaptureContext(&pFrame->ctx);
    // A fault comes back here with bFaulted set; everything below reads it from memory.
    if (pFrame->bFaulted)
        return false;
    pFrame->pOuter = InnermostFrame();
#if defined(__i386__)
    pFrame->pSehChain = SehChainHead();
#endif
    SetInnermostFrame(pFrame);
    pfn(pContext);
    SetInnermostFrame(pFrame->pOuter);
    return true;
}

}  // namespace

bool TsRunGuarded(void (*pfn)(void*), void* pContext, TsFaultInfo* pFault)
{
    InstallHandlerOnce();
    if (GuardSlot() == TLS_OUT_OF_INDEXES) {
        // No slot for the guard: the call runs as any other call would.
        pfn(pContext);
        return true;
    }
    CGuardFrame frame{};
    bool bRan = RunInFrame(&frame, pfn, pContext);
    if (!bRan && pFault)
        *pFault = frame.info;
    return bRan;
}

bool TsGuardedCopy(void* pDst, const void* pSrc, size_t nSize, TsFaultInfo* pFault)
{
    struct Args { void* pDst; const void* pSrc; size_t nSize; } args = {pDst, pSrc, nSize};
    return TsRunGuarded([](void* p) {
        auto* a = static_cast<Args*>(p);
        std::memcpy(a->pDst, a->pSrc, a->nSize);
    }, &args, pFault);
}

DWORD TsFaultErrorCode(const TsFaultInfo& fault)
{
    if (fault.dwCode == EXCEPTION_IN_PAGE_ERROR && fault.dwStatus) {
        using RtlNtStatusToDosErrorFn = ULONG(WINAPI*)(LONG);
        auto pConvert = reinterpret_cast<RtlNtStatusToDosErrorFn>(reinterpret_cast<void*>(
            ::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "RtlNtStatusToDosError")));
        if (pConvert)
            return pConvert(static_cast<LONG>(fault.dwStatus));
        return ERROR_READ_FAULT;
    }
    return fault.dwCode == EXCEPTION_IN_PAGE_ERROR ? ERROR_READ_FAULT : ERROR_NOACCESS;
}
