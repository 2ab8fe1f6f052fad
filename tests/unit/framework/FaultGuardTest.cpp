#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "TestUtil.h"
#include "framework/FaultGuard.h"

namespace {

// One reserved page the process may not touch, and one it may only read.
class CFaultPages {
public:
    CFaultPages()
    {
        m_p = static_cast<char*>(::VirtualAlloc(nullptr, 2 * 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        DWORD dwOld = 0;
        if (m_p) {
            ::VirtualProtect(m_p, 4096, PAGE_NOACCESS, &dwOld);
            ::VirtualProtect(m_p + 4096, 4096, PAGE_READONLY, &dwOld);
        }
    }
    ~CFaultPages() { if (m_p) ::VirtualFree(m_p, 0, MEM_RELEASE); }
    char* NoAccess() const { return m_p; }
    char* ReadOnly() const { return m_p + 4096; }
private:
    char* m_p = nullptr;
};

int ReadVolatile(const char* p) { return *static_cast<const volatile char*>(p); }
void WriteVolatile(char* p) { *static_cast<volatile char*>(p) = 1; }

struct ThreadArgs { char* pPage; bool bRan; DWORD dwCode; };

DWORD WINAPI FaultInOwnGuard(void* p)
{
    auto* a = static_cast<ThreadArgs*>(p);
    TsFaultInfo fault;
    a->bRan = TsGuarded([&] { ReadVolatile(a->pPage); }, &fault);
    a->dwCode = fault.dwCode;
    return 0;
}

LONG WINAPI ExitWithFaultCode(EXCEPTION_POINTERS* p)
{
    ::ExitProcess(p->ExceptionRecord->ExceptionCode == EXCEPTION_ACCESS_VIOLATION ? 0x5EE : 1);
}

}  // namespace

TEST(FaultGuard, FaultsEndTheGuardedCodeAndSayWhatHappened)
{
    CFaultPages pages;
    ASSERT_NE(nullptr, pages.NoAccess());

    TsFaultInfo fault;
    int nReached = 0;
    ::SetLastError(1234);
    EXPECT_FALSE(TsGuarded([&] { nReached = 1; ReadVolatile(pages.NoAccess() + 16); nReached = 2; }, &fault));
    EXPECT_EQ(1, nReached);
    EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), fault.dwCode);
    EXPECT_EQ(0u, fault.uAccess);
    EXPECT_EQ(pages.NoAccess() + 16, fault.pTarget);
    EXPECT_NE(nullptr, fault.pAddress);
    EXPECT_EQ(1234u, ::GetLastError());
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOACCESS), TsFaultErrorCode(fault));

    EXPECT_FALSE(TsGuarded([&] { WriteVolatile(pages.ReadOnly()); }, &fault));
    EXPECT_EQ(1u, fault.uAccess);
    EXPECT_EQ(pages.ReadOnly(), fault.pTarget);

    // The guard is left in order: code that does not fault runs to its end, again and again.
    for (int i = 0; i < 100; ++i) {
        nReached = 0;
        EXPECT_TRUE(TsGuarded([&] { nReached = ReadVolatile(pages.ReadOnly()) + 1; }));
        EXPECT_EQ(1, nReached);
        EXPECT_FALSE(TsGuarded([&] { ReadVolatile(pages.NoAccess()); }));
    }
}

TEST(FaultGuard, CopiesStopAtTheFirstUnreadablePage)
{
    CFaultPages pages;
    char buffer[64] = {};
    TsFaultInfo fault;
    EXPECT_TRUE(TsGuardedCopy(buffer, pages.ReadOnly(), sizeof(buffer)));
    EXPECT_FALSE(TsGuardedCopy(buffer, pages.NoAccess() + 4096 - 8, 32, &fault));
    EXPECT_FALSE(TsGuardedCopy(pages.ReadOnly(), buffer, 8, &fault));
    EXPECT_EQ(1u, fault.uAccess);
}

TEST(FaultGuard, GuardsNestAndBelongToTheirThread)
{
    CFaultPages pages;
    int nOuterSteps = 0;
    bool bInner = true;
    EXPECT_FALSE(TsGuarded([&] {
        bInner = TsGuarded([&] { ReadVolatile(pages.NoAccess()); });
        ++nOuterSteps;              // the inner fault ended only the inner guard
        ReadVolatile(pages.NoAccess());
        ++nOuterSteps;
    }));
    EXPECT_FALSE(bInner);
    EXPECT_EQ(1, nOuterSteps);

    // A thread of its own gets a guard of its own, also while this thread is inside one.
    ThreadArgs args = {pages.NoAccess(), true, 0};
    HANDLE hThread = ::CreateThread(nullptr, 0, FaultInOwnGuard, &args, 0, nullptr);
    ASSERT_NE(nullptr, hThread);
    EXPECT_TRUE(TsGuarded([&] { ::WaitForSingleObject(hThread, 30000); }));
    ::CloseHandle(hThread);
    EXPECT_FALSE(args.bRan);
    EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), args.dwCode);
}

TEST(FaultGuard, OtherExceptionsPassThrough)
{
    // A C++ exception leaves the guard as it would leave any call.
    bool bCaught = false;
    try {
        TsGuarded([] { throw std::string("thrown"); });
    } catch (const std::string& s) {
        bCaught = s == "thrown";
    }
    EXPECT_TRUE(bCaught);
    CFaultPages pages;
    EXPECT_FALSE(TsGuarded([&] { ReadVolatile(pages.NoAccess()); }));
}

// A fault outside every guard is not the guard's: it reaches the process's last handler.
TEST(FaultGuard, UnguardedFaultsAreLeftToTheProcess)
{
    if (std::getenv("WF_FAULTGUARD_CHILD")) {
        ::SetUnhandledExceptionFilter(ExitWithFaultCode);
        CFaultPages pages;
        TsGuarded([&] { ReadVolatile(pages.NoAccess()); });   // a guard was used and left
        ReadVolatile(pages.NoAccess());
        ::ExitProcess(2);
    }
    ::SetEnvironmentVariableA("WF_FAULTGUARD_CHILD", "1");
    char szExe[MAX_PATH];
    ::GetModuleFileNameA(nullptr, szExe, MAX_PATH);
    std::string sCmd = std::string("\"") + szExe + "\" --gtest_filter=FaultGuard.UnguardedFaultsAreLeftToTheProcess";
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    BOOL bStarted = ::CreateProcessA(nullptr, &sCmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
    ::SetEnvironmentVariableA("WF_FAULTGUARD_CHILD", nullptr);
    ASSERT_TRUE(bStarted);
    ::CloseHandle(pi.hThread);
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(pi.hProcess, 60000));
    DWORD dwExit = 0;
    ::GetExitCodeProcess(pi.hProcess, &dwExit);
    ::CloseHandle(pi.hProcess);
    EXPECT_EQ(0x5EEu, dwExit);
}
