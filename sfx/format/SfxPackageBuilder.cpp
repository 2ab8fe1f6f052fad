#include "sfx/format/SfxPackageBuilder.h"

#include <cstdlib>

#include "LzmaEnc.h"
#include "sfx/format/Crc32.h"
#include "sfx/format/SfxBlock.h"

namespace {

void* SzAlloc(void*, size_t n) { return n ? std::malloc(n) : nullptr; }
void SzFree(void*, void* p) { std::free(p); }
ISzAlloc g_alloc = {SzAlloc, SzFree};

bool CheckBlockName(const std::string& sName, std::string& sError)
{
    if (sName.empty() || sName.size() > kSfxBlockNameSize || sName.find('\0') != std::string::npos) {
        sError = "block name must have 1 to 8 characters: " + sName;
        return false;
    }
    return true;
}

}  // namespace

bool LzmaCompress(const std::string& sIn, const LzmaOptions& options, std::string& sOut, std::string& sError)
{
    if (options.nLevel < 0 || options.nLevel > 9) {
        sError = "compression level must be 0 to 9";
        return false;
    }
    if (options.dwDictSize != 0 && (options.dwDictSize < (1u << 12) || options.dwDictSize > (1u << 27))) {
        sError = "dictionary size must be 4096 to 134217728 bytes";
        return false;
    }
    CLzmaEncProps props;
    LzmaEncProps_Init(&props);
    props.level = options.nLevel;
    if (options.dwDictSize)
        props.dictSize = options.dwDictSize;
    // A dictionary beyond the data only costs the decoder memory.
    props.reduceSize = sIn.size() < 0xFFFFFFFFu ? static_cast<UInt32>(sIn.size()) : 0xFFFFFFFFu;
    props.numThreads = 1;
    props.writeEndMark = options.bEndMark ? 1 : 0;
    LzmaEncProps_Normalize(&props);

    SizeT nCap = sIn.size() + sIn.size() / 3 + 256;
    sOut.assign(LZMA_PROPS_SIZE + nCap, '\0');
    SizeT nOut = nCap;
    SizeT nProps = LZMA_PROPS_SIZE;
    Byte* pOut = reinterpret_cast<Byte*>(&sOut[0]);
    SRes res = LzmaEncode(pOut + LZMA_PROPS_SIZE, &nOut, reinterpret_cast<const Byte*>(sIn.data()), sIn.size(), &props,
                          pOut, &nProps, options.bEndMark ? 1 : 0, nullptr, &g_alloc, &g_alloc);
    if (res != SZ_OK || nProps != LZMA_PROPS_SIZE) {
        sError = res == SZ_ERROR_MEM ? "not enough memory to compress" : "compression failed";
        sOut.clear();
        return false;
    }
    sOut.resize(LZMA_PROPS_SIZE + nOut);
    return true;
}

std::string SfxMinimalStub()
{
    static const unsigned char kCode[] = {
        0x0E,              // push cs
        0x1F,              // pop ds
        0xBA, 0x0E, 0x00,  // mov dx, message
        0xB4, 0x09,        // mov ah, 9
        0xCD, 0x21,        // int 21h
        0xB8, 0x01, 0x4C,  // mov ax, 4C01h
        0xCD, 0x21,        // int 21h
    };
    std::string s(64, '\0');
    s[0] = 'M';
    s[1] = 'Z';
    s += std::string(reinterpret_cast<const char*>(kCode), sizeof(kCode));
    s += "This package is opened by the Wayfarer starter under Windows.\r\n$";
    s.resize(128, '\0');
    uint8_t* p = reinterpret_cast<uint8_t*>(&s[0]);
    SfxStore16(p + 0x02, 128);     // bytes in the last page
    SfxStore16(p + 0x04, 1);       // pages
    SfxStore16(p + 0x08, 4);       // header paragraphs
    SfxStore16(p + 0x0C, 0xFFFF);  // most memory wanted
    SfxStore16(p + 0x10, 0xB8);    // initial stack pointer
    SfxStore16(p + 0x18, 0x40);    // relocation table offset
    return s;
}

CSfxPackageBuilder::CSfxPackageBuilder() : m_stub(SfxMinimalStub()) {}

bool CSfxPackageBuilder::SetStub(const std::string& sStub, std::string& sError)
{
    if (sStub.size() < 64 || sStub[0] != 'M' || sStub[1] != 'Z') {
        sError = "the stub is no executable (it must begin with \"MZ\" and hold a 64-byte DOS header)";
        return false;
    }
    m_stub = sStub;
    return true;
}

bool CSfxPackageBuilder::AddRawBlock(const std::string& sName, const std::string& sPayload, std::string& sError, bool bCrc)
{
    if (!CheckBlockName(sName, sError))
        return false;
    m_blocks.push_back({sName, sPayload, bCrc});
    return true;
}

bool CSfxPackageBuilder::AddCompressedBlock(const std::string& sName, const std::string& sPackBytes,
                                            const LzmaOptions& options, std::string& sError)
{
    if (!CheckBlockName(sName, sError))
        return false;
    std::string sPayload;
    if (!LzmaCompress(sPackBytes, options, sPayload, sError))
        return false;
    m_blocks.push_back({sName, std::move(sPayload), true});
    return true;
}

bool CSfxPackageBuilder::AddFilePackBlock(const std::string& sName, const std::vector<FilePackItem>& items,
                                          const LzmaOptions& options, std::string& sError)
{
    std::string sPack;
    if (!EncodeFilePack(items, sPack, sError)) {
        sError = "block " + sName + ": " + sError;
        return false;
    }
    return AddCompressedBlock(sName, sPack, options, sError);
}

bool CSfxPackageBuilder::Build(std::string& sOut, std::string& sError)
{
    m_offsets.clear();
    if (m_blocks.empty()) {
        sError = "a package needs at least one block";
        return false;
    }
    uint64_t nTotal = m_stub.size();
    for (const Block& b : m_blocks)
        nTotal += kSfxBlockHeaderSize + b.sPayload.size();
    if (nTotal > 0xFFFFFFFFu) {
        sError = "the package would reach 4 GB; its offsets are 32-bit";
        return false;
    }
    sOut = m_stub;
    sOut.reserve(static_cast<size_t>(nTotal));
    for (size_t i = 0; i < m_blocks.size(); ++i) {
        const Block& b = m_blocks[i];
        uint32_t dwOffset = static_cast<uint32_t>(sOut.size());
        uint32_t dwSize = static_cast<uint32_t>(kSfxBlockHeaderSize + b.sPayload.size());
        m_offsets.push_back(dwOffset);
        uint8_t h[kSfxBlockHeaderSize] = {};
        SfxStore16(h, kSfxBlockSignature);
        SfxStore32(h + 2, dwSize);
        SfxStore32(h + 6, b.bCrc ? Crc32::Of(b.sPayload.data(), b.sPayload.size()) : 0);
        SfxStore32(h + 10, i + 1 < m_blocks.size() ? dwOffset + dwSize : 0);
        std::memcpy(h + 14, b.sName.data(), b.sName.size());
        sOut.append(reinterpret_cast<const char*>(h), sizeof(h));
        sOut += b.sPayload;
    }
    uint8_t* p = reinterpret_cast<uint8_t*>(&sOut[0]);
    SfxStore32(p + 0x28, m_offsets[0]);
    SfxStore32(p + 0x2C, m_offsets[0]);
    SfxStore32(p + 0x30, kSfxAnchorCheckValue);
    SfxStore32(p + 0x34, kSfxAnchorCheckValue);
    return true;
}
