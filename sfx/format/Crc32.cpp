#include "sfx/format/Crc32.h"

#include <array>
#include <cstring>

namespace {

const uint32_t kPolynomial = 0xEDB88320u;
const int kSlices = 16;

using CrcTables = std::array<std::array<uint32_t, 256>, kSlices>;

// Table 0 is the classic bytewise table; table k advances a byte that lies k positions
// further back, so sixteen bytes are folded per step. Built by the compiler from the
// polynomial, so there is no first-use race between threads.
constexpr CrcTables MakeTables()
{
    CrcTables t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? (c >> 1) ^ kPolynomial : c >> 1;
        t[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; ++i)
        for (int s = 1; s < kSlices; ++s)
            t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
    return t;
}

constexpr CrcTables kTables = MakeTables();

inline uint32_t Load32(const unsigned char* p)
{
    // Little-endian assembly; compilers turn it into one load on x86.
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

void Crc32::Update(const void* pData, size_t nSize)
{
    const unsigned char* p = static_cast<const unsigned char*>(pData);
    uint32_t c = m_dwRegister;
    while (nSize >= kSlices) {
        uint32_t a = Load32(p) ^ c;
        uint32_t b = Load32(p + 4);
        uint32_t d = Load32(p + 8);
        uint32_t e = Load32(p + 12);
        c = kTables[15][a & 0xFF] ^ kTables[14][(a >> 8) & 0xFF] ^ kTables[13][(a >> 16) & 0xFF] ^
            kTables[12][a >> 24] ^ kTables[11][b & 0xFF] ^ kTables[10][(b >> 8) & 0xFF] ^
            kTables[9][(b >> 16) & 0xFF] ^ kTables[8][b >> 24] ^ kTables[7][d & 0xFF] ^
            kTables[6][(d >> 8) & 0xFF] ^ kTables[5][(d >> 16) & 0xFF] ^ kTables[4][d >> 24] ^
            kTables[3][e & 0xFF] ^ kTables[2][(e >> 8) & 0xFF] ^ kTables[1][(e >> 16) & 0xFF] ^
            kTables[0][e >> 24];
        p += kSlices;
        nSize -= kSlices;
    }
    while (nSize--)
        c = (c >> 8) ^ kTables[0][(c ^ *p++) & 0xFF];
    m_dwRegister = c;
}

uint32_t Crc32::Of(const void* pData, size_t nSize)
{
    Crc32 crc;
    crc.Update(pData, nSize);
    return crc.Digest();
}
