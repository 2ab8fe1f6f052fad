#pragma once
// The block chain of a mapped package, read with every finding written to the setup log.
#include <windows.h>

#include "sfx/format/SfxBlock.h"

// Stamped lines of the setup log "_ts.log".
ISfxLog& SfxSetupLog();

const BYTE* GetNextSfxBlock(const BYTE* pBase, DWORD dwSize, const BYTE* pCurrent);
const BYTE* FindSfxBlock(const BYTE* pBase, DWORD dwSize, const char* pszName, DWORD* pdwPayloadSize);
bool TestSFX(const BYTE* pBase, DWORD dwSize);
