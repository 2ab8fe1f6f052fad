#include "sfx/RunSfx.h"

#include <commctrl.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "Strings/TsLog.h"
#include "framework/CString.h"
#include "framework/Unique.h"
#include "Strings/TsSafeFs.h"
#include "sfx/MappedFile.h"
#include "sfx/ReportSetupError.h"
#include "sfx/SetupProgressDialog.h"
#include "sfx/SfxBlockChain.h"
#include "sfx/UnpackRecord.h"
#include "sfx/UnpackSFX.h"

namespace {

const DWORD kPathBuffer = 260;

bool FolderExists(const char* pszPath)
{
    DWORD dw = ::GetFileAttributesA(pszPath);
    return dw != INVALID_FILE_ATTRIBUTES && (dw & FILE_ATTRIBUTE_DIRECTORY);
}

// Creates a folder and its missing parents; false with the system's error when it fails.
// created receives the folders this call made, outermost first.
bool CreateFolderTree(const CString& sPath, DWORD& dwError, std::vector<CString>& created)
{
    if (FolderExists(sPath))
        return true;
    int nSlash = sPath.ReverseFind('\\');
    if (nSlash > 2 && !CreateFolderTree(sPath.Left(nSlash), dwError, created))
        return false;
    if (::CreateDirectoryA(sPath, nullptr)) {
        created.push_back(sPath);
        return true;
    }
    if (::GetLastError() == ERROR_ALREADY_EXISTS)
        return true;
    dwError = ::GetLastError();
    return false;
}

// After a failed program block: what the unpack wrote goes, by its record, and so do the
// folders this run made, when nothing else is in them. Whatever was in the folder before
// (the user's own files, when the folder is one of theirs) stays.
void RemoveWhatTheRunWrote(const char* pszUnpack, const char* pszTemp, const std::vector<CString>& created)
{
    TsLogWrite("Cleanup folder ", pszUnpack, 0, TRUE);
    if (!RemoveRecordedFiles(pszUnpack))
        TsLogWrite("Cleanup files err ", pszUnpack, 0, TRUE);
    for (auto it = created.rbegin(); it != created.rend(); ++it) {
        if (!IsDisposableUnpackFolder(*it, pszTemp))
            continue;
        CSafeFolder folder;
        DWORD dwError = 0;
        if (!folder.OpenPath(*it, dwError) || !folder.RemoveSelf(dwError)) {
            TsLogWrite("Cleanup folder err ", *it, dwError, TRUE);
            break;
        }
    }
}

CString Normalized(const char* pszPath)
{
    CString s(pszPath);
    s.Replace('/', '\\');
    while (s.GetLength() > 0 && s[s.GetLength() - 1] == '\\')
        s.Delete(s.GetLength() - 1);
    return s;
}

// The progress window and the pumping around each change of it.
class CProgress {
public:
    explicit CProgress(bool bHidden)
    {
        INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_PROGRESS_CLASS};
        ::InitCommonControlsEx(&icc);
        if (m_dialog.Create(nullptr))
            ::ShowWindow(m_dialog.GetSafeHwnd(), bHidden ? SW_HIDE : SW_SHOW);
        PumpSetupMessages();
    }
    ~CProgress() { m_dialog.DestroyWindow(); }
    void Status(const char* pszText)
    {
        PumpSetupMessages();
        m_dialog.SetStatus(pszText);
        PumpSetupMessages();
    }
    void Progress(int nPos)
    {
        PumpSetupMessages();
        m_dialog.SetProgress(nPos);
        PumpSetupMessages();
    }
private:
    CSetupProgressDialog m_dialog;
};

}  // namespace

void PumpSetupMessages()
{
    MSG msg;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            // The caller's own loop must still see it.
            ::PostQuitMessage(static_cast<int>(msg.wParam));
            return;
        }
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
}

DWORD GetOsVersionWord()
{
    OSVERSIONINFOEXA vi = {};
    vi.dwOSVersionInfoSize = sizeof(vi);
    if (!::GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&vi)))
        return 0;
    return vi.dwMajorVersion * 256 + vi.dwMinorVersion;
}

bool IsUserAdmin(bool* pbAdmin)
{
    if (!pbAdmin)
        return false;
    *pbAdmin = false;
    OSVERSIONINFOA vi = {};
    vi.dwOSVersionInfoSize = sizeof(vi);
    if (::GetVersionExA(&vi) && vi.dwPlatformId != VER_PLATFORM_WIN32_NT) {
        *pbAdmin = true;
        return true;
    }
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    PSID pAdmins = nullptr;
    if (!::AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0,
                                    0, 0, &pAdmins))
        return false;
    bool bDone = false;
    using CheckTokenMembershipFn = BOOL(WINAPI*)(HANDLE, PSID, PBOOL);
    HMODULE hAdvapi = ::GetModuleHandleA("advapi32.dll");
    auto pfnCheck = hAdvapi ? reinterpret_cast<CheckTokenMembershipFn>(
                                  reinterpret_cast<void*>(::GetProcAddress(hAdvapi, "CheckTokenMembership")))
                            : nullptr;
    if (pfnCheck) {
        BOOL bMember = FALSE;
        if (pfnCheck(nullptr, pAdmins, &bMember)) {
            *pbAdmin = bMember != FALSE;
            bDone = true;
        }
    } else {
        HANDLE hToken = nullptr;
        if (::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &hToken)) {
            CUniqueHandle token(hToken);
            DWORD dwSize = 1024;
            std::string buffer(dwSize, '\0');
            DWORD dwNeeded = 0;
            BOOL bOk = ::GetTokenInformation(hToken, TokenGroups, &buffer[0], dwSize, &dwNeeded);
            if (!bOk && ::GetLastError() == ERROR_INSUFFICIENT_BUFFER && dwNeeded > dwSize) {
                buffer.assign(dwNeeded, '\0');
                bOk = ::GetTokenInformation(hToken, TokenGroups, &buffer[0], dwNeeded, &dwNeeded);
            }
            if (bOk) {
                const TOKEN_GROUPS* pGroups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
                for (DWORD i = 0; i < pGroups->GroupCount && !*pbAdmin; ++i)
                    *pbAdmin = ::EqualSid(pGroups->Groups[i].Sid, pAdmins) != FALSE;
                bDone = true;
            }
        }
    }
    ::FreeSid(pAdmins);
    return bDone;
}

bool IsDisposableUnpackFolder(const char* pszFolder, const char* pszTemp)
{
    if (!pszFolder || !*pszFolder)
        return false;
    CString sFolder = Normalized(pszFolder);
    CString sTemp = Normalized(pszTemp ? pszTemp : "");
    // "C:", "\\server\share" and anything shorter are roots.
    if (sFolder.GetLength() <= 2)
        return false;
    if (sFolder.Left(2) == "\\\\") {
        int nShare = sFolder.Find('\\', 2);
        if (nShare < 0 || sFolder.Find('\\', nShare + 1) < 0)
            return false;
    }
    if (sTemp.IsEmpty())
        return true;
    if (sFolder.CompareNoCase(sTemp) == 0)
        return false;
    // A folder that holds the temporary folder.
    if (sTemp.GetLength() > sFolder.GetLength() && sTemp[sFolder.GetLength()] == '\\' &&
        sTemp.Left(sFolder.GetLength()).CompareNoCase(sFolder) == 0)
        return false;
    return true;
}

LONG RunSfx(const char* pszCommandLine, const SfxRunParams* pParams, const char* pszPackagePath)
{
    static const SfxRunParams kDefaults = {0, 0, 0, 1, 0};
    const SfxRunParams& params = pParams ? *pParams : kDefaults;
    const char* pszCmd = pszCommandLine ? pszCommandLine : "";
    if (!params.dwUnpack)
        TsLogDeleteOld();
    TsLogStart(pszCmd);

    CProgress progress(params.dwHideDialog != 0);
    progress.Status("Preparing Installation...");

    HKEY hKey = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Internet Explorer", 0, KEY_READ, &hKey) ==
        ERROR_SUCCESS) {
        char szVersion[129] = "";
        DWORD dwType = 0;
        DWORD cb = sizeof(szVersion) - 1;
        LONG lResult = ::RegQueryValueExA(hKey, "Version", nullptr, &dwType, reinterpret_cast<BYTE*>(szVersion), &cb);
        ::RegCloseKey(hKey);
        if (lResult == ERROR_SUCCESS && (dwType == REG_SZ || dwType == REG_EXPAND_SZ)) {
            szVersion[cb < sizeof(szVersion) ? cb : sizeof(szVersion) - 1] = 0;
            TsLogWrite("IE", szVersion, 0, TRUE);
            if (szVersion[0] < '5') {
                ReportSetupError("Tessaly requires Internet Explorer 5.0 or higher. Please, update IE and run Setup again.",
                                 szVersion, 0);
                return -1;
            }
        }
    }

    bool bAdmin = false;
    IsUserAdmin(&bAdmin);
    TsLogWrite("Admin rights - ", bAdmin ? "YES" : "NO", GetOsVersionWord(), TRUE);

    TsLogWrite("RunSfx() - START", "", 0, TRUE);
    progress.Status("Testing Integrity...");
    progress.Progress(100);

    const char* pszPackage = pszPackagePath ? pszPackagePath : "";
    CMappedFile package;
    if (!package.Open(pszPackage, GENERIC_READ, OPEN_EXISTING)) {
        ReportSetupError("Can't extract from SFX ", pszPackage, ::GetLastError());
        return -1;
    }
    TsFaultInfo fault;
    if (!TestSFX(package.GetView(), package.GetSize(), &fault)) {
        if (fault.dwError)
            ReportSetupError("Can't read from package ", pszPackage, TsFaultErrorCode(fault));
        else
            ReportSetupError("Corrupted Setup File ", pszPackage, 0);
        return -1;
    }
    progress.Progress(200);

    char szTemp[kPathBuffer] = "";
    char szValue[1024];
    bool bTemp = false;
    if (GetCmdLineValue(pszCmd, "/temp", szValue, sizeof(szValue)) && std::strlen(szValue) < kPathBuffer) {
        StripTrailingBackslash(szValue);
        if (FolderExists(szValue) && IsFolderWritable(szValue)) {
            lstrcpynA(szTemp, szValue, sizeof(szTemp));
            bTemp = true;
        }
    }
    if (!bTemp && !GetWritableTempFolder(szTemp, sizeof(szTemp))) {
        ReportSetupError("Cannot get/create writeable temporary file folder", nullptr, 0);
        return -1;
    }
    TsLogWrite("GetTempPath: ", szTemp, 0, TRUE);

    char szUnpack[kPathBuffer] = "";
    bool bUnpack = GetCmdLineValue(pszCmd, "/unpack", szValue, sizeof(szValue));
    if (bUnpack && std::strlen(szValue) >= kPathBuffer) {
        // Cut short, the path would name some other folder to fill and, on failure, to empty.
        ReportSetupError("Unpack path too long ", szValue, 0);
        return -1;
    }
    if (bUnpack && szValue[0]) {
        CString sUnpack = Normalized(szValue);
        lstrcpynA(szUnpack, sUnpack, sizeof(szUnpack));
    } else {
        // An empty value would send every file to the root of the current drive.
        TsLogWrite("Bad Unpack path! Will use TEMP folder", "", 0, TRUE);
        lstrcpynA(szUnpack, szTemp, sizeof(szUnpack));
    }
    TsLogWrite("Unpack path", szUnpack, 0, TRUE);
    DWORD dwError = 0;
    std::vector<CString> created;
    if (!CreateFolderTree(szUnpack, dwError, created)) {
        ReportSetupError("Can not create folder", szUnpack, dwError);
        return -1;
    }

    progress.Status("Extracting Program Files...");
    progress.Progress(400);
    SfxStatus s = UnpackSFX(package, "tessaly", szUnpack);
    if (SfxFailed(s)) {
        ReportSetupError("Can't unpack tessaly.bin to ", szUnpack, static_cast<DWORD>(s));
        RemoveWhatTheRunWrote(szUnpack, szTemp, created);
        return s;
    }

    progress.Status("Extracting Language Files...");
    progress.Progress(700);
    TsLogWrite(SfxFailed(UnpackSFX(package, "langs", szUnpack)) ? "ENGLISH Ver" : "MULTILANGUAGE Ver", "", 0, TRUE);

    DWORD dwConfig = 0;
    bool bCustom = FindSfxBlock(package.GetView(), package.GetSize(), "config", &dwConfig) && dwConfig > 0 &&
                   !SfxFailed(UnpackSFX(package, "config", szUnpack));
    TsLogWrite(bCustom ? "Custom Config Ver" : "Ordinary Configuration", "", 0, TRUE);

    progress.Progress(800);
    progress.Status("Extracting...");
    char szAffid[kPathBuffer + 16];
    std::snprintf(szAffid, sizeof(szAffid), "%s\\affid.txt", szUnpack);
    if (!SfxFailed(SaveSFX(package, "affid", szAffid, true))) {
        DWORD dwRecordError = 0;
        CUnpackRecord record(szUnpack);
        if (!record.Add("affid.txt", false, dwRecordError))
            ReportSetupError("Error writing to file ", record.Path().c_str(), dwRecordError);
    }
    progress.Progress(900);

    bool bPortable = false;
    if (params.dwForceFixed) {
        TsLogWrite("FORCE FIXED Ver", "", 0, TRUE);
    } else {
        DWORD dwPortable = 0;
        bPortable = FindSfxBlock(package.GetView(), package.GetSize(), "portable", &dwPortable) != nullptr;
        TsLogWrite(bPortable ? "PORTABLE Ver" : "FIXED Ver", "", 0, TRUE);
    }
    if (bPortable)
        UnpackSFX(package, "portable", szUnpack);
    return 0;
}
