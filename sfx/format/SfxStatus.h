#pragma once
// Status codes of the setup engine: 32-bit values in the COM convention (0 success,
// negative failure). Kept free of windows.h so that the format code builds on any host.
#include <cstdint>

using SfxStatus = int32_t;

constexpr SfxStatus kSfxOk = 0;
constexpr SfxStatus kSfxFalse = 1;                                            // S_FALSE
constexpr SfxStatus kSfxFail = static_cast<SfxStatus>(0x80004005u);           // E_FAIL
constexpr SfxStatus kSfxNoInterface = static_cast<SfxStatus>(0x80004002u);    // E_NOINTERFACE
constexpr SfxStatus kSfxUnexpected = static_cast<SfxStatus>(0x8000FFFFu);     // E_UNEXPECTED
constexpr SfxStatus kSfxInvalidArg = static_cast<SfxStatus>(0x80070057u);     // E_INVALIDARG
constexpr SfxStatus kSfxOutOfMemory = static_cast<SfxStatus>(0x8007000Eu);    // E_OUTOFMEMORY
constexpr SfxStatus kSfxInvalidData = static_cast<SfxStatus>(0x8007000Du);    // ERROR_INVALID_DATA as a status

constexpr bool SfxFailed(SfxStatus s) { return s < 0; }

// A system error code as a status: 0x80070000 with the code's low 16 bits.
constexpr SfxStatus SfxStatusFromError(uint32_t dwError)
{
    return static_cast<SfxStatus>(0x80070000u | (dwError & 0xFFFFu));
}
