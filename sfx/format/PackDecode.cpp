#include "sfx/format/PackDecode.h"

#include <algorithm>
#include <cstring>

SfxStatus CMemoryInStream::QueryInterface(const void*, void** ppObject)
{
    if (ppObject)
        *ppObject = nullptr;
    return kSfxNoInterface;
}

SfxStatus CMemoryInStream::Read(void* pData, uint32_t dwSize, uint32_t* pdwProcessed)
{
    if (pdwProcessed)
        *pdwProcessed = 0;
    if (!pData || dwSize == 0)
        return kSfxInvalidArg;
    size_t n = std::min<size_t>(dwSize, m_nSize - m_nPos);
    if (m_dwMaxRead)
        n = std::min<size_t>(n, m_dwMaxRead);
    std::memcpy(pData, m_pData + m_nPos, n);
    m_nPos += n;
    if (pdwProcessed)
        *pdwProcessed = static_cast<uint32_t>(n);
    return kSfxOk;
}

SfxStatus CParserOutStream::QueryInterface(const void*, void** ppObject)
{
    if (ppObject)
        *ppObject = nullptr;
    return kSfxNoInterface;
}

SfxStatus WriteToParser(CFilePackParser& parser, const void* pData, uint32_t dwSize, uint32_t* pdwProcessed)
{
    if (pdwProcessed)
        *pdwProcessed = 0;
    SfxStatus s = parser.Write(static_cast<const uint8_t*>(pData), dwSize);
    if (SfxFailed(s))
        return s;
    if (pdwProcessed)
        *pdwProcessed = dwSize;
    return kSfxOk;
}

SfxStatus CParserOutStream::Write(const void* pData, uint32_t dwSize, uint32_t* pdwProcessed)
{
    return WriteToParser(m_parser, pData, dwSize, pdwProcessed);
}

SfxStatus DecodeFilePackPayload(const uint8_t* pPayload, uint32_t dwPayloadSize, CFilePackParser& parser,
                                PayloadStage* pStage, uint32_t dwMaxRead)
{
    PayloadStage stage = PayloadStage::Properties;
    SfxStatus s = kSfxOk;
    CLzmaDecoder decoder;
    if (!pPayload || dwPayloadSize < kLzmaPropsSize) {
        s = kSfxFail;
    } else if (SfxFailed(s = decoder.SetDecoderProperties2(pPayload, kLzmaPropsSize))) {
        // stage stays Properties
    } else {
        stage = PayloadStage::Decoder;
        CMemoryInStream in(pPayload + kLzmaPropsSize, dwPayloadSize - kLzmaPropsSize);
        in.SetMaxRead(dwMaxRead);
        CParserOutStream out(parser);
        s = decoder.Code(&in, &out);
        if (!SfxFailed(s)) {
            stage = PayloadStage::Pack;
            s = parser.Finish();
        } else if (parser.Failed()) {
            stage = PayloadStage::Pack;
        }
    }
    if (pStage)
        *pStage = stage;
    return s;
}
