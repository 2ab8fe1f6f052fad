#include "Strings/TsSecurity.h"

#include "Strings/SafeRegKey.h"
#include "Strings/TsLog.h"
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
