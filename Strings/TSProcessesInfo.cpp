#include "Strings/TSProcessesInfo.h"

#include <cstring>

#include "Strings/TsFile.h"
#include "Strings/TsLog.h"

const char kTsProcessListNoInit[] = "TsGetProcessAndModuleList: cannot init process info!!!";
const char kTsProcessListCoredump[] = "TsGetProcessAndModuleList: coredump!!!";

// The record sizes that the 32-bit system functions expect.
static_assert(sizeof(void*) != 4 || sizeof(PROCESSENTRY32) == 296, "PROCESSENTRY32");
static_assert(sizeof(void*) != 4 || sizeof(MODULEENTRY32) == 548, "MODULEENTRY32");

namespace {

template <class Fn> Fn LookUp(HMODULE hModule, const char* pszName)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(hModule, pszName)));
}

// A name field of a snapshot record, which the system is trusted to terminate only so far.
CString FieldText(const char* pszField, size_t nSize)
{
    size_t n = 0;
    while (n < nSize && pszField[n])
        ++n;
    return CString(pszField, static_cast<int>(n));
}

CString AfterLastBackslash(const CString& sPath)
{
    int nSlash = sPath.ReverseFind('\\');
    return nSlash < 0 ? sPath : sPath.Mid(nSlash + 1);
}

// One step of a snapshot walk. The snapshot is the system's own copy: walking it reads no
// memory of another process and needs no guard.
template <class WalkFn, class Entry> BOOL WalkStep(WalkFn pfn, HANDLE hSnapshot, Entry* pEntry)
{
    pEntry->dwSize = sizeof(Entry);
    return pfn(hSnapshot, pEntry);
}

}  // namespace

bool CTsProcessesInfo::Init()
{
    if (IsReady())
        return true;
    if (!m_kernel)
        m_kernel.Reset(TsLoadLibrary("KERNEL32.DLL"));
    if (!m_kernel)
        return false;
    m_pfnCreateSnapshot = LookUp<CreateSnapshotFn>(m_kernel.Get(), "CreateToolhelp32Snapshot");
    m_pfnProcessFirst = LookUp<ProcessWalkFn>(m_kernel.Get(), "Process32First");
    m_pfnProcessNext = LookUp<ProcessWalkFn>(m_kernel.Get(), "Process32Next");
    m_pfnModuleFirst = LookUp<ModuleWalkFn>(m_kernel.Get(), "Module32First");
    m_pfnModuleNext = LookUp<ModuleWalkFn>(m_kernel.Get(), "Module32Next");
    return IsReady();
}

bool CTsProcessesInfo::IsReady() const
{
    return m_kernel && m_pfnCreateSnapshot && m_pfnProcessFirst && m_pfnProcessNext && m_pfnModuleFirst &&
           m_pfnModuleNext;
}

void CTsProcessesInfo::AppendProcessNames(CString& sPart)
{
    HANDLE hSnapshot = m_pfnCreateSnapshot(TH32CS_SNAPPROCESS, 0);
    CUniqueFile snapshot(hSnapshot);
    if (!snapshot) {
        sPart += "(no process snapshot)";
        return;
    }
    PROCESSENTRY32 entry;
    BOOL bFound = WalkStep(m_pfnProcessFirst, snapshot.Get(), &entry);
    while (bFound) {
        CString sName = FieldText(entry.szExeFile, sizeof(entry.szExeFile));
        if (!sName.IsEmpty()) {
            sName = AfterLastBackslash(sName);
            if (sName != "[System Process]" && sName != "System") {
                sName.Replace(' ', '^');
                sPart += sName + " ";
            }
        }
        bFound = WalkStep(m_pfnProcessNext, snapshot.Get(), &entry);
    }
}

void CTsProcessesInfo::AppendModuleNames(CString& sPart)
{
    HANDLE hSnapshot = m_pfnCreateSnapshot(TH32CS_SNAPMODULE, 0);
    CUniqueFile snapshot(hSnapshot);
    if (!snapshot) {
        sPart += "(no modules snapshot)";
        return;
    }
    MODULEENTRY32 entry;
    BOOL bFound = WalkStep(m_pfnModuleFirst, snapshot.Get(), &entry);
    while (bFound) {
        CString sName = FieldText(entry.szModule, sizeof(entry.szModule));
        if (!sName.IsEmpty()) {
            sName.Replace(' ', '^');
            sPart += sName + " ";
        }
        bFound = WalkStep(m_pfnModuleNext, snapshot.Get(), &entry);
    }
}

void CTsProcessesInfo::TsGetProcessAndModuleList(CString& sOut)
{
    if (!IsReady()) {
        sOut = kTsProcessListNoInit;
        return;
    }
    try {
        CString sProcesses;
        CString sModules;
        AppendProcessNames(sProcesses);
        AppendModuleNames(sModules);
        sOut = "*Modules*: " + sModules + "\n*Processes*: " + sProcesses + "\n";
    } catch (...) {
        sOut = kTsProcessListCoredump;
    }
}

void CTsProcessesInfo::FindProcessExe(DWORD dwProcessId, CString& sOut)
{
    HANDLE hSnapshot = m_pfnCreateSnapshot(TH32CS_SNAPPROCESS, 0);
    CUniqueFile snapshot(hSnapshot);
    if (!snapshot)
        return;
    PROCESSENTRY32 entry;
    BOOL bFound = WalkStep(m_pfnProcessFirst, snapshot.Get(), &entry);
    while (bFound) {
        if (entry.th32ProcessID == dwProcessId) {
            sOut = FieldText(entry.szExeFile, sizeof(entry.szExeFile));
            return;
        }
        bFound = WalkStep(m_pfnProcessNext, snapshot.Get(), &entry);
    }
}

void CTsProcessesInfo::GetProcessExeName(DWORD dwProcessId, CString& sOut)
{
    if (!IsReady())
        return;
    FindProcessExe(dwProcessId, sOut);
}

bool CTsProcessesInfo::GetExeNameFromHwnd(HWND hWnd, CString& sPath, CString& sFileName)
{
    try {
        sPath.Empty();
        sFileName.Empty();
        DWORD dwProcessId = 0;
        ::GetWindowThreadProcessId(hWnd, &dwProcessId);
        // A window of no live process gives 0, which on Windows NT is the idle process's entry.
        CString sExe;
        if (dwProcessId != 0 && IsReady())
            FindProcessExe(dwProcessId, sExe);
        if (sExe.Find('\\') < 0) {
            sPath = sExe;
            sFileName = sExe;
            return true;
        }
        char szLong[MAX_PATH];
        DWORD dwLength = ::GetLongPathNameA(sExe, szLong, MAX_PATH);
        if (dwLength == 0 || dwLength >= MAX_PATH) {
            TsSoftAssertFailed("Strings\\TSProcessesInfo", 115);
            sPath = sExe;
        } else {
            sPath = CString(szLong, static_cast<int>(dwLength));
        }
        sFileName = AfterLastBackslash(sPath);
        return true;
    } catch (...) {
        TsTrace("!EX HW2EXE\n", "!!GetExeNameFromHwnd: COREDUMP!!!\n");
        return false;
    }
}

void TsGetProcessAndModuleList(CString& sOut)
{
    CTsProcessesInfo info;
    info.Init();
    info.TsGetProcessAndModuleList(sOut);
}
