#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Strings/SafeRegKey.h"
#include "Strings/TsCloseShells.h"
#include "Strings/TsLock.h"
#include "Strings/TsLog.h"
#include "Strings/TsSharedData.h"
#include "TestUtil.h"
#include "WindowsProgram.h"

namespace {

std::string TraceText()
{
    CString s;
    TsGetTraceText(s);
    return s.str();
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

// Copies of the window program under the names the clean-up tells apart, each in a folder
// of its own because file names do not differ by letter case.
class CloseShellsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char* pszName : {"firefox.exe", "FireFox.EXE", "PortableFireFox.exe", "other.exe"})
            ASSERT_TRUE(CopyWindowsProgram(Program(pszName))) << pszName;
    }

    std::string Program(const std::string& sName) const { return m_dir / (sName + ".d\\" + sName); }

    testutil::CTempDir m_dir;
};

}  // namespace

TEST_F(CloseShellsTest, CollectsWindowsByClassTitleProgramAndToolbar)
{
    // Each window is disabled: a collected one is sent WM_CANCELMODE when it is freed.
    CWindowsProgram firefox(Program("firefox.exe"), {
        "window", "MozillaWindowClass", "Firefox Lower", "disable",
        "window", "MozillaWindowClass", "Program Manager", "disable",
        "window", "MozillaWindowClass", "", "disable",
    });
    CWindowsProgram mixedCase(Program("FireFox.EXE"), {"window", "MozillaUIWindowClass", "Firefox Mixed", "disable"});
    CWindowsProgram portable(Program("PortableFireFox.exe"), {"window", "NS_AE_WindowClass", "Firefox Portable", "disable"});
    CWindowsProgram other(Program("other.exe"), {
        "window", "MozillaWindowClass", "Other Mozilla", "disable",
        "window", "MozillaWindowClass", "Other Mozilla With Toolbar", "child", "Afx3145017", "disable",
        "window", "Chrome_RenderWidgetHostHWND", "Chrome Plain", "disable",
        "window", "Chrome_WidgetWin_1", "Chrome Frame", "child", "Chrome_RenderWidgetHostHWND", "disable",
        "window", "Chrome_WidgetWin_1", "Chrome With Toolbar", "child", "Chrome_RenderWidgetHostHWND",
                  "child", "Afx3145017", "disable",
        "window", "IEFrame", "Internet Explorer", "child", "Shell DocObject View", "disable",
        "window", "IEFrame", "Program Manager", "child", "Shell DocObject View", "disable",
        "window", "IEFrame", "", "child", "Shell DocObject View", "disable",
        "window", "IEFrame", "Frame Without Content", "disable",
        "window", "CabinetWClass", "Explorer Folder", "disable",
        "window", "TsTestFrame", "Some Frame", "child", "Shell DocObject View", "disable",
        "window", "TsTestFrame", "My Identity Editor 2", "child", "Shell DocObject View", "disable",
        "window", "TsTestFrame", "keycard editor", "child", "Shell DocObject View", "disable",
        "window", "TfrmAvantBrowser", "Avant", "child", "Shell DocObject View", "disable",
        "window", "TsTestFrame", "NetCaptor", "child", "MozillaContentWindowClass", "disable",
        "window", "TsTestFrame", "Tessaly Password", "disable",
        "window", "TsTestFrame", "Plain Frame", "disable",
    });
    for (const CWindowsProgram* p : {&firefox, &mixedCase, &portable, &other})
        ASSERT_TRUE(p->Ready());

    // The product's password window is known by its handle in the shared block.
    CConnection connection;
    ASSERT_TRUE(connection.m_bOk);
    g_pTsSharedData->hPasswordWnd = TsWndToField(other.Window("Tessaly Password"));
    EXPECT_EQ(IDYES, CloseShells(1));
    g_pTsSharedData->hPasswordWnd = 0;

    static const struct {
        int nProgram;   // 0 firefox.exe, 1 FireFox.EXE, 2 PortableFireFox.exe, 3 other.exe
        const char* pszTitle;
        bool bCollected;
    } kRows[] = {
        {0, "Firefox Lower", true},
        {0, "Program Manager", false},
        {0, "", false},
        {1, "Firefox Mixed", true},
        {2, "Firefox Portable", true},
        {3, "Other Mozilla", false},
        {3, "Other Mozilla With Toolbar", true},
        {3, "Chrome Plain", false},
        {3, "Chrome Frame", false},
        {3, "Chrome With Toolbar", true},
        {3, "Internet Explorer", true},
        {3, "Program Manager", false},
        {3, "", false},
        {3, "Frame Without Content", false},
        {3, "Explorer Folder", true},
        {3, "Some Frame", false},
        {3, "My Identity Editor 2", true},
        {3, "keycard editor", false},
        {3, "Avant", true},
        {3, "NetCaptor", true},
        {3, "Tessaly Password", true},
        {3, "Plain Frame", false},
    };
    const CWindowsProgram* programs[] = {&firefox, &mixedCase, &portable, &other};
    for (const auto& row : kRows) {
        SCOPED_TRACE(std::to_string(row.nProgram) + " '" + row.pszTitle + "'");
        // WM_CANCELMODE is sent, not posted: it has been handled when CloseShells returns.
        EXPECT_EQ(row.bCollected, programs[row.nProgram]->Has(std::string("cancelmode ") + row.pszTitle));
    }
}

TEST_F(CloseShellsTest, ABrowserBlockedByAProductDialogIsFreedAndLeftOpen)
{
    for (int nMode : {1, 2}) {
        SCOPED_TRACE("mode " + std::to_string(nMode));
        // The Firefox window is collected for its program, the other one for the dialog.
        CWindowsProgram firefox(Program("firefox.exe"), {
            "window", "MozillaWindowClass", "Firefox Blocked", "dialog", "_Identity_Editor_", "Identity Dialog"});
        CWindowsProgram other(Program("other.exe"), {
            "window", "MozillaWindowClass", "Other Blocked", "dialog", "_Keycard_Editor_", "Keycard Dialog"});
        ASSERT_TRUE(firefox.Ready());
        ASSERT_TRUE(other.Ready());
        ASSERT_FALSE(::IsWindowEnabled(firefox.Window("Firefox Blocked")));
        ASSERT_FALSE(::IsWindowEnabled(other.Window("Other Blocked")));

        EXPECT_EQ(IDYES, CloseShells(nMode));

        for (const auto& item : {std::make_pair(&firefox, std::string("Firefox Blocked")),
                                 std::make_pair(&other, std::string("Other Blocked"))}) {
            const CWindowsProgram& program = *item.first;
            SCOPED_TRACE(item.second);
            HWND hBrowser = program.Window(item.second);
            EXPECT_TRUE(::IsWindowEnabled(hBrowser));
            EXPECT_TRUE(program.Has("cancelmode " + item.second));
            EXPECT_TRUE(program.Ping(item.second));
            EXPECT_FALSE(program.Has("close " + item.second));
            EXPECT_TRUE(::IsWindow(hBrowser));
        }
        EXPECT_TRUE(firefox.Has("cancel Identity Dialog"));
        EXPECT_TRUE(other.Has("cancel Keycard Dialog"));
    }
}

TEST_F(CloseShellsTest, APopUpThatIgnoresTheCancelIsAskedOnceAndTheBrowserGivenUp)
{
    CWindowsProgram firefox(Program("firefox.exe"), {
        "window", "MozillaWindowClass", "Firefox Held", "dialog", "_Identity_Editor_", "Stubborn Dialog", "stay"});
    ASSERT_TRUE(firefox.Ready());
    EXPECT_EQ(IDYES, CloseShells(1));
    EXPECT_EQ(1, firefox.Count("cancel Stubborn Dialog"));
    EXPECT_FALSE(::IsWindowEnabled(firefox.Window("Firefox Held")));
}

TEST_F(CloseShellsTest, TheClimbStopsAtTheOptionsWindow)
{
    // The same owned pop-up registered as the options window is a window of its own; as the
    // list window it leads to the window it blocks, which is then freed.
    static const struct {
        const char* pszField;
        DWORD TsSharedDataBlock::*pField;
        bool bOwnerFreed;
    } kRows[] = {
        {"options", &TsSharedDataBlock::hOptionsWnd, false},
        {"list", &TsSharedDataBlock::hListWnd, true},
    };
    CConnection connection;
    ASSERT_TRUE(connection.m_bOk);
    for (const auto& row : kRows) {
        SCOPED_TRACE(row.pszField);
        CWindowsProgram other(Program("other.exe"), {
            "window", "MozillaWindowClass", "Options Owner", "dialog", "-", "Tessaly Options"});
        ASSERT_TRUE(other.Ready());
        g_pTsSharedData->*row.pField = TsWndToField(other.Window("Tessaly Options"));
        EXPECT_EQ(IDYES, CloseShells(1));
        g_pTsSharedData->*row.pField = 0;
        EXPECT_EQ(row.bOwnerFreed, other.Has("cancelmode Options Owner"));
        EXPECT_EQ(row.bOwnerFreed, other.Has("cancel Tessaly Options"));
        EXPECT_EQ(row.bOwnerFreed, ::IsWindowEnabled(other.Window("Options Owner")) != FALSE);
    }
}

TEST_F(CloseShellsTest, OnlyModeTwoClosesTheProductDialogs)
{
    static const struct {
        int nMode;
        bool bClosed;
    } kRows[] = {{1, false}, {2, true}};
    for (const auto& row : kRows) {
        SCOPED_TRACE("mode " + std::to_string(row.nMode));
        CWindowsProgram other(Program("other.exe"), {
            "freedialog", "_Vaultnote_Editor_", "Vault Note",
            "freedialog", "-", "Plain Dialog",
        });
        ASSERT_TRUE(other.Ready());
        EXPECT_EQ(IDYES, CloseShells(row.nMode));
        if (row.bClosed) {
            EXPECT_TRUE(other.WaitFor("close Vault Note"));
        } else {
            EXPECT_TRUE(other.Ping("Vault Note"));
            EXPECT_FALSE(other.Has("close Vault Note"));
        }
        EXPECT_TRUE(other.Ping("Plain Dialog"));
        EXPECT_FALSE(other.Has("close Plain Dialog"));
        EXPECT_FALSE(other.Has("cancel Vault Note"));
    }
}

TEST_F(CloseShellsTest, ProductDialogsAreKnownByTheMarkerControl)
{
    CWindowsProgram other(Program("other.exe"), {
        "freedialog", "_Identity_Editor_", "Identity",
        "freedialog", "_Keycard_Editor_", "Keycard",
        "freedialog", "_Vaultnote_Editor_", "Vaultnote",
        "freedialog", "", "Marker Only",
        "freedialog", "_Identity_Editor_2", "Longer Kind",
        "freedialog", "=x_Tessaly_Dialog_1100973_", "Marker Not First",
        "freedialog", "-", "No Marker",
        "window", "TsTestFrame", "Not A Dialog",
    });
    ASSERT_TRUE(other.Ready());
    static const struct {
        const char* pszTitle;
        bool bProduct;
        int nKind;
    } kRows[] = {
        {"Identity", true, 1},       {"Keycard", true, 2},          {"Vaultnote", true, 3},
        {"Marker Only", true, 0},    {"Longer Kind", true, 0},      {"Marker Not First", false, 0},
        {"No Marker", false, 0},     {"Not A Dialog", false, 0},
    };
    for (const auto& row : kRows) {
        SCOPED_TRACE(row.pszTitle);
        HWND hWnd = other.Window(row.pszTitle);
        ASSERT_NE(nullptr, hWnd);
        int nKind = -1;
        EXPECT_EQ(row.bProduct, IsProductDialog(hWnd, &nKind));
        EXPECT_EQ(row.nKind, nKind);
    }
    EXPECT_FALSE(IsProductDialog(nullptr, nullptr));
}

TEST(CloseShells, BrowserClassesAreExact)
{
    for (const char* pszClass : {"Chrome_RenderWidgetHostHWND", "MozillaWindowClass", "MozillaUIWindowClass",
                                 "MozillaContentWindowClass", "NS_AE_WindowClass"})
        EXPECT_TRUE(IsBrowserWindowClass(pszClass)) << pszClass;
    for (const char* pszClass : {"mozillawindowclass", "IEFrame", "Chrome_WidgetWin_1", "MozillaWindowClass ", ""})
        EXPECT_FALSE(IsBrowserWindowClass(pszClass)) << pszClass;
    EXPECT_FALSE(IsBrowserWindowClass(nullptr));
}

TEST_F(CloseShellsTest, TheWatcherIsAskedToCloseAndAwaited)
{
    CWindowsProgram tray(Program("other.exe"), {"watcher", "0"});
    ASSERT_TRUE(tray.Ready());
    HWND hWatcher = tray.Window("Watcher");
    ASSERT_TRUE(::IsWindow(hWatcher));

    EXPECT_EQ(IDYES, CloseShells(2));
    EXPECT_TRUE(tray.Has("close Watcher"));
    EXPECT_FALSE(::IsWindow(hWatcher));
}

TEST_F(CloseShellsTest, AWatcherBlockedByItsPopUpIsFreedAndClosed)
{
    CWindowsProgram tray(Program("other.exe"), {"watcher", "0", "dialog", "-", "Watcher Box"});
    ASSERT_TRUE(tray.Ready());
    HWND hWatcher = tray.Window("Watcher");
    ASSERT_FALSE(::IsWindowEnabled(hWatcher));

    EXPECT_EQ(IDYES, CloseShells(1));
    EXPECT_TRUE(tray.Has("cancel Watcher Box"));
    EXPECT_TRUE(tray.Has("close Watcher"));
    EXPECT_FALSE(::IsWindow(hWatcher));
}

TEST_F(CloseShellsTest, AWatcherThatStaysIsGivenUpAfterFiveSeconds)
{
    CWindowsProgram tray(Program("other.exe"), {"watcher", "1"});
    ASSERT_TRUE(tray.Ready());
    HWND hWatcher = tray.Window("Watcher");

    const DWORD dwStart = ::GetTickCount();
    EXPECT_EQ(IDYES, CloseShells(2));
    const DWORD dwElapsed = ::GetTickCount() - dwStart;
    EXPECT_TRUE(tray.Has("close Watcher"));
    EXPECT_TRUE(::IsWindow(hWatcher));
    // 49 sleeps of 100 ms; a busy machine only makes it longer.
    EXPECT_GE(dwElapsed, 4800u);
    EXPECT_LT(dwElapsed, 30000u);
}

namespace {

void CALLBACK PostQuitOnTimer(HWND, UINT, UINT_PTR uId, DWORD)
{
    ::KillTimer(nullptr, uId);
    ::PostQuitMessage(7);
}

}  // namespace

TEST_F(CloseShellsTest, AQuitMessageEndsTheWaitAndStaysQueued)
{
    CWindowsProgram tray(Program("other.exe"), {"watcher", "1"});
    ASSERT_TRUE(tray.Ready());

    // The timer is dispatched by the wait itself, which then meets the quit message.
    ASSERT_NE(0u, ::SetTimer(nullptr, 0, 100, PostQuitOnTimer));
    const DWORD dwStart = ::GetTickCount();
    EXPECT_EQ(IDYES, CloseShells(2));
    const DWORD dwElapsed = ::GetTickCount() - dwStart;
    EXPECT_TRUE(tray.Has("close Watcher"));

    MSG msg;
    ASSERT_TRUE(::PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(7u, msg.wParam);
    EXPECT_LT(dwElapsed, 4800u);
}

TEST_F(CloseShellsTest, AStaleWatcherIsClearedInTheBlock)
{
    CConnection connection;
    ASSERT_TRUE(connection.m_bOk);
    HWND hGone = ::CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    ASSERT_TRUE(::DestroyWindow(hGone));
    g_pTsSharedData->hWatcherWnd = TsWndToField(hGone);
    g_pTsSharedData->dwWatcherCompanion = 77;

    EXPECT_EQ(IDYES, CloseShells(2));
    EXPECT_EQ(0u, g_pTsSharedData->hWatcherWnd);
    EXPECT_EQ(0u, g_pTsSharedData->dwWatcherCompanion);
    EXPECT_EQ(0, GetHeldLockLevel());
}

TEST_F(CloseShellsTest, WasFreshTellsWhetherAProgramOfTheProductHeldTheBlock)
{
    const char* const kKey = "Software\\Norvane Works";
    ASSERT_FALSE(TsIsSharedDataConnected());
    DWORD dwFresh = 7;
    CloseShells(1);
    ASSERT_TRUE(TsRegGetDword(dwFresh, HKEY_CURRENT_USER, kKey, "_WasFresh"));
    EXPECT_EQ(1u, dwFresh);
    EXPECT_FALSE(TsIsSharedDataConnected());

    CWindowsProgram holder(Program("other.exe"), {"connect"});
    ASSERT_TRUE(holder.Ready());
    ASSERT_TRUE(TsRegDeleteValue(HKEY_CURRENT_USER, kKey, "_WasFresh"));
    CloseShells(1);
    ASSERT_TRUE(TsRegGetDword(dwFresh, HKEY_CURRENT_USER, kKey, "_WasFresh"));
    EXPECT_EQ(0u, dwFresh);
    EXPECT_FALSE(TsIsSharedDataConnected());
}

namespace {

// A stand-in for the shared block whose first kilobyte, with the product's window handles,
// lies on a page that cannot be read, as a block unmapped under our feet would. The lock
// owner's fields further on, which taking the lock writes, stay writable.
class CUnreadableWindowFields {
public:
    CUnreadableWindowFields()
    {
        SYSTEM_INFO si;
        ::GetSystemInfo(&si);
        const size_t nPage = si.dwPageSize;
        m_pBase = static_cast<BYTE*>(::VirtualAlloc(nullptr, 4 * nPage, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        DWORD dwOld = 0;
        if (m_pBase && ::VirtualProtect(m_pBase, nPage, PAGE_NOACCESS, &dwOld))
            m_pBlock = reinterpret_cast<TsSharedDataBlock*>(m_pBase + nPage - 1024);
    }
    ~CUnreadableWindowFields()
    {
        if (m_pBase)
            ::VirtualFree(m_pBase, 0, MEM_RELEASE);
    }
    CUnreadableWindowFields(const CUnreadableWindowFields&) = delete;
    CUnreadableWindowFields& operator=(const CUnreadableWindowFields&) = delete;
    TsSharedDataBlock* Get() const { return m_pBlock; }

private:
    BYTE* m_pBase = nullptr;
    TsSharedDataBlock* m_pBlock = nullptr;
};

}  // namespace

TEST_F(CloseShellsTest, ABlockThatCannotBeReadIsTracedAndTheCallGoesOn)
{
    CWindowsProgram firefox(Program("firefox.exe"), {"window", "MozillaWindowClass", "Firefox Lower"});
    ASSERT_TRUE(firefox.Ready());
    CConnection connection;
    ASSERT_TRUE(connection.m_bOk);
    CUnreadableWindowFields unreadable;
    ASSERT_NE(nullptr, unreadable.Get());

    TsSharedDataBlock* pMapped = g_pTsSharedData;
    g_pTsSharedData = unreadable.Get();
    TsTraceReset();
    const int nResult = CloseShells(2);
    g_pTsSharedData = pMapped;

    EXPECT_EQ(IDYES, nResult);
    const std::string sTrace = TraceText();
    EXPECT_NE(std::string::npos, sTrace.find(": !EX AddWn1\n")) << sTrace.substr(0, 400);
    EXPECT_NE(std::string::npos, sTrace.find(": !EX ClShl\n")) << sTrace.substr(sTrace.size() > 400 ? sTrace.size() - 400 : 0);
    // Every lock taken around the faulting reads was given back.
    EXPECT_EQ(0, GetHeldLockLevel());
    EXPECT_TRUE(::IsWindow(firefox.Window("Firefox Lower")));
}

namespace {

std::string HungTrace(HWND hWnd, UINT uMsg)
{
    char sz[64];
    wsprintfA(sz, ": !HUNG %x %x\n", static_cast<unsigned>(HandleToUlong(hWnd)), uMsg);
    return sz;
}

DWORD WINAPI CloseShellsThread(void* pMode)
{
    return static_cast<DWORD>(CloseShells(static_cast<int>(reinterpret_cast<INT_PTR>(pMode))));
}

// Runs CloseShells on a thread of its own and gives it dwLimitMs: false when it did not end
// by then (it is left running; unblock whatever it waits for before the test ends).
bool CloseShellsEndsWithin(int nMode, DWORD dwLimitMs, HANDLE& hThread)
{
    hThread = ::CreateThread(nullptr, 0, CloseShellsThread, reinterpret_cast<void*>(static_cast<INT_PTR>(nMode)), 0,
                             nullptr);
    if (!hThread)
        return false;
    return ::WaitForSingleObject(hThread, dwLimitMs) == WAIT_OBJECT_0;
}

}  // namespace

// A window whose thread has stopped reading its messages answers nothing: it is passed over
// with a trace, whatever the mode, and the call ends in about the time of one send.
TEST_F(CloseShellsTest, AHungBrowserBlockedByAProductDialogIsPassedOver)
{
    CWindowsProgram firefox(Program("firefox.exe"), {
        "window", "MozillaWindowClass", "Firefox Hung", "dialog", "_Identity_Editor_", "Hung Dialog", "hang"});
    ASSERT_TRUE(firefox.Ready());
    ASSERT_TRUE(firefox.WaitFor("hung"));
    HWND hBrowser = firefox.Window("Firefox Hung");
    ASSERT_FALSE(::IsWindowEnabled(hBrowser));

    TsTraceReset();
    const DWORD dwStart = ::GetTickCount();
    EXPECT_EQ(IDYES, CloseShells(2));
    const DWORD dwElapsed = ::GetTickCount() - dwStart;
    // One send of a second; the documented bound of a whole call is about 16 s.
    EXPECT_LT(dwElapsed, 30000u);
    const std::string sTrace = TraceText();
    EXPECT_NE(std::string::npos, sTrace.find(HungTrace(hBrowser, WM_CANCELMODE))) << sTrace;
    EXPECT_EQ(std::string::npos, sTrace.find(": !HUNG all\n"));
    EXPECT_FALSE(::IsWindowEnabled(hBrowser));
    EXPECT_FALSE(firefox.Has("cancel Hung Dialog"));
}

TEST_F(CloseShellsTest, AHungWatcherPopUpIsPassedOverAndTheWatcherStillAskedToClose)
{
    CWindowsProgram tray(Program("other.exe"), {"watcher", "0", "dialog", "-", "Hung Watcher Box", "hang"});
    ASSERT_TRUE(tray.Ready());
    ASSERT_TRUE(tray.WaitFor("hung"));
    HWND hWatcher = tray.Window("Watcher");
    ASSERT_FALSE(::IsWindowEnabled(hWatcher));

    TsTraceReset();
    const DWORD dwStart = ::GetTickCount();
    EXPECT_EQ(IDYES, CloseShells(2));
    const DWORD dwElapsed = ::GetTickCount() - dwStart;
    // One send of a second, then the watcher's five seconds.
    EXPECT_LT(dwElapsed, 30000u);
    const std::string sTrace = TraceText();
    EXPECT_NE(std::string::npos, sTrace.find(HungTrace(tray.Window("Hung Watcher Box"), WM_COMMAND))) << sTrace;
    EXPECT_TRUE(::IsWindow(hWatcher));   // the close is posted; a hung thread never reads it
    EXPECT_EQ(0, GetHeldLockLevel());
}

namespace {

// A frame of the shell with its content window, made on a thread of this process that then
// stops reading its messages until it is released.
class CHungFrameThread {
public:
    CHungFrameThread()
    {
        m_hMade = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
        m_hRelease = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
        m_hThread = ::CreateThread(nullptr, 0, Run, this, 0, nullptr);
        m_bReady = m_hThread && ::WaitForSingleObject(m_hMade, 10000) == WAIT_OBJECT_0 && m_hFrame;
    }
    ~CHungFrameThread()
    {
        ::SetEvent(m_hRelease);
        if (m_hThread) {
            ::WaitForSingleObject(m_hThread, 10000);
            ::CloseHandle(m_hThread);
        }
        ::CloseHandle(m_hMade);
        ::CloseHandle(m_hRelease);
    }
    CHungFrameThread(const CHungFrameThread&) = delete;
    CHungFrameThread& operator=(const CHungFrameThread&) = delete;

    bool Ready() const { return m_bReady; }
    void Release() { ::SetEvent(m_hRelease); }

private:
    static DWORD WINAPI Run(void* pParam)
    {
        auto* pSelf = static_cast<CHungFrameThread*>(pParam);
        WNDCLASSA wc = {};
        wc.lpfnWndProc = ::DefWindowProcA;
        wc.hInstance = ::GetModuleHandleA(nullptr);
        wc.lpszClassName = "IEFrame";
        ::RegisterClassA(&wc);
        wc.lpszClassName = "Shell DocObject View";
        ::RegisterClassA(&wc);
        pSelf->m_hFrame = ::CreateWindowExA(0, "IEFrame", "Same Process Frame", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100,
                                            nullptr, nullptr, wc.hInstance, nullptr);
        ::CreateWindowExA(0, "Shell DocObject View", "", WS_CHILD, 0, 0, 10, 10, pSelf->m_hFrame, nullptr,
                          wc.hInstance, nullptr);
        ::SetEvent(pSelf->m_hMade);
        ::WaitForSingleObject(pSelf->m_hRelease, INFINITE);   // reads no message meanwhile
        MSG msg;
        while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
            ::DispatchMessageA(&msg);
        ::DestroyWindow(pSelf->m_hFrame);
        return 0;
    }

    HANDLE m_hMade = nullptr;
    HANDLE m_hRelease = nullptr;
    HANDLE m_hThread = nullptr;
    HWND m_hFrame = nullptr;
    bool m_bReady = false;
};

}  // namespace

// The title of a window of another thread is read from what the system keeps: asking the
// window itself (WM_GETTEXT) would wait for a thread that reads nothing.
TEST(CloseShells, TitlesAreReadWithoutAskingTheWindow)
{
    CHungFrameThread frame;
    ASSERT_TRUE(frame.Ready());
    HANDLE hThread = nullptr;
    const bool bEnded = CloseShellsEndsWithin(1, 30000, hThread);
    EXPECT_TRUE(bEnded) << "CloseShells waited for the frame's thread";
    frame.Release();
    if (hThread) {
        ::WaitForSingleObject(hThread, 30000);
        ::CloseHandle(hThread);
    }
}
