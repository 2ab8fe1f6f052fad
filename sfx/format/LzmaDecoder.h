#pragma once
// The LZMA decoder behind the sequential stream interfaces of the decoder library: the
// caller hands it the five property bytes, then an input and an output stream, and it
// decodes until an end marker or until the input delivers no more bytes. Decoded bytes go
// to the output straight from the decoder's dictionary. By default a second thread decodes
// while the calling thread writes: the output stream is only ever called on the calling
// thread, the input stream is read on the decoding thread.
#include <cstddef>
#include <cstdint>

#include "sfx/format/SfxStatus.h"

// Reference counted like COM objects; QueryInterface exists for the library's shape only.
class ISequentialInStream {
public:
    virtual SfxStatus QueryInterface(const void* pIid, void** ppObject) = 0;
    virtual uint32_t AddRef() = 0;
    virtual uint32_t Release() = 0;
    // Copies up to dwSize bytes; *pdwProcessed 0 with success means the end of the input.
    virtual SfxStatus Read(void* pData, uint32_t dwSize, uint32_t* pdwProcessed) = 0;
protected:
    ~ISequentialInStream() = default;
};

class ISequentialOutStream {
public:
    virtual SfxStatus QueryInterface(const void* pIid, void** ppObject) = 0;
    virtual uint32_t AddRef() = 0;
    virtual uint32_t Release() = 0;
    virtual SfxStatus Write(const void* pData, uint32_t dwSize, uint32_t* pdwProcessed) = 0;
protected:
    ~ISequentialOutStream() = default;
};

// Holds a reference for its lifetime (the decoder's own use of a stream).
template <class I> class CStreamRef {
public:
    explicit CStreamRef(I* p) : m_p(p) { if (m_p) m_p->AddRef(); }
    ~CStreamRef() { if (m_p) m_p->Release(); }
    CStreamRef(const CStreamRef&) = delete;
    CStreamRef& operator=(const CStreamRef&) = delete;
    I* operator->() const { return m_p; }
    I* Get() const { return m_p; }
private:
    I* m_p;
};

constexpr uint32_t kLzmaPropsSize = 5;

class CLzmaDecoder {
public:
    CLzmaDecoder();
    ~CLzmaDecoder();
    CLzmaDecoder(const CLzmaDecoder&) = delete;
    CLzmaDecoder& operator=(const CLzmaDecoder&) = delete;

    // Properties byte (pb * 5 + lp) * 9 + lc and the 32-bit dictionary size. Allocates the
    // dictionary. kSfxInvalidArg for a properties byte of 225 or more or a size other
    // than 5, kSfxOutOfMemory when the dictionary cannot be allocated.
    SfxStatus SetDecoderProperties2(const uint8_t* pProps, uint32_t dwSize);

    // Decodes pIn into pOut with no sizes known. kSfxOk at an end marker, kSfxFalse when
    // the input ended without one, kSfxInvalidData when the data cannot be LZMA, a
    // stream's own failure as it came, kSfxUnexpected without properties.
    SfxStatus Code(ISequentialInStream* pIn, ISequentialOutStream* pOut);

    uint32_t DictionarySize() const;

    // With false, Code decodes and writes on the calling thread alone, in dictionary-sized
    // chunks (also the way taken when no thread can be started).
    void UseDecodingThread(bool bUse) { m_bDecodingThread = bUse; }
    // Input bytes taken and output bytes produced by the last Code call.
    uint64_t InProcessed() const { return m_nInProcessed; }
    uint64_t OutProcessed() const { return m_nOutProcessed; }

    static const uint32_t kInBufferSize = 1 << 16;
    // The most the decoding thread decodes before handing bytes over to be written.
    static const uint32_t kHandoffSize = 1 << 18;

private:
    struct State;
    struct Handoff;
    SfxStatus FillInput(ISequentialInStream* pIn, uint32_t& dwInPos, uint32_t& dwInSize);
    SfxStatus DecodeStep(size_t nLimit, uint32_t& dwInPos, uint32_t dwInSize, bool& bFinished);
    SfxStatus CodeOnThisThread(ISequentialInStream* pIn, ISequentialOutStream* pOut);
    SfxStatus CodeOnTwoThreads(ISequentialInStream* pIn, ISequentialOutStream* pOut);
    void DecodeForWriter(ISequentialInStream* pIn, Handoff& h);

    State* m_pState;
    bool m_bDecodingThread = true;
    uint8_t* m_pInBuffer = nullptr;
    uint64_t m_nInProcessed = 0;
    uint64_t m_nOutProcessed = 0;
};
