#pragma once
// Facts about the host: the version record, the shell's special folders, the installed
// desktop edition, browser and library versions, memory status and the system description
// that heads every error report. Nothing here throws or shows anything.
#include <windows.h>
#include <shlwapi.h>

#include "framework/CString.h"

// The process-wide version record, filled once by InitVersionInfo.
struct TsVersionRecord {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;      // on the 9x platform only its low 16 bits
    DWORD dwPlatformId;
    char szCSDVersion[128];   // service pack text
    DWORD bServer;            // 5.2, or 6+ with a product type other than workstation
    DWORD dwIEMajor;
    DWORD dwIEMinor;
    DWORD dwIEBuild;
    DWORD dwComCtlVersion;    // (major << 16) | minor of comctl32.dll, 0 when unknown
    DWORD bInitialized;
};

// Fills the record on the first call; later calls do nothing.
void InitVersionInfo();
// The record, filled first if nobody did yet.
const TsVersionRecord& TsGetVersionRecord();

// A shell folder by its CSIDL number: known folders where the system has them, the shell's
// item list, then the registry's Shell Folders values. No trailing backslash; empty when
// every way failed. The common application data folder (35) is cached in the registry.
CString GetSpecialFolder(int nCsidl);

// The last resort of GetSpecialFolder: the registry's record of the folder (Shell Folders,
// ProgramFilesDir) for the five kinds that have one, else empty. Taken as stored.
CString GetSpecialFolderFromRegistry(int nCsidl);

// The desktop edition's browser add-on: registered, present on disk and not disabled by
// the user.
bool IsDesktopEditionInstalled();
// sLibrary receives the add-on library's path; bCheckDisabled honours the user's choice.
bool FindDesktopEditionAddOn(CString& sLibrary, bool bCheckDisabled);

// Internet Explorer's version from the registry, else from shdocvw.dll.
bool GetBrowserVersion(DWORD& dwMajor, DWORD& dwMinor, DWORD& dwBuild);
// (major << 16) | (minor & 0xFFFF) from the library's DllGetVersion, 0 on any failure.
// pInfo (may be null) receives the whole record.
DWORD GetDllVersion(const char* pszLibrary, DLLVERSIONINFO* pInfo);

// "Mem %=.. tp=.. ap=.. tf=.. af=.. tls=.." in megabytes, rounded up.
CString GetMemoryStatusText();
// The memory line's pure part (quantities in bytes).
CString FormatMemoryStatus(DWORD dwLoad, DWORDLONG qwTotalPhys, DWORDLONG qwAvailPhys, DWORDLONG qwTotalPage,
                           DWORDLONG qwAvailPage, DWORD dwTlsIndex);

// The version of the product's Firefox adapter ("6-10-2"), else the registry's record of it.
CString GetMozillaAdapterVersion(bool bFull);

// The multi-line description of the host for error reports (short or long form).
CString GetSystemDescription(const char* pszText1, const char* pszText2, DWORD dwEditionFlags,
                             const char* pszText3, const char* pszAdapterText, bool bToBeInstalled, bool bLongForm);
