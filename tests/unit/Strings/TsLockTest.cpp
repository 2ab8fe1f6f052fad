#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "ErrorReports.h"
#include "HelperProcess.h"
#include "Strings/TsLock.h"
#include "Strings/TsLog.h"
#include "Strings/TsSharedData.h"
#include "Strings/TsTls.h"
#include "Strings/TsWindowCommon.h"
#include "UiDriver.h"
#include "framework/Exceptions.h"

namespace {

std::string TraceText()
{
    CString s;
    TsGetTraceText(s);
    return s.str();
}

std::string Hex(const void* p)
{
    char sz[32];
    wsprintfA(sz, "%x", static_cast<unsigned>(reinterpret_cast<UINT_PTR>(p)));
    return sz;
}

// Connected to the shared data block for the length of a test.
class CConnection {
public:
    CConnection() { m_bOk = TsConnectSharedData(m_bCreated, m_dwError); }
    ~CConnection()
    {
        if (m_bOk)
            TsDisconnectShared();
    }
    bool m_bOk = false;
    bool m_bCreated = false;
    DWORD m_dwError = 0;
};

// Records what the user agreed to report for the length of a test.
class CReportRecorder {
public:
    CReportRecorder() { testutil::ClearRecordedErrorReports(); }
    ~CReportRecorder() { testutil::ClearRecordedErrorReports(); }
};

// The crash report made of a stuck lock (empty when none): it is sent without asking again.
std::string StuckLockReport()
{
    auto reports = testutil::RecordedErrorReports();
    if (reports.empty())
        return std::string();
    EXPECT_EQ(1u, reports.size());
    EXPECT_TRUE(reports[0].bDontAsk);
    return reports[0].sMessage;
}

}  // namespace

TEST(TsLock, SameLockRecursesAndCountsPerLevel)
{
    ASSERT_EQ(0, GetHeldLockLevel());
    {
        CTsSingleLock get("GetWatcherWnd", &TsInterprocessMutex(), true);
        ASSERT_TRUE(get.IsLocked());
        EXPECT_EQ(2, GetHeldLockLevel());
        {
            CTsSingleLock set("SetWatcherWnd", &TsInterprocessMutex(), true);
            EXPECT_EQ(2, GetHeldLockCount(2));
            EXPECT_STREQ("SetWatcherWnd", GetHeldLockLabel(2));
            EXPECT_TRUE(set.Lock());                // one guard is one hold
            EXPECT_EQ(2, GetHeldLockCount(2));
        }
        EXPECT_EQ(1, GetHeldLockCount(2));
        EXPECT_EQ(2, GetHeldLockLevel());
        EXPECT_TRUE(get.UnLock());
        EXPECT_FALSE(get.UnLock());                 // nothing left to give up
    }
    EXPECT_EQ(0, GetHeldLockLevel());
    EXPECT_EQ(nullptr, PeekThreadBlock()->pLockStack);   // freed with the last entry
}

TEST(TsLock, HigherLevelsNestAndALowerHeldLockMayBeRetaken)
{
    CTsMutex hook(nullptr, 3);
    CTsMutex top(nullptr, 4);
    CTsSingleLock a("A", &TsInterprocessMutex(), true);
    CTsSingleLock b("B", &hook, true);
    CTsSingleLock c("C", &top, true);
    EXPECT_EQ(4, GetHeldLockLevel());
    CTsSingleLock again("A2", &TsInterprocessMutex(), true);   // below the held level, same mutex
    EXPECT_TRUE(again.IsLocked());
    EXPECT_EQ(2, GetHeldLockCount(2));
    EXPECT_EQ(1, GetHeldLockCount(3));
    c.UnLock();
    EXPECT_EQ(3, GetHeldLockLevel());
}

TEST(TsLock, LevelViolationsAreHardAssertions)
{
    CTsMutex hook(nullptr, 3);
    CTsMutex other(nullptr, 2);
    {
        CTsSingleLock held("HookHeld", &hook, true);
        TsTraceReset();
        CTsSingleLock lower("TooLow", &TsInterprocessMutex());
        EXPECT_THROW(lower.Lock(), CUserException);
        EXPECT_FALSE(lower.IsLocked());
        EXPECT_NE(std::string::npos, TraceText().find("LLL! HookHeld-" + Hex(&hook) + ": level=2\n"));
        EXPECT_EQ(3, GetHeldLockLevel());
        EXPECT_EQ(0, GetHeldLockCount(2));
    }
    {
        CTsSingleLock held("IpHeld", &TsInterprocessMutex(), true);
        TsTraceReset();
        CTsSingleLock same("SameLevel", &other);
        EXPECT_THROW(same.Lock(), CUserException);
        EXPECT_NE(std::string::npos,
                  TraceText().find("LLS! IpHeld-" + Hex(&TsInterprocessMutex()) + ": level=2\n"));
        EXPECT_EQ(1, GetHeldLockCount(2));
        EXPECT_STREQ("IpHeld", GetHeldLockLabel(2));
    }
    EXPECT_EQ(0, GetHeldLockLevel());
}

TEST(TsLock, MessageBoxesAreRefusedWhileALockIsHeld)
{
    CTsSingleLock lock("Held", &TsInterprocessMutex(), true);
    EXPECT_THROW(TsMsgBox(TS_MSG_INFO, nullptr, "never shown", nullptr, MB_OK), CUserException);
}

TEST(TsLock, LocksArePerThread)
{
    CTsSingleLock lock("MainThread", &TsInterprocessMutex(), true);
    int nOtherLevel = -1;
    TsThreadBlock* pOtherBlock = nullptr;
    std::thread t([&] {
        nOtherLevel = GetHeldLockLevel();
        pOtherBlock = GetThreadBlock();
        // The mutex is the same object, but this thread must wait for the main thread.
        nOtherLevel += ::WaitForSingleObject(TsInterprocessMutex().GetHandle(), 0) == WAIT_TIMEOUT ? 10 : 0;
    });
    t.join();
    EXPECT_EQ(10, nOtherLevel);
    EXPECT_NE(GetThreadBlock(), pOtherBlock);
    EXPECT_EQ(GetThreadBlock(), GetThreadBlock());
}

TEST(TsLock, OwnerIsRecordedInTheBlockWhileHeld)
{
    CConnection conn;
    ASSERT_TRUE(conn.m_bOk);
    {
        CTsSingleLock lock("GetOptWnd", &TsInterprocessMutex(), true);
        EXPECT_STREQ("GetOptWnd", g_pTsSharedData->szLockOwnerLabel);
        EXPECT_EQ(::GetCurrentProcessId(), g_pTsSharedData->dwLockOwnerPid);
    }
    EXPECT_STREQ("", g_pTsSharedData->szLockOwnerLabel);
    EXPECT_EQ(0u, g_pTsSharedData->dwLockOwnerPid);

    // A label longer than the field is cut to it.
    std::string sLong(700, 'L');
    {
        CTsSingleLock lock(sLong.c_str(), &TsInterprocessMutex(), true);
        EXPECT_EQ(std::string(kTsOwnerLabelBytes - 1, 'L'), std::string(g_pTsSharedData->szLockOwnerLabel));
    }
}

TEST(TsLock, WithoutSharedDataTheOwnerIsTraced)
{
    TsTraceReset();
    {
        CTsSingleLock lock("Lonely", &TsInterprocessMutex(), true);
    }
    std::string s = TraceText();
    EXPECT_NE(std::string::npos, s.find("LNSD: Lonely\n"));
    EXPECT_NE(std::string::npos, s.find("UNSD: Lonely\n"));
}

TEST(TsLock, ExcludesOtherProcessesAndSurvivesADeadOwner)
{
    CConnection conn;
    ASSERT_TRUE(conn.m_bOk);
    CMeetingEvent holding("holding");
    CMeetingEvent release("release");
    {
        CHelperProcess helper("connect lock HelperHold signal " + holding.Name() + " wait " + release.Name() +
                              " unlock disconnect");
        ASSERT_TRUE(holding.Wait());
        EXPECT_STREQ("HelperHold", g_pTsSharedData->szLockOwnerLabel);
        EXPECT_EQ(helper.Pid(), g_pTsSharedData->dwLockOwnerPid);
        std::thread t([] {
            // A thread of ours cannot get it while the helper holds it.
            EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), ::WaitForSingleObject(TsInterprocessMutex().GetHandle(), 200));
        });
        t.join();
        release.Set();
        EXPECT_EQ(0, helper.Wait());
    }
    {
        CTsSingleLock lock("AfterHelper", &TsInterprocessMutex(), true);
        EXPECT_TRUE(lock.IsLocked());
    }

    // An owner that dies holding the lock leaves it abandoned, which counts as taken.
    CMeetingEvent dying("dying");
    CHelperProcess helper("lock Dying signal " + dying.Name() + " sleep 60000");
    ASSERT_TRUE(dying.Wait());
    ::TerminateProcess(helper.Process(), 9);
    EXPECT_EQ(9, helper.Wait());
    CTsSingleLock lock("AfterDeath", &TsInterprocessMutex(), true);
    EXPECT_TRUE(lock.IsLocked());
    EXPECT_EQ(2, GetHeldLockLevel());
}

TEST(TsLock, MissingMutexGivesNoExclusion)
{
    CTsMutex none(1, nullptr);
    CTsSingleLock lock("NoMutex", &none, true);
    EXPECT_TRUE(lock.IsLocked());
    EXPECT_EQ(1, GetHeldLockLevel());
}

// A wait can only fail on a broken handle; the user is asked whether to end the holder.
TEST(TsLock, FailedWaitAsksAndEndsTheRecordedOwner)
{
    CConnection conn;
    ASSERT_TRUE(conn.m_bOk);
    CHelperProcess owner("sleep 60000");
    ASSERT_TRUE(owner.Started());
    lstrcpyA(g_pTsSharedData->szLockOwnerLabel, "StuckLabel");
    g_pTsSharedData->dwLockOwnerPid = owner.Pid();

    CTsMutex broken(3, reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7ff0)));
    CReportRecorder reports;
    CUiDriver ui(CUiDriver::Press(IDYES));
    TsTraceReset();
    {
        CTsSingleLock lock("Mine", &broken);
        EXPECT_FALSE(lock.Lock());
    }
    broken.Detach();
    EXPECT_EQ(0, GetHeldLockLevel());   // the failed hold is not left on the stack
    EXPECT_EQ(100, owner.Wait(10000));

    auto boxes = ui.Boxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ("Tessaly", boxes[0].caption);
    char szExpected[512];
    wsprintfA(szExpected,
              "Process tshelper.exe (pid %lu, lock StuckLabel) is locking process  (pid %lu, lock Mine) for 0 "
              "minutes\nClick Yes to kill the process that is holding the lock and to report this abnormal situation "
              "to Tessaly.",
              owner.Pid(), ::GetCurrentProcessId());
    EXPECT_EQ(std::string(szExpected), boxes[0].Text());
    EXPECT_EQ(0u, StuckLockReport().find("ASSERT\n" + std::string(szExpected) + "\n"));   // reported with the same text
    std::string sTrace = TraceText();
    char szLck[128];
    wsprintfA(szLck, "!LCK0: 'StuckLabel(%lx)->Mine' e=6\n", owner.Pid());
    EXPECT_NE(std::string::npos, sTrace.find(szLck)) << sTrace;
    EXPECT_NE(std::string::npos, sTrace.find("LTPR: 1\n"));

    g_pTsSharedData->szLockOwnerLabel[0] = 0;
    g_pTsSharedData->dwLockOwnerPid = 0;
}

TEST(TsLock, FailedWaitWithoutOwnerOffersAReport)
{
    CTsMutex broken(1, reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7ff0)));
    CReportRecorder reports;
    CUiDriver ui(CUiDriver::Press(IDNO));
    {
        CTsSingleLock lock("Orphan", &broken);
        EXPECT_FALSE(lock.Lock());
    }
    EXPECT_EQ("", StuckLockReport());   // the user said no
    ui.SetResponder(CUiDriver::Press(IDYES));
    {
        CTsSingleLock lock("Orphan", &broken);
        EXPECT_FALSE(lock.Lock());
    }
    broken.Detach();
    EXPECT_EQ(0, GetHeldLockLevel());
    auto boxes = ui.Boxes();
    ASSERT_EQ(2u, boxes.size());
    char szExpected[256];
    wsprintfA(szExpected,
              "Process  (pid %lu) cannot get lock Orphan for 0 minutes\nClick Yes to report this abnormal "
              "situation to Tessaly.",
              ::GetCurrentProcessId());
    EXPECT_EQ(std::string(szExpected), boxes[0].Text());
    EXPECT_EQ(IDNO, boxes[0].pressed);
    EXPECT_EQ(IDYES, boxes[1].pressed);
    EXPECT_EQ(0u, StuckLockReport().find("ASSERT\n" + std::string(szExpected) + "\n"));
}

namespace {

// A shorter wait for the lock for the length of a test.
class CLockWaitLimit {
public:
    explicit CLockWaitLimit(DWORD dwMs) : m_dwOld(TsGetLockWaitLimit()) { TsSetLockWaitLimit(dwMs); }
    ~CLockWaitLimit() { TsSetLockWaitLimit(m_dwOld); }
    CLockWaitLimit(const CLockWaitLimit&) = delete;
    CLockWaitLimit& operator=(const CLockWaitLimit&) = delete;

private:
    DWORD m_dwOld;
};

int g_nTicks = 0;
void CALLBACK CountTick(HWND, UINT, UINT_PTR, DWORD)
{
    ++g_nTicks;
}

// The "Interprocess" mutex opened once more: a record of its own of a holder that got stuck.
struct CInterprocessMutex : CTsMutex {
    CInterprocessMutex() : CTsMutex(kTsInterprocessMutexName, kTsInterprocessLockLevel) {}
};

std::string LockTrace(int nTry, const std::string& sLabel)
{
    return "!LCK" + std::to_string(nTry) + ": '" + sLabel + "' e=102\n";
}

}  // namespace

TEST(TsLock, AWaitThatRunsOutAsksOnceAndLaterWaitsOnTheSameHolderFailAtOnce)
{
    const DWORD kLimitMs = 4000;
    CLockWaitLimit limit(kLimitMs);
    CConnection conn;
    ASSERT_TRUE(conn.m_bOk);
    CMeetingEvent holding("holding");
    CMeetingEvent release("release");
    CHelperProcess helper("connect lock HelperHeld signal " + holding.Name() + " wait " + release.Name() +
                          " unlock disconnect");
    ASSERT_TRUE(holding.Wait());
    CInterprocessMutex mutex;
    CReportRecorder reports;
    CUiDriver ui(CUiDriver::Press(IDNO));
    TsTraceReset();

    g_nTicks = 0;
    const UINT_PTR uTimer = ::SetTimer(nullptr, 0, 100, CountTick);
    DWORD dwStart = ::GetTickCount();
    {
        CTsSingleLock first("First", &mutex);
        EXPECT_FALSE(first.Lock());
    }
    const DWORD dwFirst = ::GetTickCount() - dwStart;
    ::KillTimer(nullptr, uTimer);
    EXPECT_GE(dwFirst, kLimitMs - 50);
    EXPECT_GT(g_nTicks, 0);   // the thread's messages were dispatched while it waited
    EXPECT_EQ(0, GetHeldLockLevel());

    dwStart = ::GetTickCount();
    {
        CTsSingleLock second("Second", &mutex);
        EXPECT_FALSE(second.Lock());
        CTsSingleLock third("Third", &mutex, true);
        EXPECT_FALSE(third.IsLocked());
    }
    EXPECT_LT(::GetTickCount() - dwStart, kLimitMs / 2);   // no second wait
    EXPECT_EQ(0, GetHeldLockLevel());

    auto boxes = ui.Boxes();
    ASSERT_EQ(1u, boxes.size());   // asked once
    char szExpected[512];
    wsprintfA(szExpected,
              "Process tshelper.exe (pid %lu, lock HelperHeld) is locking process  (pid %lu, lock First) for 1 "
              "minutes\nClick Yes to kill the process that is holding the lock and to report this abnormal situation "
              "to Tessaly.",
              helper.Pid(), ::GetCurrentProcessId());
    EXPECT_EQ(std::string(szExpected), boxes[0].Text());
    EXPECT_EQ(IDNO, boxes[0].pressed);
    EXPECT_EQ("", StuckLockReport());
    const std::string sTrace = TraceText();
    char szOwner[64];
    wsprintfA(szOwner, "HelperHeld(%lx)->First", helper.Pid());
    EXPECT_NE(std::string::npos, sTrace.find(LockTrace(0, szOwner))) << sTrace;
    EXPECT_NE(std::string::npos, sTrace.find(LockTrace(1, "Second"))) << sTrace;
    EXPECT_EQ(std::string::npos, sTrace.find(LockTrace(1, "Third")));   // traced once

    // Once the holder lets go, the lock is had and a later holder is waited for again.
    release.Set();
    EXPECT_EQ(0, helper.Wait());
    {
        CTsSingleLock after("After", &mutex, true);
        EXPECT_TRUE(after.IsLocked());
    }
    EXPECT_FALSE(mutex.IsStuckOn(0));
}

// The road of a start: the first lock is taken before any connection, so its holder is not
// known; the connection and every lock after it then fail at once.
TEST(TsLock, WithoutAConnectionTheStuckLockIsReportedAndTheConnectionGoesOnWithoutIt)
{
    const DWORD kLimitMs = 2000;
    CLockWaitLimit limit(kLimitMs);
    CMeetingEvent holding("holding");
    CMeetingEvent release("release");
    CHelperProcess helper("connect lock HelperHeld signal " + holding.Name() + " wait " + release.Name() +
                          " unlock disconnect");
    ASSERT_TRUE(holding.Wait());
    CReportRecorder reports;
    CUiDriver ui(CUiDriver::Press(IDNO));
    ASSERT_FALSE(TsIsSharedDataConnected());
    {
        CTsSingleLock lonely("Lonely", &TsInterprocessMutex());
        EXPECT_FALSE(lonely.Lock());
    }
    const DWORD dwStart = ::GetTickCount();
    {
        CConnection conn;
        EXPECT_TRUE(conn.m_bOk);
        EXPECT_FALSE(conn.m_bCreated);
        EXPECT_EQ(helper.Pid(), g_pTsSharedData->dwLockOwnerPid);   // the helper's block
        CTsSingleLock connected("Connected", &TsInterprocessMutex());
        EXPECT_FALSE(connected.Lock());
    }
    EXPECT_LT(::GetTickCount() - dwStart, kLimitMs / 2);
    EXPECT_EQ(0, GetHeldLockLevel());
    auto boxes = ui.Boxes();
    ASSERT_EQ(1u, boxes.size());
    char szExpected[256];
    wsprintfA(szExpected,
              "Process  (pid %lu) cannot get lock Lonely for 1 minutes\nClick Yes to report this abnormal situation to "
              "Tessaly.",
              ::GetCurrentProcessId());
    EXPECT_EQ(std::string(szExpected), boxes[0].Text());
    release.Set();
    EXPECT_EQ(0, helper.Wait());
    CTsSingleLock after("After", &TsInterprocessMutex(), true);
    EXPECT_TRUE(after.IsLocked());
    EXPECT_FALSE(TsInterprocessMutex().IsStuckOn(0));
}

TEST(TsLock, AStuckHolderEndedOnYesLeavesTheLockToTheWaiter)
{
    CLockWaitLimit limit(2000);
    CConnection conn;
    ASSERT_TRUE(conn.m_bOk);
    CMeetingEvent holding("holding");
    CHelperProcess helper("connect lock Forever signal " + holding.Name() + " sleep 60000");
    ASSERT_TRUE(holding.Wait());
    CInterprocessMutex mutex;
    CReportRecorder reports;
    CUiDriver ui(CUiDriver::Press(IDYES));
    TsTraceReset();
    {
        CTsSingleLock lock("Mine", &mutex);
        EXPECT_TRUE(lock.Lock());   // the ended holder abandoned the mutex: it counts as taken
        EXPECT_EQ(2, GetHeldLockLevel());
    }
    EXPECT_EQ(100, helper.Wait(10000));
    EXPECT_FALSE(mutex.IsStuckOn(0));
    char szExpected[512];
    wsprintfA(szExpected,
              "Process tshelper.exe (pid %lu, lock Forever) is locking process  (pid %lu, lock Mine) for 1 minutes\n"
              "Click Yes to kill the process that is holding the lock and to report this abnormal situation to "
              "Tessaly.",
              helper.Pid(), ::GetCurrentProcessId());
    auto boxes = ui.Boxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(std::string(szExpected), boxes[0].Text());
    EXPECT_EQ(0u, StuckLockReport().find("ASSERT\n" + std::string(szExpected) + "\n"));
    EXPECT_NE(std::string::npos, TraceText().find("LTPR: 1\n"));
}

TEST(TsEvent, NamedEventStatesAndCreationFailure)
{
    std::string sName = "tstest_event_" + std::to_string(::GetCurrentProcessId());
    CTsEvent ev(false, true, sName.c_str(), nullptr);
    ASSERT_NE(nullptr, ev.GetHandle());
    EXPECT_FALSE(ev.IsSignaled());
    EXPECT_TRUE(ev.SetEvent());
    CTsEvent same(false, true, sName.c_str(), nullptr);   // opens the existing one
    EXPECT_TRUE(same.IsSignaled());
    EXPECT_TRUE(same.Lock(0));
    EXPECT_TRUE(ev.ResetEvent());
    EXPECT_FALSE(same.IsSignaled());

    TsTraceReset();
    CTsEvent clash(false, true, kTsInterprocessMutexName, nullptr);   // the name belongs to a mutex
    EXPECT_EQ(nullptr, clash.GetHandle());
    EXPECT_FALSE(clash.IsSignaled());
    EXPECT_NE(std::string::npos, TraceText().find("TSEV: 6\n"));
}

namespace {

int g_nAppMessages = 0;
LRESULT CALLBACK CountingProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    if (uMsg == WM_APP)
        ++g_nAppMessages;
    return ::DefWindowProcW(hWnd, uMsg, wParam, lParam);
}

}  // namespace

TEST(ProcessMessages, DispatchesPendingAndStopsAtQuit)
{
    WNDCLASSW wc = {};
    wc.lpfnWndProc = CountingProc;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = L"TsProcessMessagesTest";
    ::RegisterClassW(&wc);
    HWND hWnd = ::CreateWindowW(L"TsProcessMessagesTest", L"", 0, 0, 0, 10, 10, nullptr, nullptr, wc.hInstance,
                                nullptr);
    ASSERT_NE(nullptr, hWnd);
    g_nAppMessages = 0;
    for (int i = 0; i < 3; ++i)
        ::PostMessageW(hWnd, WM_APP, 0, 0);
    EXPECT_TRUE(ProcessMessages());
    EXPECT_EQ(3, g_nAppMessages);

    TsTraceReset();
    ::PostMessageW(hWnd, WM_APP, 0, 0);
    ::PostQuitMessage(7);
    EXPECT_FALSE(ProcessMessages("WaitTest"));
    EXPECT_EQ(4, g_nAppMessages);
    std::string s = TraceText();
    EXPECT_NE(std::string::npos, s.find("PMs+: WaitTest\n"));
    EXPECT_NE(std::string::npos, s.find("PMs-: WaitTest, 0\n"));
    // The quit message is put back for the caller's own loop.
    MSG msg;
    ASSERT_TRUE(::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(static_cast<UINT>(WM_QUIT), msg.message);
    EXPECT_EQ(7u, msg.wParam);
    ::DestroyWindow(hWnd);
    EXPECT_TRUE(ProcessMessages());
}
