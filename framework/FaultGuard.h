#pragma once
// Runs code that reads memory it does not own (a mapped file on a removable drive, a block
// another process shares, a foreign window's data) so that an access fault there ends that
// code instead of the process. g++ for Windows has no __try: a vectored handler resumes the
// thread at the guard's entry.
#include <windows.h>

#include <cstddef>
#include <type_traits>

struct TsFaultInfo {
    DWORD dwCode = 0;                // EXCEPTION_ACCESS_VIOLATION or EXCEPTION_IN_PAGE_ERROR
    const void* pAddress = nullptr;  // the instruction that faulted
    ULONG_PTR uAccess = 0;           // 0 read, 1 write, 8 execute
    const void* pTarget = nullptr;   // the data address it touched
    DWORD dwStatus = 0;              // in-page errors: the status of the failed read (0 otherwise)
};

// Runs pfn(pContext) on this thread. True when it ran to its end. False when an access violation
// or an in-page error hit this thread inside it: the run is abandoned where it faulted (no
// destructor of an object made inside runs, so the guarded code must own nothing) and *pFault
// describes the fault. Any other exception passes through unchanged. Guards nest.
bool TsRunGuarded(void (*pfn)(void*), void* pContext, TsFaultInfo* pFault = nullptr);

template <class F> bool TsGuarded(F&& f, TsFaultInfo* pFault = nullptr)
{
    using Fn = std::remove_reference_t<F>;
    return TsRunGuarded([](void* p) { (*static_cast<Fn*>(p))(); },
        const_cast<void*>(static_cast<const void*>(&f)), pFault);
}

// Copies nSize bytes; false when reading pSrc or writing pDst faulted (pDst then holds part).
bool TsGuardedCopy(void* pDst, const void* pSrc, size_t nSize, TsFaultInfo* pFault = nullptr);

// The system's text for a fault: the in-page status as a Win32 error when there is one.
DWORD TsFaultErrorCode(const TsFaultInfo& fault);
