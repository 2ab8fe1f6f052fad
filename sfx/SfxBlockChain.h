#pragma once
// The block chain of a mapped package, read with every finding written to the setup log.
#include <windows.h>

#include "framework/FaultGuard.h"
#include "sfx/format/SfxBlock.h"

// Stamped lines of the setup log "_ts.log".
ISfxLog& SfxSetupLog();

// The package lies on a removable drive: when it goes while its mapped view is read, a plain
// read would fault. These read the view only through safe copies; when one fails they end as
// if the package were damaged (null, false), log "Package read fault" and fill *pFault when
// given (dwError 0 when every read succeeded).
const BYTE* GetNextSfxBlock(const BYTE* pBase, DWORD dwSize, const BYTE* pCurrent, TsFaultInfo* pFault = nullptr);
const BYTE* FindSfxBlock(const BYTE* pBase, DWORD dwSize, const char* pszName, DWORD* pdwPayloadSize,
                         TsFaultInfo* pFault = nullptr);
bool TestSFX(const BYTE* pBase, DWORD dwSize, TsFaultInfo* pFault = nullptr);
