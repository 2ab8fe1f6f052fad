#pragma once
// Drives tests/helpers/tshelper.exe, the second process of the cross-process tests.
#include <windows.h>

#include <string>
#include <vector>

#include "TestUtil.h"

class CHelperProcess {
public:
    // Starts the helper with the given commands; its result lines go to a file of its own.
    explicit CHelperProcess(const std::string& sCommands)
    {
        m_sOutput = m_dir / "out.txt";
        std::string sCmd = "\"" + testutil::ModuleFolder() + "\\tshelper.exe\" -o \"" + m_sOutput + "\" " + sCommands;
        STARTUPINFOA si = {};
        si.cb = sizeof(si);
        std::vector<char> cmd(sCmd.begin(), sCmd.end());
        cmd.push_back(0);
        if (::CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &m_pi))
            ::CloseHandle(m_pi.hThread);
    }
    ~CHelperProcess()
    {
        if (m_pi.hProcess) {
            if (::WaitForSingleObject(m_pi.hProcess, 0) == WAIT_TIMEOUT)
                ::TerminateProcess(m_pi.hProcess, 1);
            ::WaitForSingleObject(m_pi.hProcess, 5000);
            ::CloseHandle(m_pi.hProcess);
        }
    }
    CHelperProcess(const CHelperProcess&) = delete;
    CHelperProcess& operator=(const CHelperProcess&) = delete;

    bool Started() const { return m_pi.hProcess != nullptr; }
    DWORD Pid() const { return m_pi.dwProcessId; }
    HANDLE Process() const { return m_pi.hProcess; }

    // The exit code, or -2 when it did not end in time.
    int Wait(DWORD dwTimeoutMs = 30000)
    {
        if (!m_pi.hProcess || ::WaitForSingleObject(m_pi.hProcess, dwTimeoutMs) != WAIT_OBJECT_0)
            return -2;
        DWORD dwCode = 0;
        ::GetExitCodeProcess(m_pi.hProcess, &dwCode);
        return static_cast<int>(dwCode);
    }
    std::string Output() const { return testutil::ReadFileOrEmpty(m_sOutput); }

private:
    testutil::CTempDir m_dir;
    std::string m_sOutput;
    PROCESS_INFORMATION m_pi = {};
};

// Runs the helper to its end and gives its result lines (and a non-zero exit code).
inline std::string RunHelper(const std::string& sCommands)
{
    CHelperProcess helper(sCommands);
    int nExit = helper.Wait();
    std::string s = helper.Output();
    if (nExit != 0)
        s += "exit=" + std::to_string(nExit) + "\n";
    return s;
}

// A named manual-reset event on which the test and the helper meet.
class CMeetingEvent {
public:
    explicit CMeetingEvent(const char* pszPurpose)
    {
        static LONG s_n = 0;
        char szName[128];
        wsprintfA(szName, "tstest_%s_%lu_%ld", pszPurpose, ::GetCurrentProcessId(), ::InterlockedIncrement(&s_n));
        m_sName = szName;
        m_h = ::CreateEventA(nullptr, TRUE, FALSE, szName);
    }
    ~CMeetingEvent() { ::CloseHandle(m_h); }
    CMeetingEvent(const CMeetingEvent&) = delete;
    CMeetingEvent& operator=(const CMeetingEvent&) = delete;
    const std::string& Name() const { return m_sName; }
    bool Wait(DWORD dwMs = 30000) const { return ::WaitForSingleObject(m_h, dwMs) == WAIT_OBJECT_0; }
    void Set() const { ::SetEvent(m_h); }

private:
    std::string m_sName;
    HANDLE m_h;
};
