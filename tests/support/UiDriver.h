#pragma once
// Answers dialogs and message boxes for tests, so that nothing waits for a person.
// A background thread looks for new visible top-level dialogs (class "#32770", or any
// class added with WatchClass), of this process or any other, records their caption,
// texts and buttons, and presses the button the responder chooses.
#include <windows.h>

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>
#include <atomic>

struct UiButton {
    int id;
    std::string text;
};

struct UiBox {
    HWND hwnd = nullptr;
    DWORD processId = 0;
    std::string className;
    std::string caption;
    std::vector<std::string> texts;   // static texts and edit contents, in child order
    std::vector<UiButton> buttons;
    int pressed = 0;                  // the button id pressed, 0 when left alone

    // All texts joined with "\n" (a message box has one).
    std::string Text() const;
    bool HasButton(int id) const;
};

class CUiDriver {
public:
    // Returns the id of the button to press, or 0 to leave the window alone.
    using Responder = std::function<int(const UiBox&)>;

    explicit CUiDriver(Responder responder = PressDefault, DWORD dwPollMs = 30);
    ~CUiDriver();
    CUiDriver(const CUiDriver&) = delete;
    CUiDriver& operator=(const CUiDriver&) = delete;

    void WatchClass(const char* pszClass);
    void SetResponder(Responder responder);
    std::vector<UiBox> Boxes() const;
    // Waits until at least nCount boxes were seen; false on timeout.
    bool WaitForBoxes(size_t nCount, DWORD dwTimeoutMs) const;
    void Clear();

    // Presses OK, else Yes, else the first button.
    static int PressDefault(const UiBox& box);
    // A responder that presses the given id whenever the window has it, else the default.
    static Responder Press(int id);

    // Reads a window the way the driver does (for windows found by other means).
    static UiBox Read(HWND hwnd);

private:
    void Run();
    void Poll();

    Responder m_responder;
    DWORD m_dwPollMs;
    std::vector<std::string> m_classes;
    std::vector<UiBox> m_boxes;
    std::vector<HWND> m_seen;
    mutable std::mutex m_mutex;
    std::atomic<bool> m_bStop{false};
    std::thread m_thread;
};
