#include "Strings/TsCloseShells.h"

#include <cstring>
#include <vector>

#include "Strings/SafeRegKey.h"
#include "Strings/TSProcessesInfo.h"
#include "Strings/TsLock.h"
#include "Strings/TsLog.h"
#include "Strings/TsSharedData.h"
#include "framework/CString.h"
#include "framework/FaultGuard.h"

namespace {

const char* const kContentClasses[] = {"Shell DocObject View", "ExploreWClass", "CabinetWClass"};
const char* const kBrowserClasses[] = {"Chrome_RenderWidgetHostHWND", "MozillaWindowClass", "MozillaUIWindowClass",
                                       "MozillaContentWindowClass", "NS_AE_WindowClass"};
const char* const kShellFrameClasses[] = {"IEFrame", "ExploreWClass", "CabinetWClass"};
const char* const kOtherBrowserFrameClasses[] = {"TfrmAvantBrowser", "SlimBrowser MainFrame"};
const char kOtherBrowserFrameTitle[] = "NetCaptor";
const char* const kEditorTitles[] = {"Identity Editor", "Keycard Editor"};
const char kToolbarClass[] = "Afx3145017";
const char kDesktopTitle[] = "Program Manager";
const char* const kFirefoxPrograms[] = {"firefox.exe", "portablefirefox.exe", "firefoxportable.exe"};

const char kDialogClass[] = "#32770";
const int kDialogMarkerId = 13749;
const char kDialogMarker[] = "_Tessaly_Dialog_1100973_";
const char* const kDialogKinds[] = {"_Identity_Editor_", "_Keycard_Editor_", "_Vaultnote_Editor_"};   // kinds 1..3

const char kMakerKey[] = "Software\\Norvane Works";
const DWORD kCancelPauseMs = 200;
// A blocked window whose pop-ups ignore the cancel is given up after this many of them; the
// watcher's pop-ups the same.
const int kMaxCancelPasses = 20;
const int kWatcherWaitPasses = 50;
const DWORD kWatcherWaitStepMs = 100;

// How long the clean-up can take when every foreign window misbehaves. Every message sent to
// a window of another thread waits kSendLimitMs at most (a window whose thread is hung
// answers nothing: it is passed over, as a window that has gone is). Sending and pausing for
// all blocked windows and for the watcher's pop-ups stops once kSendBudgetMs are spent; the
// sends under way and one pause may add kSendLimitMs + kCancelPauseMs. Then the watcher is
// awaited 49 x 100 ms. So a call takes at most about 10 + 1 + 0.2 + 4.9 = 16 s, plus the
// enumeration of the desktop's windows (which sends nothing) and any wait for the
// cross-process lock (see Strings/TsLock).
const DWORD kSendLimitMs = 1000;
const DWORD kSendBudgetMs = 10000;

// One step's use of the shared block.
struct SharedConnection {
    DWORD dwWasFresh = 0;        // 1 when this step created the block: no program of the product held it
    bool bConnectedHere = false;
};

// The time this call may still spend sending to foreign windows, counted from the first send.
class CSendBudget {
public:
    CSendBudget() : m_dwStart(::GetTickCount()) {}
    // False, traced once, when the budget is used up: the window is then passed over.
    bool Left()
    {
        if (::GetTickCount() - m_dwStart < kSendBudgetMs)
            return true;
        if (!m_bTraced)
            TsTrace("!HUNG all\n", "!!!CloseShells: the time for freeing windows is used up, the rest are passed over\n");
        m_bTraced = true;
        return false;
    }

private:
    DWORD m_dwStart;
    bool m_bTraced = false;
};

struct CloseState {
    SharedConnection connection;
    std::vector<HWND> windows;   // top-level windows in the order found, each once
    CTsProcessesInfo processes;
};

// Sends a message to a window that may belong to another thread or process, waiting
// kSendLimitMs at most. False when the window did not answer (hung, busy or gone): the
// caller passes it over.
bool SendWithLimit(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    DWORD_PTR dwResult = 0;
    if (::SendMessageTimeoutA(hWnd, uMsg, wParam, lParam, SMTO_ABORTIFHUNG | SMTO_NORMAL, kSendLimitMs, &dwResult))
        return true;
    if (::IsWindow(hWnd)) {
        TsTrace("!HUNG %x %x\n", "!!!CloseShells: window %x does not answer message %x, passed over\n",
                static_cast<unsigned>(HandleToUlong(hWnd)), uMsg);
    }
    return false;
}

template <size_t N> bool IsOneOf(const CString& s, const char* const (&table)[N])
{
    for (const char* psz : table) {
        if (s == psz)
            return true;
    }
    return false;
}

// Foreign windows may vanish at any moment: a failed read gives an empty text, no assertion.
CString ClassOf(HWND hWnd)
{
    char sz[256];
    int n = ::GetClassNameA(hWnd, sz, sizeof(sz));
    return n > 0 ? CString(sz, n) : CString();
}

// The text the system keeps for a window, read without sending it anything (GetWindowText
// sends WM_GETTEXT to a window of another thread of this process, which may hang).
CString TitleOf(HWND hWnd)
{
    using InternalGetWindowTextFn = int(WINAPI*)(HWND, LPWSTR, int);
    static const auto pInternalGetWindowText = reinterpret_cast<InternalGetWindowTextFn>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleA("user32.dll"), "InternalGetWindowText")));
    if (!pInternalGetWindowText) {
        // Windows 9x: there, the text of a window of another thread is read without a message.
        char sz[1024];
        int n = ::GetWindowTextA(hWnd, sz, sizeof(sz));
        return n > 0 ? CString(sz, n) : CString();
    }
    wchar_t wsz[1024];
    int nWide = pInternalGetWindowText(hWnd, wsz, sizeof(wsz) / sizeof(wsz[0]));
    if (nWide <= 0)
        return CString();
    char sz[4096];
    int n = ::WideCharToMultiByte(CP_ACP, 0, wsz, nWide, sz, sizeof(sz), nullptr, nullptr);
    return n > 0 ? CString(sz, n) : CString();
}

// If this process has no connection to the shared block, makes one (remembered, so that the
// step undoes it) and notes whether it created the block; records that in "_WasFresh".
void ConnectShared(SharedConnection& connection)
{
    connection.dwWasFresh = 0;
    connection.bConnectedHere = false;
    if (!TsIsSharedDataConnected()) {
        bool bCreated = false;
        DWORD dwError = 0;
        connection.bConnectedHere = TsConnectSharedData(bCreated, dwError);
        connection.dwWasFresh = bCreated ? 1 : 0;
    }
    TsRegSetDword(connection.dwWasFresh, HKEY_CURRENT_USER, kMakerKey, "_WasFresh");
}

void DisconnectShared(SharedConnection& connection)
{
    if (connection.bConnectedHere)
        TsDisconnectShared();
    connection.bConnectedHere = false;
}

// Reads a window field of the shared block under its lock. The block is shared with other
// programs (one may have made it smaller than ours), so it is read through a safe copy:
// false when the copy failed.
bool ReadSharedWnd(const char* pszLabel, DWORD TsSharedDataBlock::*pField, HWND& hWnd)
{
    hWnd = nullptr;
    CTsSingleLock lock(pszLabel, &TsInterprocessMutex(), true);
    TsSharedDataBlock* pBlock = g_pTsSharedData;
    if (!pBlock)
        return true;
    DWORD dwField = 0;
    if (!TsSafeCopy(&dwField, &(pBlock->*pField), sizeof(dwField)))
        return false;
    hWnd = TsFieldToWnd(dwField);
    return true;
}

// Whether hWnd is the product's password, list or options window, or one of its dialogs.
// False in bOk when reading the shared block faulted.
bool IsProductWindow(HWND hWnd, bool& bOk)
{
    static const struct {
        const char* pszLabel;
        DWORD TsSharedDataBlock::*pField;
    } kFields[] = {
        {"GetPasswordWnd", &TsSharedDataBlock::hPasswordWnd},
        {"GetListWnd", &TsSharedDataBlock::hListWnd},
        {"GetOptWnd", &TsSharedDataBlock::hOptionsWnd},
    };
    bOk = true;
    for (const auto& field : kFields) {
        HWND hProduct = nullptr;
        if (!ReadSharedWnd(field.pszLabel, field.pField, hProduct)) {
            bOk = false;
            return false;
        }
        if (hProduct && hProduct == hWnd)
            return true;
    }
    return IsProductDialog(hWnd, nullptr);
}

BOOL CALLBACK FindToolbarProc(HWND hWnd, LPARAM lParam)
{
    if (ClassOf(hWnd) == kToolbarClass) {
        *reinterpret_cast<bool*>(lParam) = true;
        return FALSE;
    }
    return TRUE;
}

bool HoldsProductToolbar(HWND hTopLevel)
{
    bool bFound = false;
    ::EnumChildWindows(hTopLevel, FindToolbarProc, reinterpret_cast<LPARAM>(&bFound));
    return bFound;
}

bool IsFirefoxProcessWindow(HWND hWnd, CloseState& state)
{
    CString sPath;
    CString sFileName;
    if (!state.processes.GetExeNameFromHwnd(hWnd, sPath, sFileName))
        return false;
    for (const char* pszName : kFirefoxPrograms) {
        if (sFileName.CompareNoCase(pszName) == 0)
            return true;
    }
    return false;
}

// The window where climbing from hWnd towards the top stops: the last one before null or the
// desktop, or the product's options window when the climb reaches it. Null when the options
// window could not be read.
bool ClimbToCandidate(HWND hWnd, HWND& hCandidate)
{
    hCandidate = nullptr;
    HWND hOptions = nullptr;
    if (!ReadSharedWnd("GetOptWnd", &TsSharedDataBlock::hOptionsWnd, hOptions))
        return false;
    const HWND hDesktop = ::GetDesktopWindow();
    HWND hReached = hWnd;
    while (!(hOptions && hReached == hOptions)) {
        // GetParent gives the owner of an owned pop-up, so dialogs lead to the window they block.
        HWND hUp = ::GetParent(hReached);
        if (!hUp || hUp == hDesktop)
            break;
        hReached = hUp;
    }
    hCandidate = hReached;
    return true;
}

void AddWindowUnguarded(HWND hWnd, CloseState& state)
{
    if (!::IsWindow(hWnd))
        return;
    const CString sClass = ClassOf(hWnd);

    bool bProductWindow = false;
    try {
        bool bOk = true;
        bProductWindow = IsProductWindow(hWnd, bOk);
        if (!bOk) {
            TsTrace("!EX AddWn1\n", "!!!AddWindow: caught coredump\n");
            return;
        }
    } catch (...) {
        TsTrace("!EX AddWn1\n", "!!!AddWindow: caught coredump\n");
        return;
    }
    if (!bProductWindow && !IsOneOf(sClass, kContentClasses) && !IsBrowserWindowClass(sClass))
        return;

    HWND hCandidate = nullptr;
    try {
        if (!ClimbToCandidate(hWnd, hCandidate)) {
            TsTrace("!EX AddWn2\n", "!!!AddWindow: caught coredump\n");
            return;
        }
    } catch (...) {
        TsTrace("!EX AddWn2\n", "!!!AddWindow: caught coredump\n");
        return;
    }
    if (!hCandidate || hCandidate == ::GetDesktopWindow())
        return;

    const CString sTitle = TitleOf(hCandidate);
    const CString sCandidateClass = ClassOf(hCandidate);
    bool bEditor = bProductWindow;
    for (const char* pszTitle : kEditorTitles) {
        if (sTitle.Find(pszTitle) >= 0)
            bEditor = true;
    }
    if (sTitle.IsEmpty() || sTitle == kDesktopTitle)
        return;
    for (HWND hListed : state.windows) {
        if (hListed == hCandidate)
            return;
    }

    bool bAdd = false;
    if (bEditor) {
        bAdd = true;
    } else if (HoldsProductToolbar(::GetAncestor(hCandidate, GA_ROOT))) {
        bAdd = true;
    } else if (IsOneOf(sCandidateClass, kShellFrameClasses)) {
        bAdd = true;
    } else if (IsBrowserWindowClass(sCandidateClass)) {
        bAdd = IsFirefoxProcessWindow(hCandidate, state);
    } else if (IsOneOf(sCandidateClass, kOtherBrowserFrameClasses) || sTitle == kOtherBrowserFrameTitle) {
        bAdd = true;
    }
    if (bAdd)
        state.windows.push_back(hCandidate);
}

// Called from the system's enumeration, which no exception may cross.
void AddWindow(HWND hWnd, CloseState& state)
{
    try {
        AddWindowUnguarded(hWnd, state);
    } catch (...) {
        TsTrace("!EX AddWn1\n", "!!!AddWindow: caught coredump\n");
    }
}

BOOL CALLBACK AddDescendantProc(HWND hWnd, LPARAM lParam)
{
    AddWindow(hWnd, *reinterpret_cast<CloseState*>(lParam));
    return TRUE;
}

BOOL CALLBACK AddTopLevelProc(HWND hWnd, LPARAM lParam)
{
    AddWindow(hWnd, *reinterpret_cast<CloseState*>(lParam));
    ::EnumChildWindows(hWnd, AddDescendantProc, lParam);
    return TRUE;
}

bool CollectWindows(CloseState& state)
{
    state.windows.clear();
    ConnectShared(state.connection);
    ::EnumWindows(AddTopLevelProc, reinterpret_cast<LPARAM>(&state));
    DisconnectShared(state.connection);
    return !state.windows.empty();
}

// Cancels the pop-ups that keep hWnd disabled: its top-level window's last active pop-up,
// or when that is hWnd itself or was just cancelled, the one of the top-level window's owner.
// A window or pop-up that does not answer ends the freeing of hWnd.
void FreeWindow(HWND hWnd, CSendBudget& budget)
{
    if (!::IsWindow(hWnd) || ::IsWindowEnabled(hWnd))
        return;
    if (!budget.Left() || !SendWithLimit(hWnd, WM_CANCELMODE, 0, 0))
        return;
    HWND hPrevious = nullptr;
    for (int nPass = 0; nPass < kMaxCancelPasses && ::IsWindow(hWnd) && !::IsWindowEnabled(hWnd); ++nPass) {
        HWND hTopLevel = ::GetAncestor(hWnd, GA_ROOT);
        HWND hPopup = ::GetLastActivePopup(hTopLevel);
        if (hPopup == hWnd || hPopup == hPrevious) {
            HWND hOwner = ::GetWindow(hTopLevel, GW_OWNER);
            if (!hOwner)
                return;
            hPopup = ::GetLastActivePopup(hOwner);
            if (hPopup == hPrevious || hPopup == hWnd)
                return;
        }
        if (!budget.Left() || !SendWithLimit(hPopup, WM_COMMAND, IDCANCEL, 0))
            return;
        hPrevious = hPopup;
        ::Sleep(kCancelPauseMs);   // no dispatching: the caller's windows must not run meanwhile
    }
}

// The watcher window from the shared block; a handle that names no window any more is
// cleared there with its companion word. Null when the block could not be read.
HWND ReadLiveWatcher()
{
    SharedConnection connection;
    ConnectShared(connection);
    HWND hWatcher = nullptr;
    bool bOk = false;
    try {
        CTsSingleLock lock("GetWatcherWnd", &TsInterprocessMutex(), true);
        TsSharedDataBlock* pBlock = g_pTsSharedData;
        bOk = true;
        if (pBlock) {
            DWORD dwField = 0;
            bOk = TsSafeCopy(&dwField, &pBlock->hWatcherWnd, sizeof(dwField));
            hWatcher = TsFieldToWnd(dwField);
            if (bOk && !::IsWindow(hWatcher)) {
                hWatcher = nullptr;
                CTsSingleLock clear("SetWatcherWnd", &TsInterprocessMutex(), true);
                const DWORD dwZero = 0;
                bOk = TsSafeWrite(&pBlock->hWatcherWnd, &dwZero, sizeof(dwZero)) &&
                      TsSafeWrite(&pBlock->dwWatcherCompanion, &dwZero, sizeof(dwZero));
            }
        }
    } catch (...) {
        bOk = false;
    }
    DisconnectShared(connection);
    if (!bOk) {
        TsTrace("!EX ClShl\n", "!!!CloseShells: caught coredump\n");
        return nullptr;
    }
    return hWatcher;
}

// False when the watcher did not go within about five seconds or a quit message ended the
// waiting (the quit message stays queued for the caller's own loop).
bool CloseWatcher(CSendBudget& budget)
{
    HWND hWatcher = ReadLiveWatcher();
    if (!hWatcher)
        return true;
    HWND hPrevious = nullptr;
    for (int nPass = 0; nPass < kMaxCancelPasses && ::IsWindow(hWatcher) && !::IsWindowEnabled(hWatcher); ++nPass) {
        HWND hPopup = ::GetLastActivePopup(::GetAncestor(hWatcher, GA_ROOT));
        if (!hPopup || hPopup == hWatcher || hPopup == hPrevious)
            break;
        if (!budget.Left() || !SendWithLimit(hPopup, WM_COMMAND, IDCANCEL, 0))
            break;
        hPrevious = hPopup;
    }
    ::PostMessageA(hWatcher, WM_CLOSE, 0, 0);
    if (!::IsWindow(hWatcher))
        return true;
    for (int nPass = 1;; ++nPass) {
        if (!ProcessMessages() || nPass >= kWatcherWaitPasses)
            return false;
        if (!ProcessMessages())
            return false;
        ::Sleep(kWatcherWaitStepMs);
        if (!ProcessMessages())
            return false;
        if (!::IsWindow(hWatcher))
            return true;
    }
}

}  // namespace

bool IsBrowserWindowClass(const char* pszClassName)
{
    return pszClassName && IsOneOf(CString(pszClassName), kBrowserClasses);
}

bool IsProductDialog(HWND hWnd, int* pnKind)
{
    if (pnKind)
        *pnKind = 0;
    if (!hWnd || ClassOf(hWnd) != kDialogClass)
        return false;
    HWND hMarker = ::GetDlgItem(hWnd, kDialogMarkerId);
    if (!hMarker)
        return false;
    const CString sText = TitleOf(hMarker);
    const int nMarkerLength = static_cast<int>(std::strlen(kDialogMarker));
    if (sText.Left(nMarkerLength) != kDialogMarker)
        return false;
    const CString sKind = sText.Mid(nMarkerLength);
    for (int i = 0; i < static_cast<int>(sizeof(kDialogKinds) / sizeof(kDialogKinds[0])); ++i) {
        if (sKind == kDialogKinds[i]) {
            if (pnKind)
                *pnKind = i + 1;
            break;
        }
    }
    return true;
}

int CloseShells(int nMode)
{
    CloseState state;
    state.processes.Init();
    CollectWindows(state);
    CSendBudget budget;
    for (HWND hWnd : state.windows)
        FreeWindow(hWnd, budget);
    CloseWatcher(budget);
    if (nMode == 2) {
        for (HWND hWnd : state.windows) {
            if (IsProductDialog(hWnd, nullptr))
                ::PostMessageA(hWnd, WM_CLOSE, 0, 0);
        }
    }
    return IDYES;
}
