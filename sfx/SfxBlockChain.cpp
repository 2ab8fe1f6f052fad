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

const BYTE* GetNextSfxBlock(const BYTE* pBase, DWORD dwSize, const BYTE* pCurrent)
{
    return GetNextSfxBlock(pBase, static_cast<uint32_t>(dwSize), pCurrent, SfxSetupLog());
}

const BYTE* FindSfxBlock(const BYTE* pBase, DWORD dwSize, const char* pszName, DWORD* pdwPayloadSize)
{
    if (!pdwPayloadSize)
        return nullptr;
    uint32_t dwPayload = 0;
    const BYTE* p = FindSfxBlock(pBase, static_cast<uint32_t>(dwSize), pszName, &dwPayload, SfxSetupLog());
    *pdwPayloadSize = dwPayload;
    return p;
}

bool TestSFX(const BYTE* pBase, DWORD dwSize)
{
    return TestSFX(pBase, static_cast<uint32_t>(dwSize), SfxSetupLog());
}
