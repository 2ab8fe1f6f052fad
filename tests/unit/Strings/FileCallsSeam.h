#pragma once
// Failing file calls for the settings files' reads and writes: what a full, flaky, pulled or
// not-ready drive does.
#include <windows.h>

#include "Strings/TsOptions.h"

// Puts other file calls in place for one test.
class CFileCallsSeam {
public:
    explicit CFileCallsSeam(const TsOptionsFileCalls& calls) { g_tsOptionsFileCalls = calls; }
    ~CFileCallsSeam() { g_tsOptionsFileCalls = kTsOptionsSystemFileCalls; }
    CFileCallsSeam(const CFileCallsSeam&) = delete;
    CFileCallsSeam& operator=(const CFileCallsSeam&) = delete;
};

// The bytes were taken, but closing (where a buffered or network file is written out) fails.
inline BOOL WINAPI CloseFailsDiskFull(HANDLE h)
{
    ::CloseHandle(h);
    ::SetLastError(ERROR_DISK_FULL);
    return FALSE;
}
inline BOOL WINAPI WriteFailsDeviceGone(HANDLE, LPCVOID, DWORD, LPDWORD pdwWritten, LPOVERLAPPED)
{
    *pdwWritten = 0;
    ::SetLastError(ERROR_DEVICE_REMOVED);
    return FALSE;
}
inline BOOL WINAPI ReplaceFailsDeviceGone(LPCSTR, LPCSTR, DWORD)
{
    ::SetLastError(ERROR_DEVICE_REMOVED);
    return FALSE;
}
inline BOOL WINAPI MoveFailsWriteProtected(LPCSTR, LPCSTR, DWORD)
{
    ::SetLastError(ERROR_WRITE_PROTECT);
    return FALSE;
}
// A flaky stick: the first read gives at most 10 bytes, the next one fails with a CRC error.
inline BOOL WINAPI ReadFailsAfterTenBytes(HANDLE h, LPVOID pBuffer, DWORD dwSize, LPDWORD pdwRead, LPOVERLAPPED p)
{
    if (::SetFilePointer(h, 0, nullptr, FILE_CURRENT) == 0)
        return ::ReadFile(h, pBuffer, dwSize < 10 ? dwSize : 10, pdwRead, p);
    *pdwRead = 0;
    ::SetLastError(ERROR_CRC);
    return FALSE;
}
// A file that ends before its size: the first read gives 10 bytes, the next none.
inline BOOL WINAPI ReadEndsAfterTenBytes(HANDLE h, LPVOID pBuffer, DWORD dwSize, LPDWORD pdwRead, LPOVERLAPPED p)
{
    if (::SetFilePointer(h, 0, nullptr, FILE_CURRENT) == 0)
        return ::ReadFile(h, pBuffer, dwSize < 10 ? dwSize : 10, pdwRead, p);
    *pdwRead = 0;
    return TRUE;
}
// A drive that is not ready (a card reader without its card, a stick still waking up).
inline HANDLE WINAPI OpenFailsNotReady(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE)
{
    ::SetLastError(ERROR_NOT_READY);
    return INVALID_HANDLE_VALUE;
}
