#pragma once
// Per-thread storage: one slot for the whole process, allocated before the main code runs,
// holding a zero-filled block per thread.
#include <windows.h>

struct CTsLockStack;

struct TsThreadBlock {
    CTsLockStack* pLockStack;   // the thread's leveled locks, null while it holds none
    BYTE reserved[44 - sizeof(void*)];
};
#ifndef _WIN64
static_assert(sizeof(TsThreadBlock) == 44, "the thread block is 44 bytes");
#endif

// The calling thread's block, allocated zero-filled on its first use. Never null: a failed
// allocation ends in the hard assertion.
TsThreadBlock* GetThreadBlock();
// The calling thread's block if it has one yet, else null (allocates nothing).
TsThreadBlock* PeekThreadBlock();
// The slot's index (TLS_OUT_OF_INDEXES when it could not be allocated), for diagnostics.
DWORD TsGetTlsIndex();
