#include "sfx/SfxBlockChain.h"

#include "Strings/TsLog.h"

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

// Runs a read of the view; on a fault logs it and reports it through pFault.
template <class F> bool ReadView(F&& f, TsFaultInfo* pFault)
{
    TsFaultInfo fault;
    bool bOk = TsGuarded(f, &fault);
    if (!bOk)
        TsLogWrite("Package read fault", "", TsFaultErrorCode(fault), TRUE);
    if (pFault)
        *pFault = bOk ? TsFaultInfo() : fault;
    return bOk;
}

}  // namespace

const BYTE* GetNextSfxBlock(const BYTE* pBase, DWORD dwSize, const BYTE* pCurrent, TsFaultInfo* pFault)
{
    const BYTE* p = nullptr;
    if (!ReadView([&] { p = GetNextSfxBlock(pBase, static_cast<uint32_t>(dwSize), pCurrent, SfxSetupLog()); }, pFault))
        return nullptr;
    return p;
}

const BYTE* FindSfxBlock(const BYTE* pBase, DWORD dwSize, const char* pszName, DWORD* pdwPayloadSize,
                         TsFaultInfo* pFault)
{
    if (pFault)
        *pFault = TsFaultInfo();
    if (!pdwPayloadSize)
        return nullptr;
    uint32_t dwPayload = 0;
    const BYTE* p = nullptr;
    if (!ReadView([&] { p = FindSfxBlock(pBase, static_cast<uint32_t>(dwSize), pszName, &dwPayload, SfxSetupLog()); },
                  pFault))
        p = nullptr;
    *pdwPayloadSize = p ? dwPayload : 0;
    return p;
}

bool TestSFX(const BYTE* pBase, DWORD dwSize, TsFaultInfo* pFault)
{
    bool bOk = false;
    return ReadView([&] { bOk = TestSFX(pBase, static_cast<uint32_t>(dwSize), SfxSetupLog()); }, pFault) && bOk;
}
