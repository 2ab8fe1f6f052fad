#pragma once
// The named shared data block through which the product's running programs and this
// system cooperate. The layout is fixed by the other programs, which read it too: handles
// are stored as 32-bit values at fixed offsets in both builds.
#include <windows.h>
#include <cstddef>

#include "framework/CString.h"

class TsString;

const DWORD kTsSharedDataSize = 11984;
const int kTsPassTextBytesMaster = 110 - 8;     // master password field, offsets 8..110
const int kTsPassTextBytesCurrent = 216 - 110;  // current password field, offsets 110..216
const int kTsOwnerLabelBytes = 635;

// Fields this system uses; everything else belongs to the product's other programs.
struct TsSharedDataBlock {
    DWORD dwChangeCount;                          // 0: grown by the logoff
    DWORD dwLoggedOnFlag;                         // 4: cleared by the logoff
    WCHAR szMasterPass[kTsPassTextBytesMaster / 2];     // 8: scrambled, null-terminated
    WCHAR szCurrentPass[kTsPassTextBytesCurrent / 2];   // 110
    DWORD hPasswordWnd;                           // 216: window handles as 32-bit values
    DWORD reserved220;
    DWORD hListWnd;                               // 224
    DWORD hWatcherWnd;                            // 228
    DWORD hOptionsWnd;                            // 232
    DWORD dwLogoffCount;                          // 236: grown by the logoff
    DWORD dwLogoffWord;                           // 240: cleared by the logoff
    BYTE reserved244[521 - 244];
    BYTE bDoubleFlag;                             // 521: read by the system description
    BYTE reserved522[2840 - 522];
    char szLockOwnerLabel[kTsOwnerLabelBytes];    // 2840: label of the interprocess lock's holder
    BYTE reserved3475[3476 - 3475];
    DWORD dwLockOwnerPid;                         // 3476: its process, 0 when free
    BYTE reserved3480[3488 - 3480];
    DWORD dwWatcherCompanion;                     // 3488: cleared with the watcher handle
    DWORD dwOutOfMemory;                          // 3492: set by a report made without memory
    BYTE reserved3496[kTsSharedDataSize - 3496];
};

static_assert(offsetof(TsSharedDataBlock, dwChangeCount) == 0, "layout");
static_assert(offsetof(TsSharedDataBlock, dwLoggedOnFlag) == 4, "layout");
static_assert(offsetof(TsSharedDataBlock, szMasterPass) == 8, "layout");
static_assert(offsetof(TsSharedDataBlock, szCurrentPass) == 110, "layout");
static_assert(offsetof(TsSharedDataBlock, hPasswordWnd) == 216, "layout");
static_assert(offsetof(TsSharedDataBlock, hListWnd) == 224, "layout");
static_assert(offsetof(TsSharedDataBlock, hWatcherWnd) == 228, "layout");
static_assert(offsetof(TsSharedDataBlock, hOptionsWnd) == 232, "layout");
static_assert(offsetof(TsSharedDataBlock, dwLogoffCount) == 236, "layout");
static_assert(offsetof(TsSharedDataBlock, dwLogoffWord) == 240, "layout");
static_assert(offsetof(TsSharedDataBlock, bDoubleFlag) == 521, "layout");
static_assert(offsetof(TsSharedDataBlock, szLockOwnerLabel) == 2840, "layout");
static_assert(offsetof(TsSharedDataBlock, dwLockOwnerPid) == 3476, "layout");
static_assert(offsetof(TsSharedDataBlock, dwWatcherCompanion) == 3488, "layout");
static_assert(offsetof(TsSharedDataBlock, dwOutOfMemory) == 3492, "layout");
static_assert(sizeof(TsSharedDataBlock) == kTsSharedDataSize, "layout");

// The block of this process: null when not connected; after a failed mapping a private
// zero-filled block that serves every later user in this process.
extern TsSharedDataBlock* g_pTsSharedData;

// Connects this process (counted). bWasCreated: this call created the block, so no other
// process held it. False when the mapping failed, or an existing mapping of that name is
// smaller than the block: dwError has the system error (ERROR_BAD_LENGTH for the smaller
// mapping) and the private block stands in. Every true must be matched by TsDisconnectShared.
bool TsConnectSharedData(bool& bWasCreated, DWORD& dwError);
void TsDisconnectShared();
bool TsIsSharedDataConnected();

// A text field of the block: up to its terminator, and never past the field's nBytes,
// since any program of the user can fill the block with anything.
CString TsReadBlockText(const char* pField, int nBytes);

// Empties the cached passwords of the running product and counts a logoff.
void ExternalLogoff(TsSharedDataBlock* pBlock);
// Connects, logs off if connected, and disconnects.
void TsConnectLogoffDisconnect();

// Handles in the block's 32-bit fields: the system's conversions keep both builds in step.
DWORD TsWndToField(HWND hWnd);
HWND TsFieldToWnd(DWORD dwField);

// Neighbouring bits swapped in pairs; the same operation restores the text.
WCHAR TsScrambleChar(WCHAR ch);
// Stores a text scrambled and null-terminated into a password field of nBytes, truncating
// it, and wipes the rest of the field. Reads it back the same way.
void TsStorePassText(WCHAR* pField, int nBytes, const TsString& sText);
TsString TsLoadPassText(const WCHAR* pField, int nBytes);

// The product's registered windows, each read or written under its named lock.
// Without a connection they give null and change nothing.
HWND GetWatcherWnd();
void SetWatcherWnd(HWND hWnd, DWORD dwCompanion);   // SetWatcherWnd(nullptr, 0) clears both
HWND GetPasswordWnd();
HWND GetListWnd();
HWND GetOptWnd();
