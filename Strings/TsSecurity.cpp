#include "Strings/TsSecurity.h"

#include "Strings/SafeRegKey.h"
#include "Strings/TsLog.h"
#include "Strings/TsSafeFs.h"
#include "framework/Unique.h"
#include "framework/WinApp.h"

namespace {

const wchar_t kLowLabel[] = L"S:(ML;;NW;;;LW)";
const wchar_t kMediumLabel[] = L"S:(ML;;NW;;;ME)";

template <class T> T Lookup(HMODULE hModule, const char* pszName)
{
    return reinterpret_cast<T>(reinterpret_cast<void*>(::GetProcAddress(hModule, pszName)));
}

HRESULT LastErrorResult()
{
    DWORD dwError = ::GetLastError();
    return dwError ? HRESULT_FROM_WIN32(dwError) : E_FAIL;
}

struct LocalFreeTraits {
    using Type = HLOCAL;
    static HLOCAL Empty() { return nullptr; }
    static void Close(HLOCAL h) { ::LocalFree(h); }
};
using CUniqueLocal = CUnique<LocalFreeTraits>;

struct FreeSidTraits {
    using Type = PSID;
    static PSID Empty() { return nullptr; }
    static void Close(PSID p) { ::FreeSid(p); }
};

// The procedure shared by object and file labelling: the label as the object's system
// access list, and for a file with a user, an inherited full-access grant.
HRESULT ApplyLabel(const CTsAdvApi& api, int nObjectType, HANDLE hObject, const char* pszName, const wchar_t* pszLabel,
                   PSID pSid)
{
    if (!api.pfnConvertStringSecurityDescriptorToSecurityDescriptorW || !api.pfnGetSecurityDescriptorSacl ||
        !api.pfnSetSecurityInfo || !api.pfnSetNamedSecurityInfoA)
        return S_OK;   // an older system: nothing to label

    PSECURITY_DESCRIPTOR pSD = nullptr;
    if (!api.pfnConvertStringSecurityDescriptorToSecurityDescriptorW(pszLabel, SDDL_REVISION_1, &pSD, nullptr))
        return LastErrorResult();
    CUniqueLocal sdOwner(pSD);
    PACL pSacl = nullptr;
    BOOL bPresent = FALSE, bDefaulted = FALSE;
    if (!api.pfnGetSecurityDescriptorSacl(pSD, &bPresent, &pSacl, &bDefaulted))
        return LastErrorResult();

    PACL pDacl = nullptr;
    CUniqueLocal daclOwner;
    if (nObjectType == SE_FILE_OBJECT && pSid) {
        if (!api.pfnSetEntriesInAclW)
            return S_OK;
        EXPLICIT_ACCESS_W ea = {};
        ea.grfAccessPermissions = GENERIC_ALL;
        ea.grfAccessMode = GRANT_ACCESS;
        ea.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
        ea.Trustee.TrusteeForm = TRUSTEE_IS_SID;
        ea.Trustee.TrusteeType = TRUSTEE_IS_USER;
        ea.Trustee.ptstrName = static_cast<LPWSTR>(pSid);
        DWORD dwRc = api.pfnSetEntriesInAclW(1, &ea, nullptr, &pDacl);
        if (dwRc != ERROR_SUCCESS)
            return HRESULT_FROM_WIN32(dwRc);
        daclOwner.Reset(pDacl);
    }

    SECURITY_INFORMATION si = LABEL_SECURITY_INFORMATION | (pDacl ? DACL_SECURITY_INFORMATION : 0);
    DWORD dwRc;
    const SE_OBJECT_TYPE type = static_cast<SE_OBJECT_TYPE>(nObjectType);
    if (hObject) {
        dwRc = api.pfnSetSecurityInfo(hObject, type, si, nullptr, nullptr, pDacl, pSacl);
    } else if (pszName && pszName != reinterpret_cast<const char*>(-1)) {
        dwRc = api.pfnSetNamedSecurityInfoA(const_cast<char*>(pszName), type, si, nullptr, nullptr, pDacl, pSacl);
    } else {
        return E_HANDLE;
    }
    return dwRc == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(dwRc);
}

}  // namespace

// --- everyone access --------------------------------------------------------------

CTsEveryoneAccess::CTsEveryoneAccess()
{
    HMODULE hAdvapi = ::GetModuleHandleA("ADVAPI32.dll");
    if (!hAdvapi)
        return;
    auto pfnInit = Lookup<decltype(&::InitializeSecurityDescriptor)>(hAdvapi, "InitializeSecurityDescriptor");
    auto pfnSetDacl = Lookup<decltype(&::SetSecurityDescriptorDacl)>(hAdvapi, "SetSecurityDescriptorDacl");
    if (!pfnInit || !pfnSetDacl)
        return;
    if (!pfnInit(&m_sd, SECURITY_DESCRIPTOR_REVISION) || !pfnSetDacl(&m_sd, TRUE, nullptr, FALSE))
        return;
    m_sa.nLength = sizeof(m_sa);
    m_sa.lpSecurityDescriptor = &m_sd;
    m_sa.bInheritHandle = TRUE;
    m_bValid = true;
}

// --- the function table ------------------------------------------------------------

CTsAdvApi::CTsAdvApi(bool bLoad)
{
    if (bLoad) {
        m_hModule = TsLoadSystemLibrary(m_pszLibrary);
        m_bLoaded = m_hModule != nullptr;
    } else {
        m_hModule = ::GetModuleHandleA(m_pszLibrary);
    }
    if (!m_hModule)
        return;
    bool bAll = true;
#define TS_ADVAPI_LOOKUP(name)                                             \
    pfn##name = Lookup<decltype(&::name)>(m_hModule, #name);               \
    bAll = bAll && pfn##name != nullptr;
    TS_ADVAPI_FUNCTIONS(TS_ADVAPI_LOOKUP)
#undef TS_ADVAPI_LOOKUP
    m_bAllFound = bAll;
}

CTsAdvApi::~CTsAdvApi()
{
    if (m_bLoaded && m_hModule)
        ::FreeLibrary(m_hModule);
}

namespace {

// Holds the process-wide table; it loads the library only when first asked for.
class CAdvApiHolder {
public:
    CTsAdvApi& Get()
    {
        if (!m_pApi)
            m_pApi = new CTsAdvApi(true);
        return *m_pApi;
    }
    ~CAdvApiHolder() { delete m_pApi; }
private:
    CTsAdvApi* m_pApi = nullptr;
};

CAdvApiHolder& AdvApiHolder()
{
    static CAdvApiHolder holder;
    return holder;
}

}  // namespace

CTsAdvApi& TsGetAdvApi()
{
    return AdvApiHolder().Get();
}

// --- versions and labels ------------------------------------------------------------

bool IsVistaOrLater()
{
    static const bool s_bVista = LOBYTE(LOWORD(::GetVersion())) >= 6;
    return s_bVista;
}

HRESULT TsSetObjectIntegrity(int nObjectType, HANDLE hObject, const char* pszName)
{
    if (!IsVistaOrLater())
        return S_OK;
    // Kernel objects are labelled while the process starts: use the already loaded module
    // rather than loading anything, and let go of the table at once.
    CTsAdvApi api(false);
    return ApplyLabel(api, nObjectType, hObject, pszName, kLowLabel, nullptr);
}

HRESULT TsSetFileSecurity(PSID pSid, const char* pszPath, bool bLow)
{
    if (!IsVistaOrLater())
        return S_OK;
    return ApplyLabel(TsGetAdvApi(), SE_FILE_OBJECT, nullptr, pszPath, bLow ? kLowLabel : kMediumLabel, pSid);
}

// --- users -------------------------------------------------------------------------

bool TsGetUserSid(PSID& pSid, const char* pszStringSid)
{
    pSid = nullptr;
    if (!IsVistaOrLater())
        return false;
    CTsAdvApi& api = TsGetAdvApi();
    if (!api.IsComplete())
        return false;
    if (pszStringSid)
        return api.pfnConvertStringSidToSidA(pszStringSid, &pSid) && pSid;

    bool bAdmin = false;
    if (!TsIsUserAdmin(bAdmin, false) || !bAdmin)
        return false;
    HANDLE hToken = nullptr;
    if (!api.pfnOpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &hToken))
        return false;
    CUniqueHandle token(hToken);
    DWORD dwLen = 0;
    api.pfnGetTokenInformation(hToken, TokenUser, nullptr, 0, &dwLen);
    if (dwLen == 0)
        return false;
    CUniqueLocal info(::LocalAlloc(LPTR, dwLen));
    if (!info || !api.pfnGetTokenInformation(hToken, TokenUser, info.Get(), dwLen, &dwLen))
        return false;
    PSID pUser = static_cast<TOKEN_USER*>(static_cast<void*>(info.Get()))->User.Sid;
    if (!api.pfnIsValidSid(pUser))
        return false;
    DWORD dwSidLen = api.pfnGetLengthSid(pUser);
    CUniqueLocal copy(::LocalAlloc(LPTR, dwSidLen));
    if (!copy || !api.pfnCopySid(dwSidLen, copy.Get(), pUser))
        return false;
    pSid = copy.Release();
    return true;
}

bool TsIsUserAdmin(bool& bIsAdmin, bool bCountLinkedToken)
{
    bIsAdmin = false;
    CTsAdvApi& api = TsGetAdvApi();
    if (!api.pfnAllocateAndInitializeSid || !api.pfnCheckTokenMembership)
        return false;
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    PSID pAdmins = nullptr;
    if (!api.pfnAllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0,
                                         0, 0, 0, 0, &pAdmins))
        return false;
    CUnique<FreeSidTraits> admins(pAdmins);

    BOOL bMember = FALSE;
    if (!api.pfnCheckTokenMembership(nullptr, pAdmins, &bMember))
        return false;
    if (bMember) {
        bIsAdmin = true;
        return true;
    }
    if (!bCountLinkedToken || !IsVistaOrLater() || !api.pfnOpenProcessToken || !api.pfnGetTokenInformation)
        return true;

    HANDLE hToken = nullptr;
    if (!api.pfnOpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &hToken))
        return false;
    CUniqueHandle token(hToken);
    TOKEN_LINKED_TOKEN linked = {};
    DWORD dwLen = 0;
    if (!api.pfnGetTokenInformation(hToken, TokenLinkedToken, &linked, sizeof(linked), &dwLen)) {
        DWORD dwError = ::GetLastError();
        // No linked token in this logon, or not allowed to see it: a plain user.
        return dwError == ERROR_NO_SUCH_LOGON_SESSION || dwError == ERROR_PRIVILEGE_NOT_HELD;
    }
    CUniqueHandle linkedToken(linked.LinkedToken);
    bMember = FALSE;
    if (!api.pfnCheckTokenMembership(linked.LinkedToken, pAdmins, &bMember))
        return false;
    bIsAdmin = bMember != FALSE;
    return true;
}

bool TsIsUacEnabled()
{
    CSafeRegKey key;
    CString sError;
    DWORD dwValue = 0;
    if (!key.Open(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Policies\\System", sError,
                  KEY_READ) ||
        !key.GetDword(dwValue, "EnableLUA", sError))
        return true;
    return dwValue != 0;
}

// --- folders that programs are run from ---------------------------------------------

namespace {

bool CopySidBytes(const CTsAdvApi& api, PSID pSid, std::vector<BYTE>& sid)
{
    if (!pSid || !api.pfnIsValidSid || !api.pfnGetLengthSid || !api.pfnIsValidSid(pSid))
        return false;
    const BYTE* p = static_cast<const BYTE*>(pSid);
    sid.assign(p, p + api.pfnGetLengthSid(pSid));
    return true;
}

bool CurrentUserSid(const CTsAdvApi& api, std::vector<BYTE>& sid)
{
    if (!api.pfnOpenProcessToken || !api.pfnGetTokenInformation)
        return false;
    HANDLE hToken = nullptr;
    if (!api.pfnOpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &hToken))
        return false;
    CUniqueHandle token(hToken);
    DWORD dwLen = 0;
    api.pfnGetTokenInformation(hToken, TokenUser, nullptr, 0, &dwLen);
    if (dwLen == 0)
        return false;
    std::vector<BYTE> info(dwLen);
    if (!api.pfnGetTokenInformation(hToken, TokenUser, info.data(), dwLen, &dwLen))
        return false;
    return CopySidBytes(api, reinterpret_cast<TOKEN_USER*>(info.data())->User.Sid, sid);
}

bool AdministratorsSid(const CTsAdvApi& api, std::vector<BYTE>& sid)
{
    if (!api.pfnAllocateAndInitializeSid)
        return false;
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    PSID pAdmins = nullptr;
    if (!api.pfnAllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0,
                                         0, 0, 0, 0, &pAdmins))
        return false;
    CUnique<FreeSidTraits> admins(pAdmins);
    return CopySidBytes(api, pAdmins, sid);
}

// "D:P(A;OICI;FA;;;<user>)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)": full access for the user,
// SYSTEM and the Administrators, passed on to everything inside, nothing inherited from
// above and nothing for anybody else.
bool PrivateDescriptor(const CTsAdvApi& api, const std::vector<BYTE>& user, CUniqueLocal& sd)
{
    if (!api.pfnConvertSidToStringSidA || !api.pfnConvertStringSecurityDescriptorToSecurityDescriptorW)
        return false;
    LPSTR pszUser = nullptr;
    if (!api.pfnConvertSidToStringSidA(const_cast<BYTE*>(user.data()), &pszUser) || !pszUser)
        return false;
    CUniqueLocal userText(pszUser);
    std::wstring sddl = L"D:P(A;OICI;FA;;;";
    for (const char* p = pszUser; *p; ++p)
        sddl += static_cast<wchar_t>(static_cast<unsigned char>(*p));
    sddl += L")(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
    PSECURITY_DESCRIPTOR pSD = nullptr;
    if (!api.pfnConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &pSD, nullptr))
        return false;
    sd.Reset(pSD);
    return true;
}

// Whether the opened folder carries a mandatory label below medium.
bool HasLowLabel(const CTsAdvApi& api, HANDLE hFolder)
{
    if (!api.pfnGetSecurityInfo)
        return false;
    PACL pSacl = nullptr;
    PSECURITY_DESCRIPTOR pSD = nullptr;
    if (api.pfnGetSecurityInfo(hFolder, SE_FILE_OBJECT, LABEL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, &pSacl,
                               &pSD) != ERROR_SUCCESS)
        return false;
    CUniqueLocal sdOwner(pSD);
    if (!pSacl)
        return false;
    const BYTE* pAce = reinterpret_cast<const BYTE*>(pSacl) + sizeof(ACL);
    const BYTE* pEnd = reinterpret_cast<const BYTE*>(pSacl) + pSacl->AclSize;
    for (WORD i = 0; i < pSacl->AceCount && pAce + sizeof(ACE_HEADER) <= pEnd; ++i) {
        const ACE_HEADER* pHeader = reinterpret_cast<const ACE_HEADER*>(pAce);
        if (pHeader->AceSize < sizeof(ACE_HEADER) || pAce + pHeader->AceSize > pEnd)
            break;
        if (pHeader->AceType == SYSTEM_MANDATORY_LABEL_ACE_TYPE &&
            pHeader->AceSize >= sizeof(SYSTEM_MANDATORY_LABEL_ACE) - sizeof(DWORD) + 12) {
            const auto* pLabel = reinterpret_cast<const SYSTEM_MANDATORY_LABEL_ACE*>(pAce);
            const SID* pSid = reinterpret_cast<const SID*>(&pLabel->SidStart);
            if (pSid->SubAuthorityCount >= 1 && pSid->SubAuthority[0] < SECURITY_MANDATORY_MEDIUM_RID)
                return true;
        }
        pAce += pHeader->AceSize;
    }
    return false;
}

CString NotUsable(const char* pszFolder, const char* pszReason)
{
    CString sFolder(pszFolder);
    return CString("Cannot use folder") + (sFolder.IsEmpty() ? "" : " ") + sFolder + " (" + pszReason + ")";
}

// Somebody else's folder (made before us, waiting for us) is never used: its owner can
// change what runs from it at any time.
bool CheckOwner(const char* pszPath, const std::vector<BYTE>& user, const std::vector<BYTE>& admins, CString& sError)
{
    std::vector<BYTE> owner;
    if (!g_pfnTsReadFileOwner(pszPath, owner)) {
        CString sReason;
        GetLastErrorText(sReason);
        sError = NotUsable(pszPath, "its owner cannot be read: " + sReason);
        return false;
    }
    if (owner != user && owner != admins) {
        sError = NotUsable(pszPath, "it belongs to another user");
        return false;
    }
    return true;
}

// The owner of an opened folder must be the user or the Administrators. (A test's stand-in
// owner reader is asked by name.)
bool CheckHeldOwner(const CTsAdvApi& api, HANDLE hFolder, const char* pszPath, const std::vector<BYTE>& user,
                    const std::vector<BYTE>& admins, CString& sError)
{
    if (g_pfnTsReadFileOwner != TsReadFileOwner)
        return CheckOwner(pszPath, user, admins, sError);
    PSID pOwner = nullptr;
    PSECURITY_DESCRIPTOR pSD = nullptr;
    std::vector<BYTE> owner;
    DWORD dwRc = api.pfnGetSecurityInfo(hFolder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &pOwner, nullptr,
                                        nullptr, nullptr, &pSD);
    CUniqueLocal sdOwner(pSD);
    if (dwRc != ERROR_SUCCESS || !CopySidBytes(api, pOwner, owner)) {
        CString sReason;
        GetErrorText(sReason, dwRc != ERROR_SUCCESS ? dwRc : ::GetLastError());
        sError = NotUsable(pszPath, "its owner cannot be read: " + sReason);
        return false;
    }
    if (owner != user && owner != admins) {
        sError = NotUsable(pszPath, "it belongs to another user");
        return false;
    }
    return true;
}

}  // namespace

CString TsFolderNotUsableText(const char* pszFolder, const char* pszReason)
{
    return NotUsable(pszFolder, pszReason);
}

bool TsCheckFolderOwner(const char* pszFolder, CString& sError)
{
    const CTsAdvApi& api = TsGetAdvApi();
    if (!api.pfnGetNamedSecurityInfoA || !api.pfnOpenProcessToken)
        return true;   // no owners on this system
    std::vector<BYTE> user, admins;
    if (!CurrentUserSid(api, user) || !AdministratorsSid(api, admins)) {
        CString sReason;
        GetLastErrorText(sReason);
        sError = NotUsable(pszFolder, "its owner cannot be checked: " + sReason);
        return false;
    }
    return CheckOwner(pszFolder, user, admins, sError);
}

bool TsReadFileOwner(const char* pszPath, std::vector<BYTE>& sid)
{
    const CTsAdvApi& api = TsGetAdvApi();
    if (!api.pfnGetNamedSecurityInfoA)
        return false;
    PSID pOwner = nullptr;
    PSECURITY_DESCRIPTOR pSD = nullptr;
    if (api.pfnGetNamedSecurityInfoA(const_cast<char*>(pszPath), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &pOwner,
                                     nullptr, nullptr, nullptr, &pSD) != ERROR_SUCCESS)
        return false;
    CUniqueLocal sdOwner(pSD);
    return CopySidBytes(api, pOwner, sid);
}

TsFileOwnerReader g_pfnTsReadFileOwner = TsReadFileOwner;

bool TsCheckHeldFolder(HANDLE hFolder, const char* pszFolder, CString& sError)
{
    const CTsAdvApi& api = TsGetAdvApi();
    if (hFolder == INVALID_HANDLE_VALUE || !api.pfnGetSecurityInfo || !api.pfnOpenProcessToken)
        return true;   // no owners on this system
    std::vector<BYTE> user, admins;
    if (!CurrentUserSid(api, user) || !AdministratorsSid(api, admins)) {
        CString sReason;
        GetLastErrorText(sReason);
        sError = NotUsable(pszFolder, "its owner cannot be checked: " + sReason);
        return false;
    }
    if (!CheckHeldOwner(api, hFolder, pszFolder, user, admins, sError))
        return false;
    if (HasLowLabel(api, hFolder)) {
        sError = NotUsable(pszFolder, "low-integrity processes can write there");
        return false;
    }
    return true;
}

bool TsMakePrivateFolder(const char* pszFolder, CString& sError)
{
    const CString sPath(pszFolder ? pszFolder : "");
    if (!IsAbsolutePath(sPath)) {
        sError = NotUsable(sPath, "it is not a full path");
        return false;
    }
    const CTsAdvApi& api = TsGetAdvApi();
    // Systems without access lists (Windows 9x) make the folders plainly; on the others a
    // private folder that cannot be described is no folder at all.
    const bool bSecure = api.pfnConvertStringSecurityDescriptorToSecurityDescriptorW && api.pfnOpenProcessToken &&
                         api.pfnGetSecurityInfo && api.pfnSetSecurityInfo;
    std::vector<BYTE> user, admins;
    CUniqueLocal sd;
    if (bSecure && !(CurrentUserSid(api, user) && AdministratorsSid(api, admins) && PrivateDescriptor(api, user, sd))) {
        CString sReason;
        GetLastErrorText(sReason);
        sError = NotUsable(sPath, "its access list cannot be made: " + sReason);
        return false;
    }

    // Every folder from the root down, each made or opened through the one above it and
    // held while it is secured: a link on the way refuses the folder, and the access list
    // goes onto the folder that was checked, never onto a name.
    CSafeFolder folder;
    bool bCreatedLast = false;
    DWORD dwError = 0;
    std::string sAt;
    const ACCESS_MASK access = READ_CONTROL | WRITE_DAC | WRITE_OWNER;   // the list, and the label
    if (!folder.CreatePath(sPath, bSecure ? sd.Get() : nullptr, access, bCreatedLast, dwError, &sAt)) {
        if (dwError == ERROR_BAD_PATHNAME) {
            sError = NotUsable(sPath, "it is not a full path");
        } else if (dwError == kTsErrorNotTheListedEntry) {
            sError = NotUsable(sPath, CString(sAt.c_str()) + " is a link");
        } else {
            CString sReason;
            GetErrorText(sReason, dwError);
            sError = "Can not create folder " + CString(sAt.c_str()) + ": " + sReason;
        }
        return false;
    }
    if (!bSecure || folder.Handle() == INVALID_HANDLE_VALUE)
        return true;

    if (!CheckHeldOwner(api, folder.Handle(), sPath, user, admins, sError))
        return false;
    if (!bCreatedLast) {
        // Ours, but perhaps made by an earlier version for everybody: made private again.
        PACL pDacl = nullptr;
        BOOL bPresent = FALSE, bDefaulted = FALSE;
        DWORD dwRc = ERROR_INVALID_FUNCTION;
        if (::GetSecurityDescriptorDacl(sd.Get(), &bPresent, &pDacl, &bDefaulted))
            dwRc = api.pfnSetSecurityInfo(folder.Handle(), SE_FILE_OBJECT,
                                          DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                          nullptr, pDacl, nullptr);
        if (dwRc != ERROR_SUCCESS) {
            CString sReason;
            GetErrorText(sReason, dwRc);
            sError = NotUsable(sPath, "its access list cannot be set: " + sReason);
            return false;
        }
    }
    if (HasLowLabel(api, folder.Handle())) {
        ApplyLabel(api, SE_FILE_OBJECT, folder.Handle(), nullptr, kMediumLabel, nullptr);
        if (HasLowLabel(api, folder.Handle())) {
            sError = NotUsable(sPath, "low-integrity processes can write there");
            return false;
        }
    }
    return true;
}
