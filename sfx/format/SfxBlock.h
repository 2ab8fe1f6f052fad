#pragma once
// The package container: a chain of named blocks reached from an anchor in the DOS
// header of the package executable. Pure code over a byte range; the caller owns the
// bytes (in the programs, a read-only view of the package file).
#include <cstdint>
#include <cstring>

#include "sfx/format/SfxLog.h"

constexpr uint16_t kSfxBlockSignature = 0x5453;   // bytes "ST"
constexpr uint32_t kSfxBlockHeaderSize = 22;
constexpr uint32_t kSfxBlockNameSize = 8;
constexpr uint32_t kSfxAnchorOffset = 0x28;        // four words in the DOS header's reserved area
constexpr uint32_t kSfxAnchorEnd = 0x38;
// A package carries a handful of blocks; a longer chain is damaged or hostile and would
// only cost time (every block is logged and checked).
constexpr uint32_t kSfxMaxBlocks = 1024;

inline uint16_t SfxLoad16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t SfxLoad32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}
inline void SfxStore16(uint8_t* p, uint16_t v) { p[0] = static_cast<uint8_t>(v); p[1] = static_cast<uint8_t>(v >> 8); }
inline void SfxStore32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// How the chain's bytes are read. In the programs the package is a view of a file on a
// removable drive, where a plain read faults once the drive is gone: they read it through
// copies that fail instead. A read that fails ends the walk as the end of the chain would,
// with nothing logged here (the reader knows why it failed).
class ISfxBytes {
public:
    // Copies dwSize bytes at pSrc to pDst; false when they could not be read.
    virtual bool Copy(void* pDst, const uint8_t* pSrc, uint32_t dwSize) = 0;
    // The CRC-32 of dwSize bytes at pSrc in *pdwCrc; false when they could not be read.
    virtual bool Crc(const uint8_t* pSrc, uint32_t dwSize, uint32_t* pdwCrc) = 0;
protected:
    ~ISfxBytes() = default;
};

// Plain reads of memory that is always readable (a package held in memory).
ISfxBytes& SfxDirectBytes();

// Field access on a copy of a block header (kSfxBlockHeaderSize bytes), or on a header that
// GetNextSfxBlock has accepted in memory that is always readable.
inline uint16_t SfxBlockSignature(const uint8_t* pBlock) { return SfxLoad16(pBlock); }
inline uint32_t SfxBlockSize(const uint8_t* pBlock) { return SfxLoad32(pBlock + 2); }
inline uint32_t SfxBlockCrc(const uint8_t* pBlock) { return SfxLoad32(pBlock + 6); }
inline uint32_t SfxBlockNext(const uint8_t* pBlock) { return SfxLoad32(pBlock + 10); }
inline const uint8_t* SfxBlockName(const uint8_t* pBlock) { return pBlock + 14; }
inline const uint8_t* SfxBlockPayload(const uint8_t* pBlock) { return pBlock + kSfxBlockHeaderSize; }
inline uint32_t SfxBlockPayloadSize(const uint8_t* pBlock) { return SfxBlockSize(pBlock) - kSfxBlockHeaderSize; }
// The name field as text: at most 8 characters, cut at the first zero byte.
void SfxBlockNameText(const uint8_t* pBlock, char (&szName)[kSfxBlockNameSize + 1]);

// The block after pCurrent, or the first block when pCurrent is null. Null at the end of
// the chain, on any structural error (logged) or when a read failed. Never reads outside
// [pBase, pBase + dwSize), and reads only through bytes.
const uint8_t* GetNextSfxBlock(const uint8_t* pBase, uint32_t dwSize, const uint8_t* pCurrent, ISfxLog& log,
                               ISfxBytes& bytes = SfxDirectBytes());

// Walks the chain from its first block and ends it when it loops back to a block seen
// before or grows past kSfxMaxBlocks (both logged). Loops are found by Brent's method,
// so the walk needs no memory and visits each block at most a few times.
class CSfxChainWalk {
public:
    CSfxChainWalk(const uint8_t* pBase, uint32_t dwSize, ISfxLog& log, ISfxBytes& bytes = SfxDirectBytes())
        : m_pBase(pBase), m_dwSize(dwSize), m_log(log), m_bytes(bytes) {}
    // The next block, null when the walk has ended.
    const uint8_t* Next();
    uint32_t Count() const { return m_nCount; }
private:
    const uint8_t* m_pBase;
    uint32_t m_dwSize;
    ISfxLog& m_log;
    ISfxBytes& m_bytes;
    const uint8_t* m_pCurrent = nullptr;
    const uint8_t* m_pMark = nullptr;  // Brent's tortoise
    uint32_t m_nPower = 1;
    uint32_t m_nSinceMark = 0;
    uint32_t m_nCount = 0;
    bool m_bEnded = false;
};

// The payload of the first block whose name field begins with the first (at most eight)
// characters of pszName, with its size in *pdwPayloadSize; null (size 0) when none.
const uint8_t* FindSfxBlock(const uint8_t* pBase, uint32_t dwSize, const char* pszName, uint32_t* pdwPayloadSize,
                            ISfxLog& log, ISfxBytes& bytes = SfxDirectBytes());

// True when every block the chain reaches has a stored CRC of 0 or a matching payload CRC.
// False, with no verdict logged, when a read failed.
bool TestSFX(const uint8_t* pBase, uint32_t dwSize, ISfxLog& log, ISfxBytes& bytes = SfxDirectBytes());
