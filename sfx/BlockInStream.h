#pragma once
// Feeds the decoder one block's payload straight from the package's mapped view.
#include <windows.h>

#include "framework/FaultGuard.h"
#include "sfx/MappedFile.h"
#include "sfx/format/LzmaDecoder.h"

class CBlockInStream final : public ISequentialInStream {
public:
    // Created with a count of 0: the creator takes the first reference.
    explicit CBlockInStream(const CMappedFile* pPackage) : m_pPackage(pPackage) {}
    CBlockInStream(const CBlockInStream&) = delete;
    CBlockInStream& operator=(const CBlockInStream&) = delete;

    // 0, or 0x80004005 when the package has no such block or could not be read (Faulted).
    SfxStatus Open(const char* pszBlockName);

    SfxStatus QueryInterface(const void* pIid, void** ppObject) override;
    uint32_t AddRef() override;
    uint32_t Release() override;
    // 0x8000FFFF before Open, 0x80070057 for no buffer or a size of 0; at the end of the
    // payload 0 with a count of 0. The view is read only through a safe copy: when the drive
    // is gone the copy fails, Read returns the status of the system's error, and Faulted tells.
    SfxStatus Read(void* pData, uint32_t dwSize, uint32_t* pdwProcessed) override;

    DWORD GetPayloadSize() const { return m_dwPayloadSize; }
    DWORD GetPosition() const { return m_dwPosition; }
    // Whether a read of the package failed, and how. Read runs on the decoder's thread:
    // ask once decoding has ended.
    bool Faulted(TsFaultInfo* pFault = nullptr) const;
    const CMappedFile* Package() const { return m_pPackage; }

private:
    ~CBlockInStream() = default;   // only Release ends it

    const CMappedFile* m_pPackage;
    const BYTE* m_pPayload = nullptr;
    DWORD m_dwPosition = 0;
    DWORD m_dwPayloadSize = 0;
    LONG m_nRefs = 0;
    bool m_bFaulted = false;
    TsFaultInfo m_fault;
};
