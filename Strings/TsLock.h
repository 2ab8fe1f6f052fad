#pragma once
// Named kernel objects shared with the product's programs, and the cross-process lock with
// its per-thread level discipline: a thread may take a higher level while holding lower
// ones, and may take again a lock it holds, but never a lower level nor a different lock at
// the level it holds. Both mistakes end in the hard assertion.
#include <windows.h>

#include "framework/CString.h"
#include "framework/Sync.h"

#define TS_OBJECT_GUID "{7D3E92A1-B64C-11D3-8F2A-31C9E7D05B66}"
const char kTsInterprocessMutexName[] = TS_OBJECT_GUID " Interprocess";
const char kTsHookMutexName[] = TS_OBJECT_GUID " Hook";
const char kTsSharedDataName[] = TS_OBJECT_GUID " SharedData";
const char kTsU3EventName[] = TS_OBJECT_GUID "U3";

const int kTsInterprocessLockLevel = 2;
const int kTsHookLockLevel = 3;
const int kTsMaxLockLevel = 4;

// A mutex with a lock level. A mutex that could not be created has a null handle and then
// counts as taken at once, giving no exclusion.
class CTsMutex : public CSyncObject {
public:
    // Creates (or opens) the mutex, not owned, with everyone access and the low integrity
    // label. A null name gives an unnamed mutex.
    CTsMutex(const char* pszName, int nLevel);
    // Takes ownership of a mutex handle made elsewhere.
    CTsMutex(int nLevel, HANDLE hMutex);
    ~CTsMutex() override;
    CTsMutex(const CTsMutex&) = delete;
    CTsMutex& operator=(const CTsMutex&) = delete;

    // A wait ended by an owner that died without releasing counts as taken. A wait with a
    // time limit dispatches this thread's messages meanwhile (until a quit message comes);
    // when it runs out, the last error is WAIT_TIMEOUT.
    bool Lock(DWORD dwTimeout = INFINITE) override;
    bool Unlock() override;

    HANDLE GetHandle() const { return m_hObject; }
    int GetLevel() const { return m_nLevel; }
    HANDLE Detach();   // gives up the handle without closing it

    // After a wait for this mutex ran out, the holder it ran out on (its recorded process,
    // 0 when none was recorded): later waits for the same holder do not wait again.
    bool IsStuckOn(DWORD dwOwnerPid) const;
    void SetStuck(DWORD dwOwnerPid);
    void ClearStuck() { m_bStuck = false; }
    // True for the first lock that failed at once on a stuck holder (only that one is traced).
    bool FirstQuickFailure();

private:
    HANDLE m_hObject = nullptr;
    int m_nLevel;
    bool m_bStuck = false;
    bool m_bQuickFailureSeen = false;
    DWORD m_dwStuckOwnerPid = 0;
};

// How long a lock waits for its mutex before the stuck-lock question: 30 s by default, long
// beyond any real hold. Tests shorten it.
DWORD TsGetLockWaitLimit();
void TsSetLockWaitLimit(DWORD dwMs);

// The process-wide objects, created before the program's main code runs.
CTsMutex& TsInterprocessMutex();   // level 2; guards every access to the shared data block
CTsMutex& TsHookMutex();           // level 3; this system never takes it

// A named hold of a leveled mutex. The label names the purpose ("GetWatcherWnd") and is
// recorded as the lock owner's in the shared data block while the lock is held.
class CTsSingleLock {
public:
    CTsSingleLock(const char* pszLabel, CTsMutex* pMutex, bool bLockNow = false);
    ~CTsSingleLock();   // releases the hold if still held
    CTsSingleLock(const CTsSingleLock&) = delete;
    CTsSingleLock& operator=(const CTsSingleLock&) = delete;

    // True when the lock is held. Taking a lock out of level order is a hard assertion. The
    // wait is limited (TsGetLockWaitLimit); when it runs out the user is asked whether to end
    // the holder, and false is returned unless the lock could be had then. Once a wait has run
    // out, later ones on the same holder fail at once without asking again, until the lock is
    // had again.
    bool Lock();
    // Gives up this guard's hold.
    bool UnLock();
    bool IsLocked() const { return m_lock.IsLocked(); }

private:
    void ForgetHold();
    bool HandleFailedWait(DWORD dwError, DWORD dwWaitedMs);

    CString m_sLabel;
    CTsMutex* m_pMutex;
    CSingleLock m_lock;
    int m_nLevel;
};

// The calling thread's held level: the highest level at which it holds a lock (0 to 4).
int GetHeldLockLevel();
// How often the calling thread holds the lock at nLevel (0 when not), and with which label
// it last took it.
int GetHeldLockCount(int nLevel);
CString GetHeldLockLabel(int nLevel);

// A named event. Created with the given attributes and labelled low; a failure leaves a
// null handle and is traced.
class CTsEvent : public CSyncObject {
public:
    CTsEvent(bool bInitialState, bool bManualReset, const char* pszName, SECURITY_ATTRIBUTES* pSecurity);
    ~CTsEvent() override;
    CTsEvent(const CTsEvent&) = delete;
    CTsEvent& operator=(const CTsEvent&) = delete;

    bool Lock(DWORD dwTimeout = INFINITE) override;
    bool Unlock() override { return true; }
    bool SetEvent();
    bool ResetEvent();
    bool IsSignaled() const;   // tested without waiting
    HANDLE GetHandle() const { return m_hObject; }

private:
    HANDLE m_hObject = nullptr;
};

// Dispatches the calling thread's pending messages. False when a quit message was met: it
// is posted again so that the caller's own message loop still ends.
bool ProcessMessages();
// The same, traced before and after.
bool ProcessMessages(const char* pszLabel);
