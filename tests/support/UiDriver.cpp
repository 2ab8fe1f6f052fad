#include "UiDriver.h"

#include <algorithm>

namespace {

std::string WindowText(HWND hwnd)
{
    char szText[4096] = "";
    DWORD_PTR n = 0;
    if (::SendMessageTimeoutA(hwnd, WM_GETTEXT, sizeof(szText), reinterpret_cast<LPARAM>(szText),
                              SMTO_ABORTIFHUNG, 1000, &n))
        return std::string(szText, std::min<size_t>(n, sizeof(szText) - 1));
    // A thread that is busy (a setup unpacking between its message checks, a box of this
    // process still drawing itself on a slow machine) does not answer in time; the text
    // the system keeps for the window is still there, read without asking the thread.
    wchar_t wszText[4096] = L"";
    int nLength = ::InternalGetWindowText(hwnd, wszText, sizeof(wszText) / sizeof(wszText[0]));
    if (nLength <= 0)
        return std::string();
    int nBytes = ::WideCharToMultiByte(CP_ACP, 0, wszText, nLength, szText, sizeof(szText) - 1, nullptr, nullptr);
    return std::string(szText, nBytes > 0 ? static_cast<size_t>(nBytes) : 0);
}

std::string ClassOf(HWND hwnd)
{
    char szClass[256] = "";
    ::GetClassNameA(hwnd, szClass, sizeof(szClass));
    return szClass;
}

BOOL CALLBACK CollectChild(HWND hwnd, LPARAM lParam)
{
    UiBox& box = *reinterpret_cast<UiBox*>(lParam);
    std::string cls = ClassOf(hwnd);
    if (!cls.empty())
        ::CharLowerBuffA(&cls[0], static_cast<DWORD>(cls.size()));
    std::string text = WindowText(hwnd);
    if (cls == "button") {
        LONG style = ::GetWindowLongA(hwnd, GWL_STYLE) & 0x0F;
        if (style == BS_PUSHBUTTON || style == BS_DEFPUSHBUTTON)
            box.buttons.push_back({::GetDlgCtrlID(hwnd), text});
        else if (!text.empty())
            box.texts.push_back(text);
    } else if ((cls == "static" || cls == "edit" || cls == "richedit20a" || cls == "richedit20w") && !text.empty()) {
        box.texts.push_back(text);
    }
    return TRUE;
}

struct EnumState {
    const std::vector<std::string>* classes;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectTop(HWND hwnd, LPARAM lParam)
{
    EnumState& st = *reinterpret_cast<EnumState*>(lParam);
    if (!::IsWindowVisible(hwnd))
        return TRUE;
    std::string cls = ClassOf(hwnd);
    if (std::find(st.classes->begin(), st.classes->end(), cls) != st.classes->end())
        st.found.push_back(hwnd);
    return TRUE;
}

}  // namespace

std::string UiBox::Text() const
{
    std::string s;
    for (const std::string& t : texts) {
        if (!s.empty())
            s += "\n";
        s += t;
    }
    return s;
}

bool UiBox::HasButton(int id) const
{
    for (const UiButton& b : buttons)
        if (b.id == id)
            return true;
    return false;
}

CUiDriver::CUiDriver(Responder responder, DWORD dwPollMs)
    : m_responder(std::move(responder)), m_dwPollMs(dwPollMs), m_classes{"#32770"}
{
    m_thread = std::thread([this] { Run(); });
}

CUiDriver::~CUiDriver()
{
    m_bStop = true;
    if (m_thread.joinable())
        m_thread.join();
}

void CUiDriver::WatchClass(const char* pszClass)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_classes.push_back(pszClass);
}

void CUiDriver::SetResponder(Responder responder)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_responder = std::move(responder);
}

std::vector<UiBox> CUiDriver::Boxes() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_boxes;
}

bool CUiDriver::WaitForBoxes(size_t nCount, DWORD dwTimeoutMs) const
{
    DWORD dwStart = ::GetTickCount();
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_boxes.size() >= nCount)
                return true;
        }
        if (::GetTickCount() - dwStart > dwTimeoutMs)
            return false;
        ::Sleep(20);
    }
}

void CUiDriver::Clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_boxes.clear();
}

int CUiDriver::PressDefault(const UiBox& box)
{
    if (box.HasButton(IDOK))
        return IDOK;
    if (box.HasButton(IDYES))
        return IDYES;
    return box.buttons.empty() ? 0 : box.buttons.front().id;
}

CUiDriver::Responder CUiDriver::Press(int id)
{
    return [id](const UiBox& box) { return box.HasButton(id) ? id : PressDefault(box); };
}

UiBox CUiDriver::Read(HWND hwnd)
{
    UiBox box;
    box.hwnd = hwnd;
    ::GetWindowThreadProcessId(hwnd, &box.processId);
    box.className = ClassOf(hwnd);
    box.caption = WindowText(hwnd);
    ::EnumChildWindows(hwnd, CollectChild, reinterpret_cast<LPARAM>(&box));
    return box;
}

void CUiDriver::Run()
{
    while (!m_bStop) {
        Poll();
        ::Sleep(m_dwPollMs);
    }
}

void CUiDriver::Poll()
{
    EnumState st;
    Responder responder;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        st.classes = &m_classes;
        ::EnumWindows(CollectTop, reinterpret_cast<LPARAM>(&st));
        // Forget windows that are gone, so that a reused handle counts as new.
        m_seen.erase(std::remove_if(m_seen.begin(), m_seen.end(), [](HWND h) { return !::IsWindow(h); }),
                     m_seen.end());
        responder = m_responder;
    }
    for (HWND hwnd : st.found) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (std::find(m_seen.begin(), m_seen.end(), hwnd) != m_seen.end())
                continue;
        }
        // Let the window finish its initialisation before reading it.
        ::Sleep(50);
        if (!::IsWindow(hwnd))
            continue;
        UiBox box = Read(hwnd);
        // A window that ended while it was read (a progress window at the end of its work)
        // left nothing to read: no box that waits for an answer ends on its own.
        if (!::IsWindow(hwnd) && box.caption.empty() && box.texts.empty() && box.buttons.empty())
            continue;
        int id = responder ? responder(box) : 0;
        if (id) {
            HWND hButton = ::GetDlgItem(hwnd, id);
            ::PostMessageA(hwnd, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(hButton));
            box.pressed = id;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_seen.push_back(hwnd);
        m_boxes.push_back(box);
    }
}
