#pragma once
// Decoding a compressed block payload held in memory: the path the package tool, the
// fuzzers and the benchmark take. The programs read through their own block stream but
// run the same decoder and parser.
#include <cstddef>
#include <cstdint>

#include "sfx/format/FilePack.h"
#include "sfx/format/LzmaDecoder.h"

// Reads from a byte range. Lives on the caller's stack: the count is kept for the
// interface's sake, never to delete.
class CMemoryInStream : public ISequentialInStream {
public:
    CMemoryInStream(const uint8_t* pData, size_t nSize) : m_pData(pData), m_nSize(nSize) {}
    SfxStatus QueryInterface(const void*, void** ppObject) override;
    uint32_t AddRef() override { return ++m_nRefs; }
    uint32_t Release() override { return --m_nRefs; }
    SfxStatus Read(void* pData, uint32_t dwSize, uint32_t* pdwProcessed) override;
    // Caps each read (the fuzzers vary chunk sizes this way); 0 means no cap.
    void SetMaxRead(uint32_t dwMax) { m_dwMaxRead = dwMax; }
private:
    const uint8_t* m_pData;
    size_t m_nSize;
    size_t m_nPos = 0;
    uint32_t m_dwMaxRead = 0;
    uint32_t m_nRefs = 0;
};

// Hands one chunk of decoder output to a parser, in the output-stream convention: the whole
// chunk counts as processed, or nothing when the parser refuses it.
SfxStatus WriteToParser(CFilePackParser& parser, const void* pData, uint32_t dwSize, uint32_t* pdwProcessed);

// Hands the decoder's output to a file-pack parser.
class CParserOutStream : public ISequentialOutStream {
public:
    explicit CParserOutStream(CFilePackParser& parser) : m_parser(parser) {}
    SfxStatus QueryInterface(const void*, void** ppObject) override;
    uint32_t AddRef() override { return ++m_nRefs; }
    uint32_t Release() override { return --m_nRefs; }
    SfxStatus Write(const void* pData, uint32_t dwSize, uint32_t* pdwProcessed) override;
private:
    CFilePackParser& m_parser;
    uint32_t m_nRefs = 0;
};

enum class PayloadStage { Properties, Decoder, Pack };

// Decodes a compressed payload (properties, then LZMA data) into the parser and checks
// that the pack came complete. On failure *pStage tells which part failed.
SfxStatus DecodeFilePackPayload(const uint8_t* pPayload, uint32_t dwPayloadSize, CFilePackParser& parser,
                                PayloadStage* pStage = nullptr, uint32_t dwMaxRead = 0);
