#pragma once
// The running processes and the modules of this process, from the system's tool-help
// snapshots. The five functions are looked up by name at run time; where the system lacks
// any of them nothing is tried and the callers get the texts below instead.
#include <windows.h>
#include <tlhelp32.h>

#include "framework/CString.h"
#include "framework/Unique.h"

class CTsProcessesInfo {
public:
    CTsProcessesInfo() = default;
    CTsProcessesInfo(const CTsProcessesInfo&) = delete;
    CTsProcessesInfo& operator=(const CTsProcessesInfo&) = delete;

    // Loads "KERNEL32.DLL" and looks up the five functions; true when all were found.
    bool Init();
    bool IsReady() const;

    // Replaces sOut with "*Modules*: a.dll b.dll \n*Processes*: x.exe y.exe \n" (blanks in a
    // name become "^"), or with the "cannot init" text when not ready, or with the
    // "coredump" text when walking the snapshots failed (threw).
    void TsGetProcessAndModuleList(CString& sOut);
    // The program file that the process snapshot records for the process: a full path on
    // Windows 9x, a bare file name on Windows NT. sOut is left unchanged when the snapshot
    // cannot be taken or the process is not in it.
    void GetProcessExeName(DWORD dwProcessId, CString& sOut);
    // The program of the process that owns hWnd: sPath its file as long as it can be had,
    // sFileName the part after the last backslash (both the bare name on Windows NT, both
    // empty for a window of no live process). False only when walking the snapshot threw.
    bool GetExeNameFromHwnd(HWND hWnd, CString& sPath, CString& sFileName);

private:
    using CreateSnapshotFn = HANDLE(WINAPI*)(DWORD, DWORD);
    using ProcessWalkFn = BOOL(WINAPI*)(HANDLE, PROCESSENTRY32*);
    using ModuleWalkFn = BOOL(WINAPI*)(HANDLE, MODULEENTRY32*);

    // Each walks one snapshot (a C++ exception leaves them to the caller's boundary).
    void AppendProcessNames(CString& sPart);
    void AppendModuleNames(CString& sPart);
    void FindProcessExe(DWORD dwProcessId, CString& sOut);

    CUniqueModule m_kernel;
    CreateSnapshotFn m_pfnCreateSnapshot = nullptr;
    ProcessWalkFn m_pfnProcessFirst = nullptr;
    ProcessWalkFn m_pfnProcessNext = nullptr;
    ModuleWalkFn m_pfnModuleFirst = nullptr;
    ModuleWalkFn m_pfnModuleNext = nullptr;
};

// The list text of a fresh, initialised object (for reports that need nothing else).
void TsGetProcessAndModuleList(CString& sOut);

extern const char kTsProcessListNoInit[];     // "TsGetProcessAndModuleList: cannot init process info!!!"
extern const char kTsProcessListCoredump[];   // "TsGetProcessAndModuleList: coredump!!!"
