#pragma once
// Reads memory that we do not own (a view of a file on a removable drive, a block another
// process shares, a stack walked for a crash report) through copies that cannot fault: the
// system copies, and a page that cannot be read gives an error instead of an access fault.
// Nothing is registered and nothing is resumed; code that reads such memory reads it only
// through these.
#include <windows.h>

#include <cstddef>
#include <type_traits>

struct TsFaultInfo {
    DWORD dwError = 0;   // the system's error of the read that failed; 0 when none failed
};

// Copies nSize bytes from pSrc to pDst (memory of this process) in one system call: each
// call costs a round trip, so copy in large pieces. False when part of the source could not
// be read: pDst then holds an unknown part and *pFault says why. The last error is left as
// the caller had it.
bool TsSafeCopy(void* pDst, const void* pSrc, size_t nSize, TsFaultInfo* pFault = nullptr);

// The same the other way: writes nSize bytes from pSrc (ours) to pDst (memory we do not own,
// a shared block), false when part of it could not be written.
bool TsSafeWrite(void* pDst, const void* pSrc, size_t nSize, TsFaultInfo* pFault = nullptr);

// Reads nSize bytes from pSrc through TsSafeCopy in pieces of up to a megabyte and hands each
// to pfnChunk(pData, nChunk, pContext) in order. False at the first piece that could not be
// read (or when no buffer could be had), after the pieces before it.
bool TsSafeReadChunks(const void* pSrc, size_t nSize, void (*pfnChunk)(const void*, size_t, void*), void* pContext,
                      TsFaultInfo* pFault = nullptr);

template <class F> bool TsSafeRead(const void* pSrc, size_t nSize, F&& f, TsFaultInfo* pFault = nullptr)
{
    using Fn = std::remove_reference_t<F>;
    return TsSafeReadChunks(
        pSrc, nSize, [](const void* p, size_t n, void* pFn) { (*static_cast<Fn*>(pFn))(p, n); },
        const_cast<void*>(static_cast<const void*>(&f)), pFault);
}

// The error to tell about a failed read: the system's own, with "only part of a copy" (which
// says nothing to a user) given as a read fault of the device.
DWORD TsFaultErrorCode(const TsFaultInfo& fault);
