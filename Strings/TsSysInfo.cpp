#include "Strings/TsSysInfo.h"

#include <knownfolders.h>
#include <shlobj.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "LocalizationStrings/LocalizedStringsMap.h"
#include "Strings/SafeRegKey.h"
#include "Strings/TsAnsiPath.h"
#include "Strings/TsFile.h"
#include "Strings/TsLog.h"
#include "Strings/TsSharedData.h"
#include "Strings/TsTls.h"
#include "framework/Sync.h"
#include "framework/Unique.h"

namespace {

const char kTessalyKey[] = "Software\\Norvane Works\\Tessaly";
const char kMakerKey[] = "Software\\Norvane Works";
const char kShellFoldersKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
const char kCommonAppDataCache[] = "Common AppData Path";

const char kHelperObjectClsid[] = "{3f9a61c4-2b07-11d4-a85e-0050d2c71f3b}";
const char kToolbarClsid[] = "{3f9a61c0-2b07-11d4-a85e-0050d2c71f3b}";

struct KnownFolderRow {
    int nCsidl;
    const GUID* pId;
};
const KnownFolderRow kKnownFolders[] = {
    {CSIDL_DESKTOP, &FOLDERID_Desktop},
    {CSIDL_PROGRAMS, &FOLDERID_Programs},
    {CSIDL_PERSONAL, &FOLDERID_Documents},
    {CSIDL_FAVORITES, &FOLDERID_Favorites},
    {CSIDL_STARTMENU, &FOLDERID_StartMenu},
    {CSIDL_DESKTOPDIRECTORY, &FOLDERID_Desktop},
    {CSIDL_DRIVES, &FOLDERID_ComputerFolder},
    {CSIDL_NETHOOD, &FOLDERID_NetHood},
    {CSIDL_COMMON_PROGRAMS, &FOLDERID_CommonPrograms},
    {CSIDL_APPDATA, &FOLDERID_RoamingAppData},
    {CSIDL_LOCAL_APPDATA, &FOLDERID_LocalAppData},
    {CSIDL_INTERNET_CACHE, &FOLDERID_InternetCache},
    {CSIDL_COMMON_APPDATA, &FOLDERID_ProgramData},
    {CSIDL_WINDOWS, &FOLDERID_Windows},
    {CSIDL_SYSTEM, &FOLDERID_System},
    {CSIDL_PROGRAM_FILES, &FOLDERID_ProgramFiles},
    {CSIDL_PROFILE, &FOLDERID_Profile},
    {CSIDL_COMMON_DOCUMENTS, &FOLDERID_PublicDocuments},
};

struct RegistryFolderRow {
    int nCsidl;
    HKEY hRoot;
    const char* pszKey;
    const char* pszValue;
};
const RegistryFolderRow kRegistryFolders[] = {
    {CSIDL_APPDATA, HKEY_CURRENT_USER, kShellFoldersKey, "AppData"},
    {CSIDL_COMMON_APPDATA, HKEY_LOCAL_MACHINE, kShellFoldersKey, "Common AppData"},
    {CSIDL_COMMON_PROGRAMS, HKEY_LOCAL_MACHINE, kShellFoldersKey, "Common Programs"},
    {CSIDL_PROGRAMS, HKEY_CURRENT_USER, kShellFoldersKey, "Programs"},
    {CSIDL_PROGRAM_FILES, HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion", "ProgramFilesDir"},
};

TsVersionRecord g_version = {};
CCriticalSection& VersionLock()
{
    static CCriticalSection cs;
    return cs;
}

CString RegString(HKEY hRoot, const char* pszKey, const char* pszName)
{
    CString s;
    TsRegGetString(s, hRoot, pszKey, pszName);
    return s;
}

bool RegKeyExists(HKEY hRoot, const char* pszKey)
{
    CSafeRegKey key;
    CString sError;
    return key.Open(hRoot, pszKey, sError, KEY_READ);
}

void StripTrailingBackslashes(CString& s)
{
    while (!s.IsEmpty() && s[s.GetLength() - 1] == '\\')
        s.Delete(s.GetLength() - 1);
}

CString KnownFolderPath(int nCsidl)
{
    const GUID* pId = nullptr;
    for (const KnownFolderRow& row : kKnownFolders) {
        if (row.nCsidl == nCsidl)
            pId = row.pId;
    }
    if (!pId)
        return CString();
    CUniqueModule shell(TsLoadLibrary("shell32.dll"));
    if (!shell)
        return CString();
    using GetKnownFolderPathFn = HRESULT(WINAPI*)(REFKNOWNFOLDERID, DWORD, HANDLE, PWSTR*);
    auto pfn = reinterpret_cast<GetKnownFolderPathFn>(
        reinterpret_cast<void*>(::GetProcAddress(shell.Get(), "SHGetKnownFolderPath")));
    if (!pfn)
        return CString();
    PWSTR pwszPath = nullptr;
    CString sPath;
    if (SUCCEEDED(pfn(*pId, 0, nullptr, &pwszPath)) && pwszPath && !TsExactAnsiPath(pwszPath, sPath)) {
        TsLogNote("Special folder has no ANSI name: ", TsUtf8Of(pwszPath));
        sPath.Empty();
    }
    ::CoTaskMemFree(pwszPath);
    StripTrailingBackslashes(sPath);
    return sPath;
}

CString ShellItemListPath(int nCsidl)
{
    LPITEMIDLIST pidl = nullptr;
    if (FAILED(::SHGetSpecialFolderLocation(nullptr, nCsidl, &pidl)) || !pidl)
        return CString();
    wchar_t wszPath[MAX_PATH] = L"";
    CString sPath;
    if (::SHGetPathFromIDListW(pidl, wszPath)) {
        if (!TsExactAnsiPath(wszPath, sPath)) {
            TsLogNote("Special folder has no ANSI name: ", TsUtf8Of(wszPath));
            sPath.Empty();
        }
    } else if (::GetLastError() == ERROR_CALL_NOT_IMPLEMENTED) {
        char szPath[MAX_PATH] = "";
        if (::SHGetPathFromIDListA(pidl, szPath))
            sPath = szPath;
    }
    IMalloc* pMalloc = nullptr;
    if (SUCCEEDED(::SHGetMalloc(&pMalloc)) && pMalloc) {
        pMalloc->Free(pidl);
        pMalloc->Release();
    }
    return sPath;
}

const CString& OwnProgramName()
{
    static const CString s_sName = [] {
        char szName[MAX_PATH] = "";
        DWORD n = ::GetModuleFileNameA(nullptr, szName, MAX_PATH);
        return n > 0 && n < MAX_PATH ? CString(szName) : CString();
    }();
    return s_sName;
}

int RegDwordOrMinusOne(const char* pszName)
{
    DWORD dw = static_cast<DWORD>(-1);
    TsRegGetDword(dw, HKEY_CURRENT_USER, kTessalyKey, pszName);
    return static_cast<int>(dw);
}

CString HandheldText(const char* pszKey, const char* pszLabel)
{
    CString sVersion = RegString(HKEY_CURRENT_USER, pszKey, "Version");
    if (sVersion.IsEmpty())
        return CString("No ") + pszLabel;
    // The edition flags of this system are always 0: the free edition.
    return CString(pszLabel) + " " + sVersion + ": Free";
}

// A folder path stored in the registry, read in wide characters and given in its exact
// ANSI form; the ANSI read where the system has no wide one.
CString RegFolder(HKEY hRoot, const char* pszKey, const char* pszName)
{
    std::wstring wsKey(pszKey, pszKey + std::strlen(pszKey));
    std::wstring wsName(pszName, pszName + std::strlen(pszName));
    HKEY hKey = nullptr;
    LONG rc = ::RegOpenKeyExW(hRoot, wsKey.c_str(), 0, KEY_READ, &hKey);
    if (rc == ERROR_CALL_NOT_IMPLEMENTED)
        return RegString(hRoot, pszKey, pszName);
    if (rc != ERROR_SUCCESS)
        return CString();
    wchar_t wsz[MAX_PATH + 1] = L"";
    DWORD cb = sizeof(wsz) - sizeof(wchar_t);
    DWORD dwType = 0;
    rc = ::RegQueryValueExW(hKey, wsName.c_str(), nullptr, &dwType, reinterpret_cast<BYTE*>(wsz), &cb);
    ::RegCloseKey(hKey);
    if (rc != ERROR_SUCCESS || (dwType != REG_SZ && dwType != REG_EXPAND_SZ))
        return CString();
    wsz[cb / sizeof(wchar_t)] = L'\0';
    CString sPath;
    if (!TsExactAnsiPath(wsz, sPath))
        TsLogNote("Special folder has no ANSI name: ", TsUtf8Of(wsz));
    return sPath;
}

}  // namespace

CString GetSpecialFolderFromRegistry(int nCsidl)
{
    for (const RegistryFolderRow& row : kRegistryFolders) {
        if (row.nCsidl == nCsidl)
            return RegFolder(row.hRoot, row.pszKey, row.pszValue);
    }
    return CString();
}

// --- version record -----------------------------------------------------------------

void InitVersionInfo()
{
    CSingleLock lock(&VersionLock(), true);
    if (g_version.bInitialized)
        return;
    TsVersionRecord rec = {};
    DWORD dwMajor = 0, dwMinor = 0, dwBuild = 0;
    if (GetBrowserVersion(dwMajor, dwMinor, dwBuild)) {
        rec.dwIEMajor = dwMajor;
        rec.dwIEMinor = dwMinor;
        rec.dwIEBuild = dwBuild;
    }

    OSVERSIONINFOEXA osx = {};
    osx.dwOSVersionInfoSize = sizeof(osx);
    bool bEx = ::GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&osx)) != FALSE;
    if (!bEx) {
        ZeroMemory(&osx, sizeof(osx));
        osx.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
        ::GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&osx));
    }
    rec.dwOSVersionInfoSize = osx.dwOSVersionInfoSize;
    rec.dwMajorVersion = osx.dwMajorVersion;
    rec.dwMinorVersion = osx.dwMinorVersion;
    rec.dwBuildNumber = osx.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS ? (osx.dwBuildNumber & 0xFFFF) : osx.dwBuildNumber;
    rec.dwPlatformId = osx.dwPlatformId;
    lstrcpynA(rec.szCSDVersion, osx.szCSDVersion, sizeof(rec.szCSDVersion));
    rec.bServer = (osx.dwMajorVersion == 5 && osx.dwMinorVersion == 2) ||
                  (osx.dwMajorVersion >= 6 && bEx && osx.wProductType != VER_NT_WORKSTATION);
    rec.dwComCtlVersion = GetDllVersion("comctl32.dll", nullptr);
    rec.bInitialized = 1;
    g_version = rec;
}

const TsVersionRecord& TsGetVersionRecord()
{
    if (!g_version.bInitialized)
        InitVersionInfo();
    return g_version;
}

bool GetBrowserVersion(DWORD& dwMajor, DWORD& dwMinor, DWORD& dwBuild)
{
    CString sVersion = RegString(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Internet Explorer", "Version");
    int a = 0, b = 0, c = 0, d = 0;
    if (std::sscanf(sVersion, "%d.%d.%d.%d", &a, &b, &c, &d) == 4 && a != 0) {
        dwMajor = static_cast<DWORD>(a);
        dwMinor = static_cast<DWORD>(b);
        dwBuild = static_cast<DWORD>(c);
        return true;
    }
    DLLVERSIONINFO info = {};
    if (GetDllVersion("shdocvw.dll", &info) == 0)
        return false;
    dwMajor = info.dwMajorVersion;
    dwMinor = info.dwMinorVersion;
    dwBuild = info.dwBuildNumber;
    return true;
}

DWORD GetDllVersion(const char* pszLibrary, DLLVERSIONINFO* pInfo)
{
    CUniqueModule library(TsLoadLibrary(pszLibrary));
    if (!library)
        return 0;
    auto pfn = reinterpret_cast<DLLGETVERSIONPROC>(reinterpret_cast<void*>(::GetProcAddress(library.Get(), "DllGetVersion")));
    if (!pfn)
        return 0;
    DLLVERSIONINFO info = {};
    info.cbSize = sizeof(info);
    if (FAILED(pfn(&info)))
        return 0;
    if (pInfo)
        *pInfo = info;
    return (info.dwMajorVersion << 16) | (info.dwMinorVersion & 0xFFFF);
}

// --- special folders -------------------------------------------------------------------

CString GetSpecialFolder(int nCsidl)
{
    if (nCsidl == CSIDL_COMMON_APPDATA) {
        CString sCached = RegString(HKEY_LOCAL_MACHINE, kTessalyKey, kCommonAppDataCache);
        if (sCached.IsEmpty())
            sCached = RegString(HKEY_CURRENT_USER, kTessalyKey, kCommonAppDataCache);
        if (!sCached.IsEmpty())
            return sCached;
    }
    CString sPath;
    if (TsGetVersionRecord().dwMajorVersion >= 6)
        sPath = KnownFolderPath(nCsidl);
    if (sPath.IsEmpty())
        sPath = ShellItemListPath(nCsidl);
    if (sPath.IsEmpty())
        sPath = GetSpecialFolderFromRegistry(nCsidl);
    StripTrailingBackslashes(sPath);
    if (nCsidl == CSIDL_COMMON_APPDATA && !sPath.IsEmpty()) {
        // Without administrator rights the machine-wide copy cannot be written; the user's will do.
        TsRegSetString(sPath, HKEY_LOCAL_MACHINE, kTessalyKey, kCommonAppDataCache);
        TsRegSetString(sPath, HKEY_CURRENT_USER, kTessalyKey, kCommonAppDataCache);
    }
    return sPath;
}

// --- the desktop edition ----------------------------------------------------------------

bool FindDesktopEditionAddOn(CString& sLibrary, bool bCheckDisabled)
{
    const CString sSettings = "Software\\Microsoft\\Windows\\CurrentVersion\\Ext\\Settings\\";
    bool bHelper = RegKeyExists(
        HKEY_LOCAL_MACHINE,
        CString("Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects\\") + kHelperObjectClsid);
    bool bHelperOff = bCheckDisabled && RegKeyExists(HKEY_CURRENT_USER, sSettings + kHelperObjectClsid + "\\Version");

    bool bToolbar = false;
    {
        CSafeRegKey key;
        CString sError, sRaw;
        bToolbar = key.Open(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Internet Explorer\\Toolbar", sError, KEY_READ) &&
                   key.GetRaw(sRaw, kToolbarClsid, sError);
    }
    bool bToolbarOff = bCheckDisabled && RegKeyExists(HKEY_CURRENT_USER, sSettings + kToolbarClsid + "\\Version");

    sLibrary = RegString(HKEY_CLASSES_ROOT, CString("CLSID\\") + kHelperObjectClsid + "\\InprocServer32", "");
    if (sLibrary.IsEmpty())
        sLibrary = RegString(HKEY_CLASSES_ROOT, CString("CLSID\\") + kToolbarClsid + "\\InprocServer32", "");

    if (sLibrary.IsEmpty())
        return false;
    DWORD dwAttr = ::GetFileAttributesA(sLibrary);
    if (dwAttr == INVALID_FILE_ATTRIBUTES || (dwAttr & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    return (bHelper && !bHelperOff) || (bToolbar && !bToolbarOff);
}

bool IsDesktopEditionInstalled()
{
    CString sLibrary;
    return FindDesktopEditionAddOn(sLibrary, true);
}

// --- memory and adapter ------------------------------------------------------------------

CString FormatMemoryStatus(DWORD dwLoad, DWORDLONG qwTotalPhys, DWORDLONG qwAvailPhys, DWORDLONG qwTotalPage,
                           DWORDLONG qwAvailPage, DWORD dwTlsIndex)
{
    // Megabytes rounded up. Zero keeps its traditional 4096 (the 32-bit wrap of 0 - 1);
    // quantities beyond 4 GB are not cut to 32 bits.
    auto mb = [](DWORDLONG n) -> long { return n == 0 ? 4096L : static_cast<long>(((n - 1) >> 20) + 1); };
    CString s;
    s.Format("Mem %%=%d tp=%ld ap=%ld tf=%ld af=%ld tls=%d", static_cast<int>(dwLoad), mb(qwTotalPhys),
             mb(qwAvailPhys), mb(qwTotalPage), mb(qwAvailPage), static_cast<int>(dwTlsIndex));
    return s;
}

CString GetMemoryStatusText()
{
    MEMORYSTATUSEX ms = {};
    ms.dwLength = sizeof(ms);
    if (!::GlobalMemoryStatusEx(&ms))
        ZeroMemory(&ms, sizeof(ms));
    return FormatMemoryStatus(ms.dwMemoryLoad, ms.ullTotalPhys, ms.ullAvailPhys, ms.ullTotalPageFile,
                              ms.ullAvailPageFile, TsGetTlsIndex());
}

CString GetMozillaAdapterVersion(bool bFull)
{
    DWORD dwMs = 0, dwLs = 0;
    if (GetFileVersion("Firefox\\components\\tsproxy_31.dll", dwMs, dwLs) && dwMs != 0) {
        CString s;
        s.Format("%d-%d-%d", static_cast<int>(dwMs >> 16), static_cast<int>(dwMs & 0xFFFF), static_cast<int>(dwLs >> 16));
        return s;
    }
    CString sPack = RegString(HKEY_CURRENT_USER, kMakerKey, "MozAdpPack");
    if (!bFull)
        return sPack;
    CString sVersion = RegString(HKEY_CURRENT_USER, kMakerKey, "MozAdpVersion");
    CString sDate = RegString(HKEY_CURRENT_USER, kMakerKey, "MozAdpRelDate");
    if (sPack.IsEmpty() && sVersion.IsEmpty() && sDate.IsEmpty())
        return CString();
    return sPack + "/" + sDate + "/" + sVersion;
}

// --- system description ---------------------------------------------------------------

CString GetSystemDescription(const char* pszText1, const char* pszText2, DWORD /*dwEditionFlags*/,
                             const char* pszText3, const char* pszAdapterText, bool bToBeInstalled, bool bLongForm)
{
    const TsVersionRecord* pVer = &g_version;
    if (pVer->dwMajorVersion == 0 || pVer->dwIEMajor == 0)
        InitVersionInfo();
    const TsVersionRecord& ver = g_version;

    CString sAdapter = pszAdapterText && *pszAdapterText ? CString(pszAdapterText) : GetMozillaAdapterVersion(true);
    sAdapter = sAdapter.IsEmpty() ? CString("No Mozilla Adapter") : "Mozilla Adapter " + sAdapter;
    if (bToBeInstalled)
        sAdapter += " (tbi)";
    CString sPalm = HandheldText("Software\\Norvane Works\\Tessaly for Palm", "Palm TS");
    CString sPocket = HandheldText("Software\\Norvane Works\\Tessaly for Pocket PC", "Pocket TS");

    CString sPortDir = RegString(HKEY_CURRENT_USER, kTessalyKey, "RootUserDataDirPort");
    CString sDataDir = RegString(HKEY_CURRENT_USER, kTessalyKey, "RootUserDataDir");
    CString sBnp = RegString(HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\BrowseNewProcess",
                             "BrowseNewProcess");
    int nToolband = RegDwordOrMinusOne("ToolbandVisible");
    int nWholeLine = RegDwordOrMinusOne("WholeLineToolbar");

    const CString& sProgram = OwnProgramName();
    DWORD dwMs = 0, dwLs = 0;
    if (!GetFileVersion(sProgram, dwMs, dwLs))
        dwMs = dwLs = 0;

    // Read without the interprocess lock: a report may be made while that lock is in
    // trouble, and one byte reads whole.
    bool bDouble = TsIsSharedDataConnected() && g_pTsSharedData && g_pTsSharedData->bDoubleFlag != 0;

    CString sText1(pszText1);
    const char* pszText1End = sText1.IsEmpty() ? "" : "\n";
    CString sLanguage = GetCurrentLanguageName();
    CString sAbbrev = GetSystemLanguageAbbrev();
    const char* pszBuildStamp = " Dec 26 2010 17:28:08";
    long nSeconds = static_cast<long>(::GetTickCount() / 1000);
    const char* pszServer = ver.bServer ? "(svr)" : "";

    CString s;
    if (bLongForm) {
        s.Format("Tessaly (R) Version %d.%d.%d (%s, %s)%s\n%s%sIE: %d.%d.%d bnp=%s lm=%d tb=%d wl=%d tc=%d bc=%d %s\n"
                 "OS: %d.%d build %d (%s) p=%d %s t=%ld\n%s\n%s\n%s, %s\n%s\n%s\n%s:%d.%d.%d.%d\n%s",
                 6, 10, 2, sLanguage.c_str(), sAbbrev.c_str(), pszBuildStamp, sText1.c_str(), pszText1End,
                 static_cast<int>(ver.dwIEMajor), static_cast<int>(ver.dwIEMinor), static_cast<int>(ver.dwIEBuild),
                 sBnp.c_str(), 0, nToolband, nWholeLine, 0, 0, pszText3 ? pszText3 : "",
                 static_cast<int>(ver.dwMajorVersion), static_cast<int>(ver.dwMinorVersion),
                 static_cast<int>(ver.dwBuildNumber), ver.szCSDVersion, static_cast<int>(ver.dwPlatformId), pszServer,
                 nSeconds, pszText2 ? pszText2 : "", sAdapter.c_str(), sPalm.c_str(), sPocket.c_str(), sDataDir.c_str(),
                 sPortDir.c_str(), sProgram.c_str(), static_cast<int>(dwMs >> 16), static_cast<int>(dwMs & 0xFFFF),
                 static_cast<int>(dwLs >> 16), static_cast<int>(dwLs & 0xFFFF), bDouble ? "DOUBLE " : "");
    } else {
        s.Format("V %d.%d.%d (%s, %s)%s %s%s\nIE %d.%d.%d bnp=%s lm=%d tb=%d wl=%d tc=%ld bc=%ld %s\n"
                 "OS %d.%d build %d (%s) p=%d %s t=%ld %s %s %s %s\n%s\n%s\n%s:%d.%d.%d.%d\n%s",
                 6, 10, 2, sLanguage.c_str(), sAbbrev.c_str(), pszBuildStamp, sText1.c_str(), pszText1End,
                 static_cast<int>(ver.dwIEMajor), static_cast<int>(ver.dwIEMinor), static_cast<int>(ver.dwIEBuild),
                 sBnp.c_str(), 0, nToolband, nWholeLine, 0L, 0L, pszText3 ? pszText3 : "",
                 static_cast<int>(ver.dwMajorVersion), static_cast<int>(ver.dwMinorVersion),
                 static_cast<int>(ver.dwBuildNumber), ver.szCSDVersion, static_cast<int>(ver.dwPlatformId), pszServer,
                 nSeconds, pszText2 ? pszText2 : "", sAdapter.c_str(), sPalm.c_str(), sPocket.c_str(), sDataDir.c_str(),
                 sPortDir.c_str(), sProgram.c_str(), static_cast<int>(dwMs >> 16), static_cast<int>(dwMs & 0xFFFF),
                 static_cast<int>(dwLs >> 16), static_cast<int>(dwLs & 0xFFFF), bDouble ? "DOUBLE " : "");
    }
    return s;
}
