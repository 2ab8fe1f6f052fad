#pragma once
// Drives tests/procs/tswindows.exe, copied under the program name a test needs: it opens the
// windows its commands ask for and records what they are sent.
#include <windows.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "HelperProcess.h"
#include "TestUtil.h"

// Copies tswindows.exe to sPath (its folders are created).
inline bool CopyWindowsProgram(const std::string& sPath)
{
    std::string sFolder = sPath.substr(0, sPath.rfind('\\'));
    return testutil::CreateFolders(sFolder) &&
           ::CopyFileA((testutil::ModuleFolder() + "\\tswindows.exe").c_str(), sPath.c_str(), FALSE) != FALSE;
}

class CWindowsProgram {
public:
    // Starts the program and waits until all its windows are made. Each argument is passed
    // as one quoted command-line argument.
    CWindowsProgram(const std::string& sProgram, std::initializer_list<std::string> args)
    {
        m_sOutput = m_dir / "out.txt";
        CMeetingEvent ready("windows");
        std::string sCmd = "\"" + sProgram + "\" -o \"" + m_sOutput + "\"";
        for (const std::string& arg : args)
            sCmd += " \"" + arg + "\"";
        sCmd += " ready " + ready.Name();
        STARTUPINFOA si = {};
        si.cb = sizeof(si);
        std::vector<char> cmd(sCmd.begin(), sCmd.end());
        cmd.push_back(0);
        if (!::CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &m_pi))
            return;
        ::CloseHandle(m_pi.hThread);
        m_bReady = ready.Wait(30000);
    }
    ~CWindowsProgram()
    {
        if (m_pi.hProcess) {
            ::TerminateProcess(m_pi.hProcess, 1);
            ::WaitForSingleObject(m_pi.hProcess, 10000);
            ::CloseHandle(m_pi.hProcess);
        }
    }
    CWindowsProgram(const CWindowsProgram&) = delete;
    CWindowsProgram& operator=(const CWindowsProgram&) = delete;

    bool Ready() const { return m_bReady; }
    DWORD Pid() const { return m_pi.dwProcessId; }
    std::string Output() const { return testutil::ReadFileOrEmpty(m_sOutput); }

    // The window made with that title (or child class), or null.
    HWND Window(const std::string& sTitle) const
    {
        const std::string sKey = "hwnd " + sTitle + "=";
        for (const std::string& sLine : Lines()) {
            if (sLine.compare(0, sKey.size(), sKey) == 0)
                return static_cast<HWND>(ULongToHandle(std::stoul(sLine.substr(sKey.size()), nullptr, 16)));
        }
        return nullptr;
    }

    bool Has(const std::string& sLine) const { return Count(sLine) > 0; }

    int Count(const std::string& sLine) const
    {
        int n = 0;
        for (const std::string& s : Lines()) {
            if (s == sLine)
                ++n;
        }
        return n;
    }

    // Waits for a recorded line; false after dwTimeoutMs.
    bool WaitFor(const std::string& sLine, DWORD dwTimeoutMs = 10000) const
    {
        const DWORD dwStart = ::GetTickCount();
        while (!Has(sLine)) {
            if (::GetTickCount() - dwStart > dwTimeoutMs)
                return false;
            ::Sleep(20);
        }
        return true;
    }

    // Posts WM_APP to the window and waits until it is handled: every message posted to the
    // window's thread before it has then been handled too.
    bool Ping(const std::string& sTitle) const
    {
        HWND hWnd = Window(sTitle);
        return hWnd && ::PostMessageA(hWnd, WM_APP, 0, 0) && WaitFor("ping " + sTitle);
    }

private:
    std::vector<std::string> Lines() const
    {
        std::vector<std::string> lines;
        std::string s = Output();
        size_t nStart = 0;
        while (nStart < s.size()) {
            size_t nEnd = s.find('\n', nStart);
            if (nEnd == std::string::npos)
                nEnd = s.size();
            lines.push_back(s.substr(nStart, nEnd - nStart));
            nStart = nEnd + 1;
        }
        return lines;
    }

    testutil::CTempDir m_dir;
    std::string m_sOutput;
    PROCESS_INFORMATION m_pi = {};
    bool m_bReady = false;
};
