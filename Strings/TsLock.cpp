#include "Strings/TsLock.h"

#include "Strings/TsErrorCatcher.h"
#include "Strings/TsLog.h"
#include "Strings/TsSecurity.h"
#include "Strings/TsSharedData.h"
#include "Strings/TsTls.h"
#include "Strings/TsU3.h"
#include "framework/Exceptions.h"

// One thread's leveled locks, entry i for level i + 1.
struct CTsLockStack {
    struct Entry {
        CTsMutex* pMutex = nullptr;
        CString sLabel;
        int nCount = 0;
    };
    Entry entries[kTsMaxLockLevel];

    Entry& At(int nLevel) { return entries[nLevel - 1]; }
    int HeldLevel() const
    {
        for (int nLevel = kTsMaxLockLevel; nLevel >= 1; --nLevel) {
            if (entries[nLevel - 1].pMutex)
                return nLevel;
        }
        return 0;
    }
};

namespace {

const char kSource[] = "Strings\\TsLock";

// The longest a lock waits for the "Interprocess" mutex. No program of the product holds it
// for more than a moment, so a holder that keeps it this long is stuck. A start, stop or
// clean-up whose lock is stuck waits this once (plus the user's answer to the question);
// every later lock on the same holder in the same run fails at once.
DWORD g_dwLockWaitLimitMs = 30000;

unsigned PointerTag(const void* p)
{
    return static_cast<unsigned>(reinterpret_cast<UINT_PTR>(p));
}

CTsLockStack* ThreadLockStack()
{
    TsThreadBlock* pBlock = PeekThreadBlock();
    return pBlock ? pBlock->pLockStack : nullptr;
}

// The program behind a process id, for the stuck-lock message.
CString ProgramNameOf(DWORD dwProcessId)
{
    CString sName("(unknown)");
    // Vista and later only: looked up so that the program still loads on older systems.
    using QueryFullProcessImageNameFn = BOOL(WINAPI*)(HANDLE, DWORD, LPSTR, PDWORD);
    static const auto pQueryName = reinterpret_cast<QueryFullProcessImageNameFn>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleA("kernel32.dll"), "QueryFullProcessImageNameA")));
    if (!pQueryName)
        return sName;
    HANDLE hProcess = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, dwProcessId);
    if (!hProcess)
        return sName;
    char szPath[MAX_PATH];
    DWORD dwLen = MAX_PATH;
    if (pQueryName(hProcess, 0, szPath, &dwLen) && dwLen > 0) {
        const char* pszBase = szPath;
        for (const char* p = szPath; *p; ++p) {
            if (*p == '\\' || *p == '/')
                pszBase = p + 1;
        }
        sName = pszBase;
    }
    ::CloseHandle(hProcess);
    return sName;
}

void TsReportStuckLock(const CString& sText)
{
    // The user has just said yes: sent without asking again.
    TsReportCrash(sText, true);
}

}  // namespace

// --- CTsMutex ------------------------------------------------------------------------

CTsMutex::CTsMutex(const char* pszName, int nLevel) : m_nLevel(nLevel)
{
    CTsEveryoneAccess security;
    m_hObject = ::CreateMutexA(security.Get(), FALSE, pszName);
    if (m_hObject)
        TsSetObjectIntegrity(SE_KERNEL_OBJECT, m_hObject, nullptr);
}

CTsMutex::CTsMutex(int nLevel, HANDLE hMutex) : m_hObject(hMutex), m_nLevel(nLevel) {}

CTsMutex::~CTsMutex()
{
    if (m_hObject)
        ::CloseHandle(m_hObject);
}

HANDLE CTsMutex::Detach()
{
    HANDLE h = m_hObject;
    m_hObject = nullptr;
    return h;
}

bool CTsMutex::Lock(DWORD dwTimeout)
{
    if (!m_hObject)
        return true;
    if (dwTimeout == 0 || dwTimeout == INFINITE) {
        DWORD dwRc = ::WaitForSingleObject(m_hObject, dwTimeout);
        if (dwRc == WAIT_TIMEOUT)
            ::SetLastError(WAIT_TIMEOUT);
        return dwRc == WAIT_OBJECT_0 || dwRc == WAIT_ABANDONED;
    }
    const DWORD dwStart = ::GetTickCount();
    bool bPump = true;
    for (;;) {
        const DWORD dwSpent = ::GetTickCount() - dwStart;
        const DWORD dwLeft = dwSpent < dwTimeout ? dwTimeout - dwSpent : 0;
        DWORD dwRc = bPump && dwLeft ? ::MsgWaitForMultipleObjects(1, &m_hObject, FALSE, dwLeft, QS_ALLINPUT)
                                     : ::WaitForSingleObject(m_hObject, dwLeft);
        if (dwRc == WAIT_OBJECT_0 || dwRc == WAIT_ABANDONED_0)
            return true;
        if (dwRc == WAIT_OBJECT_0 + 1 && bPump && dwLeft) {
            // A quit message stays queued for the caller's own loop; the rest of the wait
            // dispatches nothing.
            bPump = ProcessMessages();
            continue;
        }
        if (dwRc == WAIT_TIMEOUT)
            ::SetLastError(WAIT_TIMEOUT);
        return false;
    }
}

bool CTsMutex::IsStuckOn(DWORD dwOwnerPid) const
{
    // A holder that was not recorded (or is not now) may be the same one.
    return m_bStuck && (dwOwnerPid == 0 || m_dwStuckOwnerPid == 0 || dwOwnerPid == m_dwStuckOwnerPid);
}

void CTsMutex::SetStuck(DWORD dwOwnerPid)
{
    if (!m_bStuck) {
        m_bQuickFailureSeen = false;
        m_dwStuckOwnerPid = 0;
    }
    if (dwOwnerPid)
        m_dwStuckOwnerPid = dwOwnerPid;
    m_bStuck = true;
}

bool CTsMutex::FirstQuickFailure()
{
    const bool bFirst = !m_bQuickFailureSeen;
    m_bQuickFailureSeen = true;
    return bFirst;
}

DWORD TsGetLockWaitLimit()
{
    return g_dwLockWaitLimitMs;
}

void TsSetLockWaitLimit(DWORD dwMs)
{
    g_dwLockWaitLimitMs = dwMs;
}

bool CTsMutex::Unlock()
{
    return !m_hObject || ::ReleaseMutex(m_hObject);
}

CTsMutex& TsInterprocessMutex()
{
    static CTsMutex s_mutex(kTsInterprocessMutexName, kTsInterprocessLockLevel);
    return s_mutex;
}

CTsMutex& TsHookMutex()
{
    static CTsMutex s_mutex(kTsHookMutexName, kTsHookLockLevel);
    return s_mutex;
}

namespace {

// The shared objects exist before the main code runs, in this order, so that every
// process of the product finds them however it starts.
struct NamedObjectsInit {
    NamedObjectsInit()
    {
        PeekThreadBlock();   // allocates the thread-local slot
        TsInterprocessMutex();
        TsHookMutex();
        TsU3ModeEvent();
    }
} g_namedObjectsInit;

}  // namespace

// --- CTsSingleLock -------------------------------------------------------------------

CTsSingleLock::CTsSingleLock(const char* pszLabel, CTsMutex* pMutex, bool bLockNow)
    : m_sLabel(pszLabel), m_pMutex(pMutex), m_lock(pMutex, false), m_nLevel(pMutex ? pMutex->GetLevel() : 0)
{
    if (bLockNow)
        Lock();
}

CTsSingleLock::~CTsSingleLock()
{
    try {
        UnLock();
    } catch (CException&) {
        // Already reported by the hard assertion; a destructor must not pass it on.
    }
}

bool CTsSingleLock::Lock()
{
    if (!m_pMutex)
        return false;
    if (m_lock.IsLocked())
        return true;   // this guard already holds it: one guard is one hold

    if (m_nLevel > 0) {
        if (m_nLevel > kTsMaxLockLevel)
            TsAssertFail(kSource, __LINE__, m_nLevel, m_sLabel);
        TsThreadBlock* pBlock = GetThreadBlock();
        if (!pBlock->pLockStack)
            pBlock->pLockStack = new CTsLockStack;
        CTsLockStack& stack = *pBlock->pLockStack;
        const int nHeld = stack.HeldLevel();
        CTsLockStack::Entry& entry = stack.At(m_nLevel);
        if (m_nLevel < nHeld && entry.pMutex != m_pMutex) {
            CTsLockStack::Entry& top = stack.At(nHeld);
            TsTrace("LLL! %s-%x: level=%d\n", "TsLock: to set lower level, was %s-%x: level=%d\n", top.sLabel.c_str(),
                    PointerTag(top.pMutex), m_nLevel);
            TsAssertFail(kSource, 124, 0, nullptr);
        }
        if (m_nLevel == nHeld && entry.pMutex != m_pMutex) {
            CTsLockStack::Entry& top = stack.At(nHeld);
            TsTrace("LLS! %s-%x: level=%d\n", "TsLock: set same level different lock, was %s-%x: level=%d\n",
                    top.sLabel.c_str(), PointerTag(top.pMutex), m_nLevel);
            TsAssertFail(kSource, 134, 0, nullptr);
        }
        entry.sLabel = m_sLabel;
        if (entry.pMutex != m_pMutex) {
            entry.pMutex = m_pMutex;
            entry.nCount = 1;
        } else {
            ++entry.nCount;
        }
    }

    TsSharedDataBlock* pShared = g_pTsSharedData;
    const DWORD dwOwnerPid = pShared ? pShared->dwLockOwnerPid : 0;
    const bool bKnownStuck = m_pMutex->IsStuckOn(dwOwnerPid);
    const DWORD dwStart = ::GetTickCount();
    bool bLocked = m_lock.Lock(bKnownStuck ? 0 : g_dwLockWaitLimitMs);
    if (!bLocked) {
        const DWORD dwError = ::GetLastError();
        if (bKnownStuck && dwError == WAIT_TIMEOUT) {
            // The user has been asked about this holder already.
            if (m_pMutex->FirstQuickFailure())
                TsTrace("!LCK%d: '%s' e=%x\n", "!!!CTsSingleLock::Lock() try=%d, lock='%s', LastErr=%x\n", 1,
                    m_sLabel.c_str(), static_cast<unsigned>(dwError));
            m_pMutex->SetStuck(dwOwnerPid);
        } else {
            bLocked = HandleFailedWait(dwError, ::GetTickCount() - dwStart);
        }
    }
    if (!bLocked) {
        // A hold that was never had must not stay on the stack: the thread would count as
        // holding the lock (and be refused message boxes) for the rest of its life.
        ForgetHold();
        return false;
    }
    m_pMutex->ClearStuck();

    if (m_nLevel > 1) {
        if (TsSharedDataBlock* pShared = g_pTsSharedData) {
            lstrcpynA(pShared->szLockOwnerLabel, m_sLabel, kTsOwnerLabelBytes);
            pShared->dwLockOwnerPid = ::GetCurrentProcessId();
        } else {
            TsTrace("LNSD: %s\n", "CTsSingleLock::Lock() no shared data: %s\n", m_sLabel.c_str());
        }
    }
    return true;
}

void CTsSingleLock::ForgetHold()
{
    CTsLockStack* pStack = ThreadLockStack();
    if (m_nLevel <= 0 || !pStack)
        return;
    CTsLockStack::Entry& entry = pStack->At(m_nLevel);
    if (entry.pMutex != m_pMutex || entry.nCount <= 0)
        return;
    if (--entry.nCount == 0) {
        entry.pMutex = nullptr;
        entry.sLabel.Empty();
    }
    if (pStack->HeldLevel() == 0) {
        delete pStack;
        PeekThreadBlock()->pLockStack = nullptr;
    }
}

bool CTsSingleLock::HandleFailedWait(DWORD dwError, DWORD dwWaitedMs)
{
    TsSharedDataBlock* pShared = g_pTsSharedData;
    CString sOwnerLabel;
    DWORD dwOwnerPid = 0;
    CString sLabel = m_sLabel;
    if (pShared) {
        sOwnerLabel = TsReadBlockText(pShared->szLockOwnerLabel, kTsOwnerLabelBytes);
        dwOwnerPid = pShared->dwLockOwnerPid;
        sLabel.Format("%s(%x)->%s", sOwnerLabel.c_str(), static_cast<unsigned>(dwOwnerPid), m_sLabel.c_str());
    }
    TsTrace("!LCK%d: '%s' e=%x\n", "!!!CTsSingleLock::Lock() try=%d, lock='%s', LastErr=%x\n", 0, sLabel.c_str(),
            static_cast<unsigned>(dwError));
    if (!m_pMutex->GetHandle())
        return false;
    // The time waited in minutes, rounded; a wait that ran out shows at least one.
    int nMinutes = static_cast<int>((dwWaitedMs + 30000) / 60000);
    if (dwError == WAIT_TIMEOUT) {
        m_pMutex->SetStuck(dwOwnerPid);
        if (nMinutes < 1)
            nMinutes = 1;
    }

    // Neither program sets a display name of its own.
    const char* pszDisplayName = "";
    const unsigned long ulPid = ::GetCurrentProcessId();
    CString sText;
    if (pShared && dwOwnerPid) {
        sText.Format("Process %s (pid %lu, lock %s) is locking process %s (pid %lu, lock %s) for %d minutes",
                     ProgramNameOf(dwOwnerPid).c_str(), static_cast<unsigned long>(dwOwnerPid), sOwnerLabel.c_str(),
                     pszDisplayName, ulPid, m_sLabel.c_str(), nMinutes);
        sText += "\nClick Yes to kill the process that is holding the lock and to report this abnormal situation to "
                 "Tessaly.";
        if (::MessageBoxA(nullptr, sText, "Tessaly", MB_YESNO | MB_ICONWARNING | MB_SYSTEMMODAL) != IDYES)
            return false;
        TsReportStuckLock(sText);
        // The recorded owner may be this very process (another thread): ending it would end us.
        HANDLE hOwner = dwOwnerPid != ulPid ? ::OpenProcess(PROCESS_TERMINATE, FALSE, dwOwnerPid) : nullptr;
        if (!hOwner) {
            TsTrace("LOPB: %x\n", "TsLock: cannot open process %x\n", static_cast<unsigned>(::GetLastError()));
            return false;
        }
        BOOL bTerminated = ::TerminateProcess(hOwner, 100);
        ::CloseHandle(hOwner);
        TsTrace("LTPR: %d\n", "TsLock: terminate process rc=%d\n", bTerminated ? 1 : 0);
        // The holder's end abandons the mutex, which then counts as taken.
        return m_lock.Lock(g_dwLockWaitLimitMs);
    }
    sText.Format("Process %s (pid %lu) cannot get lock %s for %d minutes", pszDisplayName, ulPid, m_sLabel.c_str(),
                 nMinutes);
    sText += "\nClick Yes to report this abnormal situation to Tessaly.";
    if (::MessageBoxA(nullptr, sText, "Tessaly", MB_YESNO | MB_ICONWARNING) == IDYES)
        TsReportStuckLock(sText);
    return false;
}

bool CTsSingleLock::UnLock()
{
    if (!m_lock.IsLocked())
        return false;
    CTsLockStack* pStack = m_nLevel > 0 ? ThreadLockStack() : nullptr;
    if (!pStack) {
        m_lock.Unlock();
        return true;
    }
    CTsLockStack::Entry& entry = pStack->At(m_nLevel);
    if (entry.nCount == 0) {
        // Let the mutex go before reporting, or every process of the product would hang on it.
        m_lock.Unlock();
        TsAssertFail(kSource, 283, 0, nullptr);
    }
    if (entry.nCount > 1) {
        --entry.nCount;
        m_lock.Unlock();
        return true;
    }
    entry.pMutex = nullptr;
    entry.sLabel.Empty();
    entry.nCount = 0;
    if (pStack->HeldLevel() == 0) {
        delete pStack;
        PeekThreadBlock()->pLockStack = nullptr;
    }
    if (m_nLevel == kTsInterprocessLockLevel) {
        if (TsSharedDataBlock* pShared = g_pTsSharedData) {
            pShared->szLockOwnerLabel[0] = 0;
            pShared->dwLockOwnerPid = 0;
        } else {
            TsTrace("UNSD: %s\n", "CTsSingleLock::UnLock() no shared data: %s\n", m_sLabel.c_str());
        }
    }
    m_lock.Unlock();
    return true;
}

int GetHeldLockLevel()
{
    CTsLockStack* pStack = ThreadLockStack();
    return pStack ? pStack->HeldLevel() : 0;
}

int GetHeldLockCount(int nLevel)
{
    CTsLockStack* pStack = ThreadLockStack();
    if (!pStack || nLevel < 1 || nLevel > kTsMaxLockLevel)
        return 0;
    return pStack->At(nLevel).pMutex ? pStack->At(nLevel).nCount : 0;
}

CString GetHeldLockLabel(int nLevel)
{
    CTsLockStack* pStack = ThreadLockStack();
    if (!pStack || nLevel < 1 || nLevel > kTsMaxLockLevel)
        return CString();
    return pStack->At(nLevel).sLabel;
}

// --- CTsEvent ------------------------------------------------------------------------

CTsEvent::CTsEvent(bool bInitialState, bool bManualReset, const char* pszName, SECURITY_ATTRIBUTES* pSecurity)
{
    m_hObject = ::CreateEventA(pSecurity, bManualReset, bInitialState, pszName);
    if (!m_hObject) {
        TsTrace("TSEV: %x\n", "CTsEvent::CTsEvent() can't create: %x\n", static_cast<unsigned>(::GetLastError()));
        return;
    }
    TsSetObjectIntegrity(SE_KERNEL_OBJECT, m_hObject, nullptr);
}

CTsEvent::~CTsEvent()
{
    if (m_hObject)
        ::CloseHandle(m_hObject);
}

bool CTsEvent::Lock(DWORD dwTimeout)
{
    return m_hObject && ::WaitForSingleObject(m_hObject, dwTimeout) == WAIT_OBJECT_0;
}

bool CTsEvent::SetEvent()
{
    return m_hObject && ::SetEvent(m_hObject);
}

bool CTsEvent::ResetEvent()
{
    return m_hObject && ::ResetEvent(m_hObject);
}

bool CTsEvent::IsSignaled() const
{
    return m_hObject && ::WaitForSingleObject(m_hObject, 0) == WAIT_OBJECT_0;
}

// --- message pumping -------------------------------------------------------------------

bool ProcessMessages()
{
    const bool bNT = (::GetVersion() & 0x80000000) == 0;
    MSG msg;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE)) {
        // A Unicode window must get its text messages untranslated by the code page.
        const bool bWide = bNT && msg.hwnd && ::IsWindowUnicode(msg.hwnd);
        BOOL bGot = bWide ? ::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE) : ::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE);
        if (!bGot)
            return true;
        if (msg.message == WM_QUIT) {
            ::PostQuitMessage(static_cast<int>(msg.wParam));
            return false;
        }
        ::TranslateMessage(&msg);
        if (bWide)
            ::DispatchMessageW(&msg);
        else
            ::DispatchMessageA(&msg);
    }
    return true;
}

bool ProcessMessages(const char* pszLabel)
{
    TsTrace("PMs+: %s\n", "++ProcessMessages: %s\n", pszLabel ? pszLabel : "");
    bool bResult = ProcessMessages();
    TsTrace("PMs-: %s, %d\n", "--ProcessMessages: %s, rc=%d\n", pszLabel ? pszLabel : "", bResult ? 1 : 0);
    return bResult;
}
