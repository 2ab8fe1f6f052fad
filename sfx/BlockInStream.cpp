#include "sfx/BlockInStream.h"

#include "sfx/SfxBlockChain.h"

SfxStatus CBlockInStream::Open(const char* pszBlockName)
{
    if (!m_pPackage || !m_pPackage->IsOpen())
        return kSfxFail;
    DWORD dwSize = 0;
    TsFaultInfo fault;
    const BYTE* p = FindSfxBlock(m_pPackage->GetView(), m_pPackage->GetSize(), pszBlockName, &dwSize, &fault);
    if (fault.dwError) {
        m_bFaulted = true;
        m_fault = fault;
    }
    if (!p)
        return kSfxFail;
    m_pPayload = p;
    m_dwPayloadSize = dwSize;
    m_dwPosition = 0;
    return kSfxOk;
}

SfxStatus CBlockInStream::QueryInterface(const void*, void** ppObject)
{
    if (ppObject)
        *ppObject = nullptr;
    return kSfxNoInterface;
}

uint32_t CBlockInStream::AddRef()
{
    return static_cast<uint32_t>(::InterlockedIncrement(&m_nRefs));
}

uint32_t CBlockInStream::Release()
{
    LONG n = ::InterlockedDecrement(&m_nRefs);
    if (n == 0)
        delete this;
    return static_cast<uint32_t>(n);
}

SfxStatus CBlockInStream::Read(void* pData, uint32_t dwSize, uint32_t* pdwProcessed)
{
    if (pdwProcessed)
        *pdwProcessed = 0;
    if (!m_pPayload)
        return kSfxUnexpected;
    if (!pData || dwSize == 0)
        return kSfxInvalidArg;
    DWORD dwLeft = m_dwPayloadSize - m_dwPosition;
    DWORD n = dwSize < dwLeft ? dwSize : dwLeft;
    // The decoder reads only through this copy, never the view itself.
    if (!TsSafeCopy(pData, m_pPayload + m_dwPosition, n, &m_fault)) {
        m_bFaulted = true;
        return SfxStatusFromError(TsFaultErrorCode(m_fault));
    }
    m_dwPosition += n;
    if (pdwProcessed)
        *pdwProcessed = n;
    return kSfxOk;
}

bool CBlockInStream::Faulted(TsFaultInfo* pFault) const
{
    if (pFault)
        *pFault = m_fault;
    return m_bFaulted;
}
