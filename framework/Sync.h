#pragma once
// Synchronisation objects of the framework layer.
#include <windows.h>

class CSyncObject {
public:
    virtual ~CSyncObject() = default;
    virtual bool Lock(DWORD dwTimeout = INFINITE) = 0;
    virtual bool Unlock() = 0;
};

class CCriticalSection : public CSyncObject {
public:
    CCriticalSection() { ::InitializeCriticalSection(&m_cs); }
    ~CCriticalSection() override { ::DeleteCriticalSection(&m_cs); }
    CCriticalSection(const CCriticalSection&) = delete;
    CCriticalSection& operator=(const CCriticalSection&) = delete;
    bool Lock(DWORD = INFINITE) override { ::EnterCriticalSection(&m_cs); return true; }
    bool Unlock() override { ::LeaveCriticalSection(&m_cs); return true; }
private:
    CRITICAL_SECTION m_cs;
};

// Holds a sync object for a scope; releases it on destruction if still held.
class CSingleLock {
public:
    explicit CSingleLock(CSyncObject* pObject, bool bInitialLock = false) : m_pObject(pObject)
    {
        if (bInitialLock)
            Lock();
    }
    ~CSingleLock() { Unlock(); }
    CSingleLock(const CSingleLock&) = delete;
    CSingleLock& operator=(const CSingleLock&) = delete;
    bool Lock(DWORD dwTimeout = INFINITE)
    {
        if (!m_bAcquired && m_pObject)
            m_bAcquired = m_pObject->Lock(dwTimeout);
        return m_bAcquired;
    }
    bool Unlock()
    {
        if (m_bAcquired && m_pObject)
            m_bAcquired = !m_pObject->Unlock();
        return !m_bAcquired;
    }
    bool IsLocked() const { return m_bAcquired; }
private:
    CSyncObject* m_pObject;
    bool m_bAcquired = false;
};
