// Fuzzes the file-pack parser fed in chunks of varying size, and (first byte odd) the LZMA
// payload decoding in front of it. Every file handed over must have a name that, joined to
// the output folder the way Windows resolves paths, stays inside that folder; every file's
// bytes must add up to its size and match its CRC before it is declared complete.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sfx/format/Crc32.h"
#include "sfx/format/FilePack.h"
#include "sfx/format/LzmaDecoder.h"
#include "sfx/format/PackDecode.h"
#include "sfx/format/SfxBlock.h"

namespace {

void Check(bool b)
{
    if (!b)
        std::abort();
}

// Resolves a name below "C:\out" as Windows would: both slashes separate, "." stays,
// ".." goes up, trailing dots and blanks of a component are dropped, a drive or a
// leading separator starts over from a root. True when the result is below the folder.
bool StaysInside(const std::string& sName)
{
    if (sName.empty() || sName[0] == '\\' || sName[0] == '/' || sName.find(':') != std::string::npos)
        return false;
    std::vector<std::string> parts;
    size_t nStart = 0;
    for (;;) {
        size_t nEnd = sName.find_first_of("\\/", nStart);
        std::string sPart = sName.substr(nStart, nEnd == std::string::npos ? std::string::npos : nEnd - nStart);
        while (!sPart.empty() && (sPart.back() == '.' || sPart.back() == ' '))
            sPart.pop_back();
        if (sPart.empty() && sName.compare(nStart, 2, "..") == 0) {
            if (parts.empty())
                return false;
            parts.pop_back();
        } else if (!sPart.empty()) {
            parts.push_back(sPart);
        }
        if (nEnd == std::string::npos)
            break;
        nStart = nEnd + 1;
    }
    return !parts.empty();
}

class CCheckingSink : public IFilePackSink {
public:
    SfxStatus OnFileBegin(const FilePackEntry& e) override
    {
        Check(!m_bOpen);
        Check(IsSafePackEntryName(e.pszName));
        Check(StaysInside(e.pszName));
        Check(std::strlen("C:\\out\\") + std::strlen(e.pszName) <= kSfxMaxPath);
        m_bOpen = true;
        m_nBytes = 0;
        m_crc.Reset();
        return kSfxOk;
    }
    SfxStatus OnFileData(const FilePackEntry& e, const uint8_t* p, size_t n) override
    {
        Check(m_bOpen && n > 0);
        m_nBytes += n;
        Check(m_nBytes <= e.dwSize);
        m_crc.Update(p, n);
        return kSfxOk;
    }
    SfxStatus OnFileEnd(const FilePackEntry& e, uint32_t dwCrc) override
    {
        Check(m_bOpen && m_nBytes == e.dwSize && m_crc.Digest() == dwCrc);
        m_bOpen = false;
        return kSfxOk;
    }
    void OnPackError(FilePackError, const FilePackEntry*) override { m_bOpen = false; }
private:
    bool m_bOpen = false;
    uint64_t m_nBytes = 0;
    Crc32 m_crc;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    if (nSize < 2)
        return 0;
    uint8_t nMode = pData[0];
    uint32_t x = pData[1] * 2654435761u + 1;   // chunk sizes follow from this seed
    pData += 2;
    nSize -= 2;
    CCheckingSink sink;
    CFilePackParser parser(sink, std::strlen("C:\\out"));
    if (nMode & 1) {
        // An LZMA payload; a dictionary above 64 KB only costs the fuzzer time.
        std::vector<uint8_t> payload(pData, pData + nSize);
        if (payload.size() >= kLzmaPropsSize && SfxLoad32(&payload[1]) > (1u << 16))
            SfxStore32(&payload[1], 1u << 16);
        DecodeFilePackPayload(payload.data(), static_cast<uint32_t>(payload.size()), parser, nullptr,
                              1 + (x >> 24) % 64);
        return 0;
    }
    size_t nPos = 0;
    while (nPos < nSize) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        size_t nChunk = 1 + x % (nMode & 2 ? 4096 : 16);
        if (nChunk > nSize - nPos)
            nChunk = nSize - nPos;
        if (SfxFailed(parser.Write(pData + nPos, nChunk)))
            return 0;
        nPos += nChunk;
    }
    SfxStatus s = parser.Finish();
    Check(SfxFailed(s) == !parser.IsComplete());
    return 0;
}
