#include "Strings/TsTls.h"

#include <cstdlib>

#include "Strings/TsLog.h"

namespace {

const char kSource[] = "Strings\\TsTls";

void SoftAssertAt(int nLine)
{
    TsTrace("!!!SA %s: %d\n", "!!!SOFTASSERT!!! %s: %d\n", kSource, nLine);
}

// Owns the slot for the life of the process. The exiting thread's block goes with it;
// the blocks of threads that ended earlier were theirs to lose. Failures at exit are only
// recorded: throwing the hard assertion out of a static destructor would end the process
// with an abort instead of a clean exit.
class CTlsSlot {
public:
    CTlsSlot()
    {
        m_dwIndex = ::TlsAlloc();
        if (m_dwIndex == TLS_OUT_OF_INDEXES)
            TsAssertFail(kSource, 42, 0, nullptr);
    }
    ~CTlsSlot()
    {
        if (m_dwIndex == TLS_OUT_OF_INDEXES)
            return;
        void* pBlock = ::TlsGetValue(m_dwIndex);
        if (pBlock) {
            std::free(pBlock);
            if (!::TlsSetValue(m_dwIndex, nullptr))
                SoftAssertAt(74);
        }
        if (!::TlsFree(m_dwIndex))
            SoftAssertAt(51);
        m_dwIndex = TLS_OUT_OF_INDEXES;
    }
    CTlsSlot(const CTlsSlot&) = delete;
    CTlsSlot& operator=(const CTlsSlot&) = delete;
    DWORD Index() const { return m_dwIndex; }

private:
    DWORD m_dwIndex = TLS_OUT_OF_INDEXES;
};

CTlsSlot& Slot()
{
    static CTlsSlot slot;
    return slot;
}

// Allocated before the main code runs so that the first thread never races a second one.
struct SlotInit {
    SlotInit() { Slot(); }
} g_slotInit;

}  // namespace

DWORD TsGetTlsIndex()
{
    return Slot().Index();
}

TsThreadBlock* PeekThreadBlock()
{
    DWORD dwIndex = Slot().Index();
    if (dwIndex == TLS_OUT_OF_INDEXES)
        return nullptr;
    // TlsGetValue clears the last error on success, so a set one means the read failed.
    DWORD dwSaved = ::GetLastError();
    ::SetLastError(ERROR_SUCCESS);
    void* p = ::TlsGetValue(dwIndex);
    if (!p && ::GetLastError() != ERROR_SUCCESS)
        SoftAssertAt(80);
    ::SetLastError(dwSaved);
    return static_cast<TsThreadBlock*>(p);
}

TsThreadBlock* GetThreadBlock()
{
    TsThreadBlock* pBlock = PeekThreadBlock();
    if (pBlock)
        return pBlock;
    pBlock = static_cast<TsThreadBlock*>(std::calloc(1, sizeof(TsThreadBlock)));
    if (!pBlock)
        TsAssertFail(kSource, 60, 0, nullptr);
    if (!::TlsSetValue(Slot().Index(), pBlock))
        SoftAssertAt(62);
    return pBlock;
}
