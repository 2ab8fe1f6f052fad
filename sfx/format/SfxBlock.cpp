#include "sfx/format/SfxBlock.h"

#include "sfx/format/Crc32.h"

void SfxBlockNameText(const uint8_t* pBlock, char (&szName)[kSfxBlockNameSize + 1])
{
    std::memcpy(szName, SfxBlockName(pBlock), kSfxBlockNameSize);
    szName[kSfxBlockNameSize] = 0;
}

const uint8_t* GetNextSfxBlock(const uint8_t* pBase, uint32_t dwSize, const uint8_t* pCurrent, ISfxLog& log)
{
    if (!pBase || dwSize == 0)
        return nullptr;

    uint32_t dwCandidate;
    if (pCurrent) {
        // A current block that is not inside the file cannot be read at all.
        if (pCurrent < pBase || static_cast<uint64_t>(pCurrent - pBase) + kSfxBlockHeaderSize > dwSize) {
            log.Write("GetNextSfxBlock: Current section does not fit in SFX", "", 0);
            return nullptr;
        }
        if (SfxBlockSignature(pCurrent) != kSfxBlockSignature) {
            log.Write("GetNextSfxBlock: Bad signature in current section", "", 0);
            return nullptr;
        }
        dwCandidate = SfxBlockNext(pCurrent);
        if (dwCandidate == 0)
            return nullptr;
        if (dwCandidate >= dwSize) {
            log.Write("GetNextSfxBlock: Current section does not fit in SFX", "", 0);
            return nullptr;
        }
    } else {
        if (dwSize < 2 || pBase[0] != 'M' || pBase[1] != 'Z') {
            log.Write("GetNextSfxBlock: No DOS Sign", "", 0);
            return nullptr;
        }
        if (dwSize < kSfxAnchorEnd) {
            log.Write("GetNextSfxBlock: Bad SFX data in DOS Header", "", 0);
            return nullptr;
        }
        uint32_t dwFirst = SfxLoad32(pBase + 0x28);
        uint32_t dwCheck = SfxLoad32(pBase + 0x30);
        if (dwFirst == 0 || dwFirst != SfxLoad32(pBase + 0x2C) || dwCheck == 0 || dwCheck != SfxLoad32(pBase + 0x34) ||
            dwFirst >= dwSize) {
            log.Write("GetNextSfxBlock: Bad SFX data in DOS Header", "", 0);
            return nullptr;
        }
        dwCandidate = dwFirst;
    }

    // The header must lie wholly inside the file before any of it is read.
    if (static_cast<uint64_t>(dwCandidate) + kSfxBlockHeaderSize > dwSize) {
        log.Write("GetNextSfxBlock: Next sect bad size", "", 0);
        return nullptr;
    }
    const uint8_t* pBlock = pBase + dwCandidate;
    if (SfxBlockSignature(pBlock) != kSfxBlockSignature) {
        log.Write("GetNextSfxBlock: Bad next signature", "", 0);
        return nullptr;
    }
    // 64-bit sum: a huge block size must not wrap around and pass as a small one.
    uint32_t dwBlockSize = SfxBlockSize(pBlock);
    if (dwBlockSize < kSfxBlockHeaderSize || static_cast<uint64_t>(dwCandidate) + dwBlockSize > dwSize) {
        log.Write("GetNextSfxBlock: Next sect bad size", "", 0);
        return nullptr;
    }
    return pBlock;
}

const uint8_t* CSfxChainWalk::Next()
{
    if (m_bEnded)
        return nullptr;
    const uint8_t* pNext = GetNextSfxBlock(m_pBase, m_dwSize, m_pCurrent, m_log);
    if (pNext && pNext == m_pMark) {
        m_log.Write("GetNextSfxBlock: Chain loops back to an earlier section", "",
                    static_cast<uint32_t>(pNext - m_pBase));
        pNext = nullptr;
    } else if (pNext && m_nCount >= kSfxMaxBlocks) {
        m_log.Write("GetNextSfxBlock: Too many sections in SFX", "", kSfxMaxBlocks);
        pNext = nullptr;
    }
    if (!pNext) {
        m_bEnded = true;
        return nullptr;
    }
    if (!m_pMark || m_nSinceMark == m_nPower) {
        m_pMark = pNext;
        m_nPower *= 2;
        m_nSinceMark = 0;
    }
    ++m_nSinceMark;
    ++m_nCount;
    m_pCurrent = pNext;
    return pNext;
}

const uint8_t* FindSfxBlock(const uint8_t* pBase, uint32_t dwSize, const char* pszName, uint32_t* pdwPayloadSize,
                            ISfxLog& log)
{
    if (!pBase || !pszName || !pdwPayloadSize)
        return nullptr;
    *pdwPayloadSize = 0;
    size_t n = std::strlen(pszName);
    if (n > kSfxBlockNameSize)
        n = kSfxBlockNameSize;
    CSfxChainWalk walk(pBase, dwSize, log);
    while (const uint8_t* pBlock = walk.Next()) {
        if (std::memcmp(SfxBlockName(pBlock), pszName, n) == 0) {
            *pdwPayloadSize = SfxBlockPayloadSize(pBlock);
            return SfxBlockPayload(pBlock);
        }
    }
    return nullptr;
}

bool TestSFX(const uint8_t* pBase, uint32_t dwSize, ISfxLog& log)
{
    if (!pBase || dwSize == 0) {
        log.Write("TestSFX - Bad Params", "", 0);
        return false;
    }
    CSfxChainWalk walk(pBase, dwSize, log);
    const uint8_t* pBlock = walk.Next();
    if (!pBlock) {
        log.Write("TestSFX() - ", "FAIL", 0);
        return false;
    }
    for (; pBlock; pBlock = walk.Next()) {
        char szName[kSfxBlockNameSize + 1];
        SfxBlockNameText(pBlock, szName);
        uint32_t dwStored = SfxBlockCrc(pBlock);
        if (dwStored != 0 && Crc32::Of(SfxBlockPayload(pBlock), SfxBlockPayloadSize(pBlock)) != dwStored) {
            log.Write("TestSFX - bad CRC", szName, dwStored);
            return false;
        }
        log.Write("TestSFX - good block", szName, SfxBlockSize(pBlock));
    }
    log.Write("TestSFX() - ", "OK", 0);
    return true;
}
