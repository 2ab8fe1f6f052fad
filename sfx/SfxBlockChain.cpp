#include "sfx/SfxBlockChain.h"

#include "Strings/TsLog.h"
#include "sfx/format/Crc32.h"

namespace {

class CTsSetupLog : public ISfxLog {
public:
    void Write(const char* pszText, const char* pszDetail, uint32_t dwCode) override
    {
        TsLogWrite(pszText, pszDetail, dwCode, TRUE);
    }
};

}  // namespace

ISfxLog& SfxSetupLog()
{
    static CTsSetupLog s_log;
    return s_log;
}

namespace {

// Reads of the package's view through copies that fail instead of faulting. The first
// failure is kept.
class CPackageBytes final : public ISfxBytes {
public:
    bool Copy(void* pDst, const uint8_t* pSrc, uint32_t dwSize) override
    {
        return Note(TsSafeCopy(pDst, pSrc, dwSize, &m_fault));
    }
    bool Crc(const uint8_t* pSrc, uint32_t dwSize, uint32_t* pdwCrc) override
    {
        Crc32 crc;
        const bool bOk = TsSafeRead(pSrc, dwSize, [&crc](const void* p, size_t n) { crc.Update(p, n); }, &m_fault);
        *pdwCrc = crc.Digest();
        return Note(bOk);
    }
    // Logs a failed read and reports it through pFault (error 0 when every read succeeded).
    bool Finish(TsFaultInfo* pFault)
    {
        if (m_bFailed)
            TsLogWrite("Package read fault", "", TsFaultErrorCode(m_first), TRUE);
        if (pFault)
            *pFault = m_bFailed ? m_first : TsFaultInfo();
        return !m_bFailed;
    }

private:
    bool Note(bool bOk)
    {
        if (!bOk && !m_bFailed) {
            m_bFailed = true;
            m_first = m_fault;
        }
        return bOk;
    }

    TsFaultInfo m_fault;
    TsFaultInfo m_first;
    bool m_bFailed = false;
};

}  // namespace

const BYTE* GetNextSfxBlock(const BYTE* pBase, DWORD dwSize, const BYTE* pCurrent, TsFaultInfo* pFault)
{
    CPackageBytes bytes;
    const BYTE* p = GetNextSfxBlock(pBase, static_cast<uint32_t>(dwSize), pCurrent, SfxSetupLog(), bytes);
    return bytes.Finish(pFault) ? p : nullptr;
}

const BYTE* FindSfxBlock(const BYTE* pBase, DWORD dwSize, const char* pszName, DWORD* pdwPayloadSize,
                         TsFaultInfo* pFault)
{
    if (pFault)
        *pFault = TsFaultInfo();
    if (!pdwPayloadSize)
        return nullptr;
    uint32_t dwPayload = 0;
    CPackageBytes bytes;
    const BYTE* p = FindSfxBlock(pBase, static_cast<uint32_t>(dwSize), pszName, &dwPayload, SfxSetupLog(), bytes);
    if (!bytes.Finish(pFault))
        p = nullptr;
    *pdwPayloadSize = p ? dwPayload : 0;
    return p;
}

bool TestSFX(const BYTE* pBase, DWORD dwSize, TsFaultInfo* pFault)
{
    CPackageBytes bytes;
    const bool bOk = TestSFX(pBase, static_cast<uint32_t>(dwSize), SfxSetupLog(), bytes);
    return bytes.Finish(pFault) && bOk;
}
