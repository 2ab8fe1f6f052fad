#pragma once
// CRC-32 of ISO 3309 / ITU-T V.42 (zlib, PKZIP): reflected polynomial 0xEDB88320, register
// preset to 0xFFFFFFFF, digest inverted. Protects block payloads and every packed file.
#include <cstddef>
#include <cstdint>

class Crc32 {
public:
    Crc32() = default;
    void Reset() { m_dwRegister = 0xFFFFFFFFu; }
    void Update(const void* pData, size_t nSize);
    uint32_t Digest() const { return ~m_dwRegister; }
    uint32_t Register() const { return m_dwRegister; }

    // The digest of one range.
    static uint32_t Of(const void* pData, size_t nSize);

private:
    uint32_t m_dwRegister = 0xFFFFFFFFu;
};
