#pragma once
// The block chain of a mapped package, read with every finding written to the setup log.
#include <windows.h>

#include "framework/FaultGuard.h"
#include "sfx/format/SfxBlock.h"

// Stamped lines of the setup log "_ts.log".
ISfxLog& SfxSetupLog();

// The package lies on a removable drive: when it goes while its mapped view is read, the
// read faults. Each of these then ends as if the package were damaged (null, false), logs
// "Package read fault" and fills *pFault when given (dwCode 0 when nothing faulted).
const BYTE* GetNextSfxBlock(const BYTE* pBase, DWORD dwSize, const BYTE* pCurrent, TsFaultInfo* pFault = nullptr);
const BYTE* FindSfxBlock(const BYTE* pBase, DWORD dwSize, const char* pszName, DWORD* pdwPayloadSize,
                         TsFaultInfo* pFault = nullptr);
bool TestSFX(const BYTE* pBase, DWORD dwSize, TsFaultInfo* pFault = nullptr);
