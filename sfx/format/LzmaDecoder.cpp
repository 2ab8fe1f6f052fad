#include "sfx/format/LzmaDecoder.h"

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

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
    LzmaDec_Init(&m_pState->dec);
    return m_bDecodingThread ? CodeOnTwoThreads(pIn, pOut) : CodeOnThisThread(pIn, pOut);
}

// Fills the input buffer when it is empty. A failing read ends decoding with its status.
SfxStatus CLzmaDecoder::FillInput(ISequentialInStream* pIn, uint32_t& dwInPos, uint32_t& dwInSize)
{
    if (dwInPos != dwInSize)
        return kSfxOk;
    dwInPos = dwInSize = 0;
    SfxStatus s = pIn->Read(m_pInBuffer, kInBufferSize, &dwInSize);
    if (SfxFailed(s))
        return s;
    if (dwInSize > kInBufferSize) {
        dwInSize = 0;
        return kSfxFail;
    }
    return kSfxOk;
}

// One call of the library's decoder from dicPos up to nLimit. Sets bFinished when the
// stream has ended (end marker, or the input gave out) and returns the status it ends with.
SfxStatus CLzmaDecoder::DecodeStep(size_t nLimit, uint32_t& dwInPos, uint32_t dwInSize, bool& bFinished)
{
    CLzmaDec& d = m_pState->dec;
    SizeT nDicBefore = d.dicPos;
    SizeT nInLeft = dwInSize - dwInPos;
    ELzmaStatus status;
    SRes res = LzmaDec_DecodeToDic(&d, nLimit, m_pInBuffer + dwInPos, &nInLeft, LZMA_FINISH_ANY, &status);
    dwInPos += static_cast<uint32_t>(nInLeft);
    m_nInProcessed += nInLeft;
    SizeT nOut = d.dicPos - nDicBefore;
    m_nOutProcessed += nOut;
    bFinished = (nInLeft == 0 && nOut == 0) || status == LZMA_STATUS_FINISHED_WITH_MARK;
    if (res != SZ_OK) {
        bFinished = true;
        return kSfxInvalidData;
    }
    if (bFinished)
        return status == LZMA_STATUS_FINISHED_WITH_MARK ? kSfxOk : kSfxFalse;
    return kSfxOk;
}

SfxStatus CLzmaDecoder::CodeOnThisThread(ISequentialInStream* pIn, ISequentialOutStream* pOut)
{
    CLzmaDec& d = m_pState->dec;
    uint32_t dwInPos = 0;
    uint32_t dwInSize = 0;
    SizeT nFlushed = 0;   // dictionary bytes already written
    for (;;) {
        SfxStatus s = FillInput(pIn, dwInPos, dwInSize);
        if (SfxFailed(s))
            return s;
        if (d.dicPos == d.dicBufSize) {
            d.dicPos = 0;
            nFlushed = 0;
        }
        bool bFinished = false;
        SfxStatus sDecode = DecodeStep(d.dicBufSize, dwInPos, dwInSize, bFinished);
        if (bFinished || d.dicPos == d.dicBufSize) {
            s = WriteAll(pOut, d.dic + nFlushed, d.dicPos - nFlushed);
            nFlushed = d.dicPos;
            // The output stream's failure comes first: it says why decoding had to stop.
            if (SfxFailed(s))
                return s;
            if (bFinished)
                return sDecode;
        }
    }
}

// The decoding thread fills the dictionary (a ring) while the calling thread writes what
// is ready straight out of it; the decoder never overwrites bytes not yet written. All
// writes, and so everything the output stream does (files, messages), stay on the
// calling thread; only the input stream is read from the decoding thread.
struct CLzmaDecoder::Handoff {
    std::mutex mutex;
    std::condition_variable changed;
    uint64_t nReady = 0;        // ring bytes decoded and handed over, in total
    uint64_t nWritten = 0;      // of these, written by the calling thread
    bool bDecoderDone = false;
    bool bWriterFailed = false;
    SfxStatus decodeStatus = kSfxOk;
};

void CLzmaDecoder::DecodeForWriter(ISequentialInStream* pIn, Handoff& h)
{
    CLzmaDec& d = m_pState->dec;
    const uint64_t nRing = d.dicBufSize;
    uint32_t dwInPos = 0;
    uint32_t dwInSize = 0;
    uint64_t nDecoded = 0;
    uint64_t nHanded = 0;
    SfxStatus result = kSfxOk;
    for (;;) {
        SfxStatus s = FillInput(pIn, dwInPos, dwInSize);
        if (SfxFailed(s)) {
            result = s;
            break;
        }
        if (d.dicPos == d.dicBufSize)
            d.dicPos = 0;
        uint64_t nRoom;
        {
            std::unique_lock<std::mutex> lock(h.mutex);
            nRoom = nRing - (nDecoded - h.nWritten);
            // Handed over in pieces of a useful size, and always before waiting for room.
            if (nDecoded - nHanded >= kHandoffSize || nRoom == 0) {
                h.nReady = nHanded = nDecoded;
                h.changed.notify_all();
            }
            h.changed.wait(lock, [&] { return h.bWriterFailed || nRing - (nDecoded - h.nWritten) > 0; });
            if (h.bWriterFailed)
                break;
            nRoom = nRing - (nDecoded - h.nWritten);
        }
        size_t nStep = static_cast<size_t>(std::min<uint64_t>({nRoom, kHandoffSize, d.dicBufSize - d.dicPos}));
        SizeT nBefore = d.dicPos;
        bool bFinished = false;
        SfxStatus sDecode = DecodeStep(d.dicPos + nStep, dwInPos, dwInSize, bFinished);
        nDecoded += d.dicPos - nBefore;
        if (bFinished) {
            result = sDecode;
            break;
        }
    }
    std::lock_guard<std::mutex> lock(h.mutex);
    h.nReady = nDecoded;
    h.decodeStatus = result;
    h.bDecoderDone = true;
    h.changed.notify_all();
}

SfxStatus CLzmaDecoder::CodeOnTwoThreads(ISequentialInStream* pIn, ISequentialOutStream* pOut)
{
    const uint8_t* pRing = m_pState->dec.dic;
    const uint64_t nRing = m_pState->dec.dicBufSize;
    Handoff h;
    std::thread decoder;
    try {
        decoder = std::thread([this, pIn, &h] { DecodeForWriter(pIn, h); });
    } catch (const std::system_error&) {
        return CodeOnThisThread(pIn, pOut);   // no thread to be had: nothing decoded yet
    }
    SfxStatus sWrite = kSfxOk;
    uint64_t nWritten = 0;
    for (;;) {
        uint64_t nReady;
        bool bDone;
        {
            std::unique_lock<std::mutex> lock(h.mutex);
            h.changed.wait(lock, [&] { return h.nReady > nWritten || h.bDecoderDone; });
            nReady = h.nReady;
            bDone = h.bDecoderDone;
        }
        while (nWritten < nReady && !SfxFailed(sWrite)) {
            size_t nAt = static_cast<size_t>(nWritten % nRing);
            size_t n = static_cast<size_t>(std::min<uint64_t>(nReady - nWritten, nRing - nAt));
            sWrite = WriteAll(pOut, pRing + nAt, n);
            if (!SfxFailed(sWrite))
                nWritten += n;
            std::lock_guard<std::mutex> lock(h.mutex);
            h.nWritten = nWritten;
            h.bWriterFailed = SfxFailed(sWrite);
            h.changed.notify_all();
        }
        if (SfxFailed(sWrite) || (bDone && nWritten == nReady))
            break;
    }
    decoder.join();
    // The output stream's failure comes first: it says why decoding had to stop.
    return SfxFailed(sWrite) ? sWrite : h.decodeStatus;
}
