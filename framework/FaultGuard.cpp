#include "framework/FaultGuard.h"

#include <memory>
#include <new>

namespace {

const size_t kChunkSize = 1 << 20;

// Whether every page of [p, p + nSize) is committed with the access asked for. The system's
// copy alone does not always tell: some systems read a page of no access for a copy, so a
// page's protection is asked first; a page whose backing is gone looks readable and fails
// in the copy.
bool PagesAllow(const void* p, size_t nSize, bool bWrite)
{
    const DWORD dwReadable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                             PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    const DWORD dwWritable = PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    const char* pc = static_cast<const char*>(p);
    const char* pEnd = pc + nSize;
    if (pEnd < pc)
        return false;
    while (pc < pEnd) {
        MEMORY_BASIC_INFORMATION mbi;
        if (!::VirtualQuery(pc, &mbi, sizeof(mbi)) || mbi.State != MEM_COMMIT || (mbi.Protect & PAGE_GUARD) ||
            !(mbi.Protect & (bWrite ? dwWritable : dwReadable)))
            return false;
        const char* pRegionEnd = static_cast<const char*>(mbi.BaseAddress) + mbi.RegionSize;
        if (pRegionEnd <= pc)
            return false;
        pc = pRegionEnd;
    }
    return true;
}

bool SafeTransfer(void* pDst, const void* pSrc, size_t nSize, bool bWrite, TsFaultInfo* pFault)
{
    if (pFault)
        *pFault = TsFaultInfo();
    if (nSize == 0)
        return true;
    const DWORD dwCallerError = ::GetLastError();
    DWORD dwError = ERROR_NOACCESS;
    if (PagesAllow(bWrite ? pDst : pSrc, nSize, bWrite)) {
        SIZE_T nDone = 0;
        const BOOL bDone = bWrite ? ::WriteProcessMemory(::GetCurrentProcess(), pDst, pSrc, nSize, &nDone)
                                  : ::ReadProcessMemory(::GetCurrentProcess(), pSrc, pDst, nSize, &nDone);
        if (bDone && nDone == nSize) {
            ::SetLastError(dwCallerError);
            return true;
        }
        dwError = bDone ? ERROR_PARTIAL_COPY : ::GetLastError();
        if (dwError == ERROR_SUCCESS)
            dwError = ERROR_PARTIAL_COPY;
    }
    if (pFault)
        pFault->dwError = dwError;
    ::SetLastError(dwCallerError);
    return false;
}

}  // namespace

bool TsSafeCopy(void* pDst, const void* pSrc, size_t nSize, TsFaultInfo* pFault)
{
    return SafeTransfer(pDst, pSrc, nSize, false, pFault);
}

bool TsSafeWrite(void* pDst, const void* pSrc, size_t nSize, TsFaultInfo* pFault)
{
    return SafeTransfer(pDst, pSrc, nSize, true, pFault);
}

bool TsSafeReadChunks(const void* pSrc, size_t nSize, void (*pfnChunk)(const void*, size_t, void*), void* pContext,
                      TsFaultInfo* pFault)
{
    if (pFault)
        *pFault = TsFaultInfo();
    if (nSize == 0)
        return true;
    const size_t nBuffer = nSize < kChunkSize ? nSize : kChunkSize;
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[nBuffer]);
    if (!buffer) {
        if (pFault)
            pFault->dwError = ERROR_NOT_ENOUGH_MEMORY;
        return false;
    }
    const char* p = static_cast<const char*>(pSrc);
    while (nSize > 0) {
        const size_t n = nSize < nBuffer ? nSize : nBuffer;
        if (!TsSafeCopy(buffer.get(), p, n, pFault))
            return false;
        pfnChunk(buffer.get(), n, pContext);
        p += n;
        nSize -= n;
    }
    return true;
}

DWORD TsFaultErrorCode(const TsFaultInfo& fault)
{
    if (fault.dwError == 0 || fault.dwError == ERROR_PARTIAL_COPY)
        return ERROR_READ_FAULT;
    return fault.dwError;
}
