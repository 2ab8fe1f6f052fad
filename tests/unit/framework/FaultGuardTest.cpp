#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "framework/FaultGuard.h"

namespace {

// nReadable pages the process may read, followed by one it may not touch.
class CFaultPages {
public:
    explicit CFaultPages(size_t nReadable = 1) : m_nReadable(nReadable * 4096)
    {
        m_p = static_cast<char*>(::VirtualAlloc(nullptr, m_nReadable + 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        DWORD dwOld = 0;
        if (m_p) {
            for (size_t i = 0; i < m_nReadable; ++i)
                m_p[i] = static_cast<char>(i * 7 + i / 4096);
            ::VirtualProtect(m_p, m_nReadable, PAGE_READONLY, &dwOld);
            ::VirtualProtect(m_p + m_nReadable, 4096, PAGE_NOACCESS, &dwOld);
        }
    }
    ~CFaultPages() { if (m_p) ::VirtualFree(m_p, 0, MEM_RELEASE); }
    const char* Readable() const { return m_p; }
    size_t ReadableSize() const { return m_nReadable; }
    const char* NoAccess() const { return m_p + m_nReadable; }
private:
    size_t m_nReadable;
    char* m_p = nullptr;
};

bool IsCopyError(DWORD dwError) { return dwError == ERROR_NOACCESS || dwError == ERROR_PARTIAL_COPY; }

LONG WINAPI ExitWithFaultCode(EXCEPTION_POINTERS* p)
{
    ::ExitProcess(p->ExceptionRecord->ExceptionCode == EXCEPTION_ACCESS_VIOLATION ? 0x5EE : 1);
}

}  // namespace

TEST(FaultGuard, CopiesOfUnreadableMemoryFailAndSayWhy)
{
    CFaultPages pages;
    ASSERT_NE(nullptr, pages.Readable());
    char buffer[64] = {};
    TsFaultInfo fault;
    fault.dwError = 77;
    EXPECT_TRUE(TsSafeCopy(buffer, pages.Readable() + 100, sizeof(buffer), &fault));
    EXPECT_EQ(0, std::memcmp(buffer, pages.Readable() + 100, sizeof(buffer)));
    EXPECT_EQ(0u, fault.dwError);

    struct Case {
        const char* pszWhat;
        const void* pSource;
        size_t nSize;
    };
    const Case kCases[] = {
        {"a page of no access", pages.NoAccess() + 16, 8},
        {"a copy that runs into it", pages.Readable() + pages.ReadableSize() - 8, 32},
        {"the null page", nullptr, 4},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.pszWhat);
        ::SetLastError(1234);
        EXPECT_FALSE(TsSafeCopy(buffer, c.pSource, c.nSize, &fault));
        EXPECT_TRUE(IsCopyError(fault.dwError)) << fault.dwError;
        EXPECT_EQ(1234u, ::GetLastError());
        const DWORD dwTold = TsFaultErrorCode(fault);
        EXPECT_TRUE(dwTold == ERROR_NOACCESS || dwTold == ERROR_READ_FAULT) << dwTold;
    }
    // Nothing is left behind by a failed copy: the next ones work as before.
    for (int i = 0; i < 20; ++i) {
        EXPECT_TRUE(TsSafeCopy(buffer, pages.Readable(), 8));
        EXPECT_FALSE(TsSafeCopy(buffer, pages.NoAccess(), 8));
    }
}

TEST(FaultGuard, ChunkedReadsHandOverEveryPieceInOrderUpToTheFirstUnreadableOne)
{
    const size_t kMegabyte = 1 << 20;
    CFaultPages pages(kMegabyte / 4096 + 3);   // a megabyte and three pages, then no access
    ASSERT_NE(nullptr, pages.Readable());

    std::vector<size_t> pieces;
    std::string sRead;
    auto collect = [&](const void* p, size_t n) {
        pieces.push_back(n);
        sRead.append(static_cast<const char*>(p), n);
    };
    EXPECT_TRUE(TsSafeRead(pages.Readable(), pages.ReadableSize(), collect));
    EXPECT_EQ((std::vector<size_t>{kMegabyte, 3 * 4096}), pieces);
    EXPECT_EQ(std::string(pages.Readable(), pages.ReadableSize()), sRead);

    pieces.clear();
    sRead.clear();
    TsFaultInfo fault;
    EXPECT_FALSE(TsSafeRead(pages.Readable(), pages.ReadableSize() + 100, collect, &fault));
    EXPECT_EQ((std::vector<size_t>{kMegabyte}), pieces);
    EXPECT_EQ(std::string(pages.Readable(), kMegabyte), sRead);
    EXPECT_TRUE(IsCopyError(fault.dwError)) << fault.dwError;

    // A short read is one piece of its own size; an empty one hands over nothing.
    pieces.clear();
    EXPECT_TRUE(TsSafeRead(pages.Readable(), 10, collect));
    EXPECT_TRUE(TsSafeRead(pages.NoAccess(), 0, collect));
    EXPECT_EQ((std::vector<size_t>{10}), pieces);
}

// Nothing of ours stays registered: a plain fault after safe copies that failed still
// reaches the process's last handler.
TEST(FaultGuard, UnguardedFaultsAreLeftToTheProcess)
{
    if (std::getenv("WF_FAULTGUARD_CHILD")) {
        ::SetUnhandledExceptionFilter(ExitWithFaultCode);
        CFaultPages pages;
        char ch = 0;
        TsSafeCopy(&ch, pages.NoAccess(), 1);
        (void)*static_cast<const volatile char*>(pages.NoAccess());
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
