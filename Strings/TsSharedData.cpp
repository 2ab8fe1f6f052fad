#include "Strings/TsSharedData.h"

#include <cstring>

#include "Strings/TsLock.h"
#include "Strings/TsLog.h"
#include "Strings/TsSecurity.h"
#include "Strings/TsString.h"

TsSharedDataBlock* g_pTsSharedData = nullptr;

namespace {

HANDLE g_hMapping = nullptr;
LONG g_nConnections = 0;

// Stands in for the block when the mapping cannot be made.
TsSharedDataBlock g_privateBlock;

}  // namespace

bool TsConnectSharedData(bool& bWasCreated, DWORD& dwError)
{
    bWasCreated = false;
    dwError = 0;
    CTsSingleLock lock("TsConnectSharedData", &TsInterprocessMutex(), true);
    if (g_pTsSharedData) {
        ++g_nConnections;
        return true;
    }

    DWORD dwCreateError;
    {
        CTsEveryoneAccess security;
        g_hMapping = ::CreateFileMappingA(INVALID_HANDLE_VALUE, security.Get(), PAGE_READWRITE, 0, kTsSharedDataSize,
                                          kTsSharedDataName);
        dwCreateError = ::GetLastError();
    }
    void* pView = nullptr;
    if (g_hMapping) {
        TsSetObjectIntegrity(SE_KERNEL_OBJECT, g_hMapping, nullptr);
        pView = ::MapViewOfFile(g_hMapping, FILE_MAP_ALL_ACCESS, 0, 0, 0);
    }
    if (!pView) {
        if (g_hMapping) {
            ::CloseHandle(g_hMapping);
            g_hMapping = nullptr;
        }
        std::memset(&g_privateBlock, 0, sizeof(g_privateBlock));
        g_pTsSharedData = &g_privateBlock;
        dwError = dwCreateError;
        return false;
    }
    // A mapping of that name that someone else made smaller than the block would let every
    // field past its end be read and written outside it: it is not used.
    MEMORY_BASIC_INFORMATION mbi = {};
    if (::VirtualQuery(pView, &mbi, sizeof(mbi)) < sizeof(mbi) || mbi.RegionSize < kTsSharedDataSize) {
        TsTrace("SDSZ: %lu\n", "TsConnectSharedData: the shared data mapping is too small: %lu\n",
                static_cast<unsigned long>(mbi.RegionSize));
        ::UnmapViewOfFile(pView);
        ::CloseHandle(g_hMapping);
        g_hMapping = nullptr;
        std::memset(&g_privateBlock, 0, sizeof(g_privateBlock));
        g_pTsSharedData = &g_privateBlock;
        dwError = ERROR_BAD_LENGTH;
        return false;
    }
    g_pTsSharedData = static_cast<TsSharedDataBlock*>(pView);
    if (dwCreateError != ERROR_ALREADY_EXISTS) {
        std::memset(g_pTsSharedData, 0, kTsSharedDataSize);
        bWasCreated = true;
    }
    ++g_nConnections;
    return true;
}

void TsDisconnectShared()
{
    CTsSingleLock lock("TsDisconnectShared", &TsInterprocessMutex(), true);
    if (g_nConnections >= 2) {
        --g_nConnections;
        return;
    }
    if (g_pTsSharedData && g_pTsSharedData != &g_privateBlock) {
        ::UnmapViewOfFile(g_pTsSharedData);
        g_pTsSharedData = nullptr;
        --g_nConnections;
    }
    if (g_hMapping) {
        ::CloseHandle(g_hMapping);
        g_hMapping = nullptr;
    }
}

bool TsIsSharedDataConnected()
{
    return g_pTsSharedData != nullptr;
}

CString TsReadBlockText(const char* pField, int nBytes)
{
    if (!pField || nBytes <= 0)
        return CString();
    const void* pEnd = std::memchr(pField, '\0', static_cast<size_t>(nBytes));
    const int nLength = pEnd ? static_cast<int>(static_cast<const char*>(pEnd) - pField) : nBytes;
    return CString(pField, nLength);
}

// --- passwords and logoff ----------------------------------------------------------------

WCHAR TsScrambleChar(WCHAR ch)
{
    const unsigned c = ch;
    return static_cast<WCHAR>(((c & 0x5555u) << 1) | ((c >> 1) & 0x5555u));
}

void TsStorePassText(WCHAR* pField, int nBytes, const TsString& sText)
{
    const int nRoom = nBytes / static_cast<int>(sizeof(WCHAR));
    if (!pField || nRoom <= 0)
        return;
    const int nCopy = sText.GetLength() < nRoom - 1 ? sText.GetLength() : nRoom - 1;
    for (int i = 0; i < nCopy; ++i)
        pField[i] = TsScrambleChar(sText.GetAt(i));
    // The whole rest is wiped: a shorter text must not leave a password's tail behind.
    for (int i = nCopy; i < nRoom; ++i)
        pField[i] = 0;
}

TsString TsLoadPassText(const WCHAR* pField, int nBytes)
{
    const int nRoom = nBytes / static_cast<int>(sizeof(WCHAR));
    TsString s;
    for (int i = 0; pField && i < nRoom && pField[i]; ++i)
        s += TsScrambleChar(pField[i]);
    return s;
}

void ExternalLogoff(TsSharedDataBlock* pBlock)
{
    CTsSingleLock lock("ExternalLogoff", &TsInterprocessMutex(), true);
    if (!pBlock || !g_pTsSharedData)
        return;
    const TsString sEmpty;
    {
        CTsSingleLock passLock("SetMasterPass", &TsInterprocessMutex(), true);
        TsStorePassText(pBlock->szMasterPass, kTsPassTextBytesMaster, sEmpty);
    }
    {
        CTsSingleLock passLock("SetCurrPass", &TsInterprocessMutex(), true);
        TsStorePassText(pBlock->szCurrentPass, kTsPassTextBytesCurrent, sEmpty);
    }
    ++pBlock->dwChangeCount;
    ++pBlock->dwLogoffCount;
    pBlock->dwLogoffWord = 0;
    pBlock->dwLoggedOnFlag = 0;
}

void TsConnectLogoffDisconnect()
{
    CTsSingleLock lock("TsConnectLogoffDisconnect", &TsInterprocessMutex(), true);
    bool bWasCreated = false;
    DWORD dwError = 0;
    if (TsConnectSharedData(bWasCreated, dwError))
        ExternalLogoff(g_pTsSharedData);
    TsDisconnectShared();
}

// --- window handles ---------------------------------------------------------------------

DWORD TsWndToField(HWND hWnd)
{
    // Window handles are 32-bit values in 64-bit Windows too, so nothing is lost.
    return static_cast<DWORD>(HandleToLong(hWnd));
}

HWND TsFieldToWnd(DWORD dwField)
{
    return static_cast<HWND>(LongToHandle(static_cast<LONG>(dwField)));
}

namespace {

HWND ReadWnd(const char* pszLabel, DWORD TsSharedDataBlock::*pField)
{
    CTsSingleLock lock(pszLabel, &TsInterprocessMutex(), true);
    return g_pTsSharedData ? TsFieldToWnd(g_pTsSharedData->*pField) : nullptr;
}

}  // namespace

HWND GetWatcherWnd()
{
    return ReadWnd("GetWatcherWnd", &TsSharedDataBlock::hWatcherWnd);
}

void SetWatcherWnd(HWND hWnd, DWORD dwCompanion)
{
    CTsSingleLock lock("SetWatcherWnd", &TsInterprocessMutex(), true);
    if (!g_pTsSharedData)
        return;
    g_pTsSharedData->hWatcherWnd = TsWndToField(hWnd);
    g_pTsSharedData->dwWatcherCompanion = dwCompanion;
}

HWND GetPasswordWnd()
{
    return ReadWnd("GetPasswordWnd", &TsSharedDataBlock::hPasswordWnd);
}

HWND GetListWnd()
{
    return ReadWnd("GetListWnd", &TsSharedDataBlock::hListWnd);
}

HWND GetOptWnd()
{
    return ReadWnd("GetOptWnd", &TsSharedDataBlock::hOptionsWnd);
}
