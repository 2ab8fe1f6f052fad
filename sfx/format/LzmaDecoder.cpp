#include "sfx/format/LzmaDecoder.h"

#include <cstdlib>
#include <new>

#include "LzmaDec.h"

namespace {

void* SzAlloc(void*, size_t n) { return n ? std::malloc(n) : nullptr; }
void SzFree(void*, void* p) { std::free(p); }
ISzAlloc g_alloc = {SzAlloc, SzFree};

// Writes all of a range; a stream that takes less than offered has failed.
SfxStatus WriteAll(ISequentialOutStream* pOut, const uint8_t* p, size_t n)
{
    while (n > 0) {
        uint32_t dwChunk = n > 0x80000000u ? 0x80000000u : static_cast<uint32_t>(n);
        uint32_t dwDone = 0;
        SfxStatus s = pOut->Write(p, dwChunk, &dwDone);
        if (SfxFailed(s))
            return s;
        if (dwDone == 0 || dwDone > dwChunk)
            return kSfxFail;
        p += dwDone;
        n -= dwDone;
    }
    return kSfxOk;
}

}  // namespace

struct CLzmaDecoder::State {
    CLzmaDec dec;
    bool bAllocated = false;
};

CLzmaDecoder::CLzmaDecoder() : m_pState(new State)
{
    LzmaDec_Construct(&m_pState->dec);
}

CLzmaDecoder::~CLzmaDecoder()
{
    if (m_pState->bAllocated)
        LzmaDec_Free(&m_pState->dec, &g_alloc);
    delete m_pState;
    std::free(m_pInBuffer);
}

uint32_t CLzmaDecoder::DictionarySize() const
{
    return m_pState->bAllocated ? m_pState->dec.prop.dicSize : 0;
}

SfxStatus CLzmaDecoder::SetDecoderProperties2(const uint8_t* pProps, uint32_t dwSize)
{
    if (!pProps || dwSize != kLzmaPropsSize)
        return kSfxInvalidArg;
    if (m_pState->bAllocated) {
        LzmaDec_Free(&m_pState->dec, &g_alloc);
        m_pState->bAllocated = false;
    }
    SRes res = LzmaDec_Allocate(&m_pState->dec, pProps, dwSize, &g_alloc);
    if (res == SZ_ERROR_MEM)
        return kSfxOutOfMemory;
    if (res != SZ_OK)
        return kSfxInvalidArg;
    m_pState->bAllocated = true;
    if (!m_pInBuffer) {
        m_pInBuffer = static_cast<uint8_t*>(std::malloc(kInBufferSize));
        if (!m_pInBuffer)
            return kSfxOutOfMemory;
    }
    return kSfxOk;
}

SfxStatus CLzmaDecoder::Code(ISequentialInStream* pIn, ISequentialOutStream* pOut)
{
    m_nInProcessed = 0;
    m_nOutProcessed = 0;
    if (!m_pState->bAllocated || !m_pInBuffer)
        return kSfxUnexpected;
    if (!pIn || !pOut)
        return kSfxInvalidArg;
    CStreamRef<ISequentialInStream> in(pIn);
    CStreamRef<ISequentialOutStream> out(pOut);

    CLzmaDec& d = m_pState->dec;
    LzmaDec_Init(&d);
    uint32_t dwInPos = 0;
    uint32_t dwInSize = 0;
    SizeT nFlushed = 0;   // dictionary bytes already written
    for (;;) {
        if (dwInPos == dwInSize) {
            dwInPos = dwInSize = 0;
            SfxStatus s = in->Read(m_pInBuffer, kInBufferSize, &dwInSize);
            if (SfxFailed(s))
                return s;
            if (dwInSize > kInBufferSize)
                return kSfxFail;
        }
        if (d.dicPos == d.dicBufSize) {
            d.dicPos = 0;
            nFlushed = 0;
        }
        SizeT nDicBefore = d.dicPos;
        SizeT nInLeft = dwInSize - dwInPos;
        ELzmaStatus status;
        SRes res = LzmaDec_DecodeToDic(&d, d.dicBufSize, m_pInBuffer + dwInPos, &nInLeft, LZMA_FINISH_ANY, &status);
        dwInPos += static_cast<uint32_t>(nInLeft);
        m_nInProcessed += nInLeft;
        SizeT nOut = d.dicPos - nDicBefore;
        m_nOutProcessed += nOut;

        bool bFinished = (nInLeft == 0 && nOut == 0) || status == LZMA_STATUS_FINISHED_WITH_MARK;
        if (res != SZ_OK || d.dicPos == d.dicBufSize || bFinished) {
            SfxStatus s = WriteAll(pOut, d.dic + nFlushed, d.dicPos - nFlushed);
            nFlushed = d.dicPos;
            // The output stream's failure comes first: it says why decoding had to stop.
            if (SfxFailed(s))
                return s;
            if (res != SZ_OK)
                return kSfxInvalidData;
            if (bFinished)
                return status == LZMA_STATUS_FINISHED_WITH_MARK ? kSfxOk : kSfxFalse;
        }
    }
}
