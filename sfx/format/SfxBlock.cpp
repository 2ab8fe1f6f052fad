#include "sfx/format/SfxBlock.h"

#include "sfx/format/Crc32.h"

namespace {

class CDirectBytes final : public ISfxBytes {
public:
    bool Copy(void* pDst, const uint8_t* pSrc, uint32_t dwSize) override
    {
        std::memcpy(pDst, pSrc, dwSize);
        return true;
    }
    bool Crc(const uint8_t* pSrc, uint32_t dwSize, uint32_t* pdwCrc) override
    {
        *pdwCrc = Crc32::Of(pSrc, dwSize);
        return true;
    }
};

}  // namespace

ISfxBytes& SfxDirectBytes()
{
    static CDirectBytes s_bytes;
    return s_bytes;
}

void SfxBlockNameText(const uint8_t* pBlock, char (&szName)[kSfxBlockNameSize + 1])
{
    std::memcpy(szName, SfxBlockName(pBlock), kSfxBlockNameSize);
    szName[kSfxBlockNameSize] = 0;
}

const uint8_t* GetNextSfxBlock(const uint8_t* pBase, uint32_t dwSize, const uint8_t* pCurrent, ISfxLog& log,
                               ISfxBytes& bytes)
{
    uint8_t header[kSfxBlockHeaderSize];
    if (!pBase || dwSize == 0)
        return nullptr;

    uint32_t dwCandidate;
    if (pCurrent) {
        // A current block that is not inside the file cannot be read at all.
        if (pCurrent < pBase || static_cast<uint64_t>(pCurrent - pBase) + kSfxBlockHeaderSize > dwSize) {
            log.Write("GetNextSfxBlock: Current section does not fit in SFX", "", 0);
            return nullptr;
        }
        if (!bytes.Copy(header, pCurrent, kSfxBlockHeaderSize))
            return nullptr;
        if (SfxBlockSignature(header) != kSfxBlockSignature) {
            log.Write("GetNextSfxBlock: Bad signature in current section", "", 0);
            return nullptr;
        }
        dwCandidate = SfxBlockNext(header);
        if (dwCandidate == 0)
            return nullptr;
        if (dwCandidate >= dwSize) {
            log.Write("GetNextSfxBlock: Current section does not fit in SFX", "", 0);
            return nullptr;
        }
    } else {
        uint8_t dos[kSfxAnchorEnd];
        const uint32_t dwDos = dwSize < kSfxAnchorEnd ? dwSize : kSfxAnchorEnd;
        if (!bytes.Copy(dos, pBase, dwDos))
            return nullptr;
        if (dwSize < 2 || dos[0] != 'M' || dos[1] != 'Z') {
            log.Write("GetNextSfxBlock: No DOS Sign", "", 0);
            return nullptr;
        }
        if (dwSize < kSfxAnchorEnd) {
            log.Write("GetNextSfxBlock: Bad SFX data in DOS Header", "", 0);
            return nullptr;
        }
        uint32_t dwFirst = SfxLoad32(dos + 0x28);
        uint32_t dwCheck = SfxLoad32(dos + 0x30);
        if (dwFirst == 0 || dwFirst != SfxLoad32(dos + 0x2C) || dwCheck == 0 || dwCheck != SfxLoad32(dos + 0x34) ||
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
    if (!bytes.Copy(header, pBlock, kSfxBlockHeaderSize))
        return nullptr;
    if (SfxBlockSignature(header) != kSfxBlockSignature) {
        log.Write("GetNextSfxBlock: Bad next signature", "", 0);
        return nullptr;
    }
    // 64-bit sum: a huge block size must not wrap around and pass as a small one.
    uint32_t dwBlockSize = SfxBlockSize(header);
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
    const uint8_t* pNext = GetNextSfxBlock(m_pBase, m_dwSize, m_pCurrent, m_log, m_bytes);
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
                            ISfxLog& log, ISfxBytes& bytes)
{
    if (!pBase || !pszName || !pdwPayloadSize)
        return nullptr;
    *pdwPayloadSize = 0;
    size_t n = std::strlen(pszName);
    if (n > kSfxBlockNameSize)
        n = kSfxBlockNameSize;
    CSfxChainWalk walk(pBase, dwSize, log, bytes);
    while (const uint8_t* pBlock = walk.Next()) {
        uint8_t header[kSfxBlockHeaderSize];
        if (!bytes.Copy(header, pBlock, kSfxBlockHeaderSize))
            return nullptr;
        if (std::memcmp(SfxBlockName(header), pszName, n) == 0) {
            *pdwPayloadSize = SfxBlockPayloadSize(header);
            return SfxBlockPayload(pBlock);
        }
    }
    return nullptr;
}

bool TestSFX(const uint8_t* pBase, uint32_t dwSize, ISfxLog& log, ISfxBytes& bytes)
{
    if (!pBase || dwSize == 0) {
        log.Write("TestSFX - Bad Params", "", 0);
        return false;
    }
    CSfxChainWalk walk(pBase, dwSize, log, bytes);
    const uint8_t* pBlock = walk.Next();
    if (!pBlock) {
        log.Write("TestSFX() - ", "FAIL", 0);
        return false;
    }
    for (; pBlock; pBlock = walk.Next()) {
        uint8_t header[kSfxBlockHeaderSize];
        if (!bytes.Copy(header, pBlock, kSfxBlockHeaderSize))
            return false;
        char szName[kSfxBlockNameSize + 1];
        SfxBlockNameText(header, szName);
        uint32_t dwStored = SfxBlockCrc(header);
        if (dwStored != 0) {
            uint32_t dwCrc = 0;
            if (!bytes.Crc(SfxBlockPayload(pBlock), SfxBlockPayloadSize(header), &dwCrc))
                return false;
            if (dwCrc != dwStored) {
                log.Write("TestSFX - bad CRC", szName, dwStored);
                return false;
            }
        }
        log.Write("TestSFX - good block", szName, SfxBlockSize(header));
    }
    log.Write("TestSFX() - ", "OK", 0);
    return true;
}
