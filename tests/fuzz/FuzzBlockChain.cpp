// Fuzzes the block-chain walk: any bytes as a package. Every block the walk or a lookup
// gives must lie wholly inside the input, and the walk must end.
#include <cstdint>
#include <cstdlib>
#include <initializer_list>

#include "sfx/format/SfxBlock.h"

namespace {

void Check(bool b)
{
    if (!b)
        std::abort();
}

void CheckBlock(const uint8_t* pBase, uint32_t dwSize, const uint8_t* pBlock)
{
    Check(pBlock >= pBase);
    uint64_t nOffset = static_cast<uint64_t>(pBlock - pBase);
    Check(nOffset + kSfxBlockHeaderSize <= dwSize);
    Check(SfxBlockSignature(pBlock) == kSfxBlockSignature);
    Check(SfxBlockSize(pBlock) >= kSfxBlockHeaderSize);
    Check(nOffset + SfxBlockSize(pBlock) <= dwSize);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    if (nSize > 0xFFFFFFFFu)
        return 0;
    uint32_t dwSize = static_cast<uint32_t>(nSize);
    CSfxNullLog log;
    CSfxChainWalk walk(pData, dwSize, log);
    uint32_t n = 0;
    while (const uint8_t* pBlock = walk.Next()) {
        CheckBlock(pData, dwSize, pBlock);
        Check(++n <= kSfxMaxBlocks);
    }
    for (const char* pszName : {"tessaly", "langs", "config", "portable", "affid", ""}) {
        uint32_t dwPayload = 0;
        const uint8_t* pPayload = FindSfxBlock(pData, dwSize, pszName, &dwPayload, log);
        if (pPayload) {
            CheckBlock(pData, dwSize, pPayload - kSfxBlockHeaderSize);
            Check(static_cast<uint64_t>(pPayload - pData) + dwPayload <= dwSize);
        } else {
            Check(dwPayload == 0);
        }
    }
    TestSFX(pData, dwSize, log);
    return 0;
}
