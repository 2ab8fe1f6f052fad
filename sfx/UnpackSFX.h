#pragma once
// Turning blocks of the package into files: decoding file packs and saving raw payloads.
// Failures are reported to the user here (ReportSetupError); the caller gets the status.
#include <windows.h>

#include "sfx/BlockInStream.h"
#include "sfx/MappedFile.h"
#include "sfx/format/SfxStatus.h"

// Decodes the block's file pack below pszOutputFolder (an existing folder). 0 when every
// file was written or found in place with the right content; 0x80004005 without a message
// when the block is missing; otherwise a failure status after the messages.
SfxStatus UnpackSFX(const CMappedFile& package, const char* pszBlockName, const char* pszOutputFolder);

// Writes the block's payload unchanged to pszPath; bOverwrite false fails on an existing file.
SfxStatus SaveSFX(const CMappedFile& package, const char* pszBlockName, const char* pszPath, bool bOverwrite);

// Reads the properties from the opened block stream and decodes the rest into the files.
SfxStatus DecodeFilePack(CBlockInStream* pBlockStream, const char* pszOutputFolder);
