#pragma once
// Helpers of the end-to-end tests: where the built programs are, the records the stand-ins
// write, and the watcher field of the product's shared data block read from outside.
#include <windows.h>

#include "UiDriver.h"

#include <set>
#include <string>
#include <vector>

namespace e2e {

// The build folder that holds starter/, standins/, tools/.
std::string BuildFolder();
std::string StandInPath(const char* pszName);   // "TessTaskBarIcon" -> ...\standins\TessTaskBarIcon.exe

// The lines a stand-in recorded beside its program (empty when it recorded nothing).
std::vector<std::string> ReadRecord(const std::string& sProgramPath);
bool RecordHas(const std::string& sProgramPath, const std::string& sLine);
// Waits until the record holds sLine; false after dwTimeoutMs.
bool WaitForRecord(const std::string& sProgramPath, const std::string& sLine, DWORD dwTimeoutMs);

// The watcher handle and its companion word in the shared data block, read under the
// interprocess mutex; null when no process holds the block.
struct WatcherField {
    HWND hWnd = nullptr;
    DWORD dwCompanion = 0;
};
WatcherField ReadWatcherField();
void WriteWatcherField(HWND hWnd, DWORD dwCompanion);
HWND WaitForWatcher(DWORD dwTimeoutMs);

// Owns a started process: ends it if it still runs when the test is over, so that a failed
// test leaves nothing behind for the next one.
class CChild {
public:
    explicit CChild(HANDLE h = nullptr) : m_h(h) {}
    ~CChild();
    CChild(const CChild&) = delete;
    CChild& operator=(const CChild&) = delete;
    HANDLE Get() const { return m_h; }
    DWORD Pid() const { return m_h ? ::GetProcessId(m_h) : 0; }
    explicit operator bool() const { return m_h != nullptr; }
private:
    HANDLE m_h;
};

// Each box on a line of its own: process, class, caption and texts, as a failure shows them.
std::string Describe(const std::vector<UiBox>& boxes);

// Every key below hRoot\pszKey ("key\sub"), and every value ("key\sub : name" with
// " = data" when bWithData), for comparing what a run left behind.
std::set<std::string> ListRegistry(HKEY hRoot, const char* pszKey, bool bWithData);
// Every file and folder below sFolder ("sub\file"); links are listed, never entered.
std::set<std::string> ListFolder(const std::string& sFolder);
// What is in after and not in before.
std::vector<std::string> Added(const std::set<std::string>& before, const std::set<std::string>& after);

// Starts a program without waiting; returns the process handle (caller closes) or null.
HANDLE StartProcess(const std::string& sProgram, const std::string& sArgs, const std::string& sFolder);
bool WaitForExit(HANDLE hProcess, DWORD dwTimeoutMs, DWORD* pdwExitCode = nullptr);

// Saves what the screen shows of a window as a 24-bit bitmap file. False when the window is
// gone or the file cannot be written.
bool SaveWindowShot(HWND hWnd, const std::string& sPath);

// The folder named by WAYFARER_SHOTS, where the tests leave screenshots of the splash and the
// dialogs for the documentation; empty when not set.
std::string ShotFolder();

}  // namespace e2e
