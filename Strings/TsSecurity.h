#pragma once
// Security for objects that the product's programs share across integrity levels and users:
// everyone-access attributes, integrity labels, file access grants, and the administrator
// and user-account-control tests. Every security function is looked up at run time: on
// systems without it the feature is skipped.
#include <windows.h>
#include <accctrl.h>
#include <aclapi.h>
#include <sddl.h>
#include <wincred.h>
#include <wincrypt.h>

#include <vector>

#include "framework/CString.h"

// Security attributes granting everyone access (present, null access list; handles
// inheritable). Get() is null where the system has no security functions (Windows 9x):
// then the object is created with default security.
class CTsEveryoneAccess {
public:
    CTsEveryoneAccess();
    CTsEveryoneAccess(const CTsEveryoneAccess&) = delete;
    CTsEveryoneAccess& operator=(const CTsEveryoneAccess&) = delete;
    SECURITY_ATTRIBUTES* Get() { return m_bValid ? &m_sa : nullptr; }

private:
    SECURITY_DESCRIPTOR m_sd = {};
    SECURITY_ATTRIBUTES m_sa = {};
    bool m_bValid = false;
};

#define TS_ADVAPI_FUNCTIONS(X)                                                                    \
    X(InitializeSecurityDescriptor) X(SetSecurityDescriptorDacl)                                  \
    X(ConvertStringSecurityDescriptorToSecurityDescriptorW) X(GetSecurityDescriptorSacl)         \
    X(SetSecurityInfo) X(GetSecurityInfo) X(SetNamedSecurityInfoA) X(GetNamedSecurityInfoA)       \
    X(OpenProcessToken) X(GetTokenInformation) X(CheckTokenMembership) X(ConvertSidToStringSidA)  \
    X(ConvertStringSidToSidA) X(AllocateAndInitializeSid) X(CopySid) X(GetLengthSid) X(IsValidSid) \
    X(SetEntriesInAclW) X(CryptAcquireContextA) X(CryptAcquireContextW) X(CryptCreateHash)        \
    X(CryptHashData) X(CryptGetHashParam) X(CryptDestroyHash) X(CryptReleaseContext)              \
    X(CredEnumerateA) X(CredEnumerateW) X(CredFree) X(CredDeleteA) X(CredDeleteW)

// The run-time table of the security functions of "AdvApi32.dll". A missing function
// stays null; IsComplete() tells whether all were found.
class CTsAdvApi {
public:
    // bLoad: load the library (and free it on destruction); otherwise only use it when
    // it is already loaded in this process.
    explicit CTsAdvApi(bool bLoad);
    ~CTsAdvApi();
    CTsAdvApi(const CTsAdvApi&) = delete;
    CTsAdvApi& operator=(const CTsAdvApi&) = delete;

    bool IsComplete() const { return m_bAllFound; }
    HMODULE GetModule() const { return m_hModule; }

#define TS_ADVAPI_MEMBER(name) decltype(&::name) pfn##name = nullptr;
    TS_ADVAPI_FUNCTIONS(TS_ADVAPI_MEMBER)
#undef TS_ADVAPI_MEMBER

private:
    const char* m_pszLibrary = "AdvApi32.dll";
    bool m_bLoaded = false;
    HMODULE m_hModule = nullptr;
    bool m_bAllFound = false;
};

// The process-wide table, loaded on first use and released at exit.
CTsAdvApi& TsGetAdvApi();

// True when the major version reported by GetVersion is 6 or more (remembered).
bool IsVistaOrLater();

// Gives a kernel object (objectType SE_KERNEL_OBJECT, 6) the low integrity label, by handle
// or by name. 0, or the failure as an HRESULT; 0 without doing anything before version 6.
HRESULT TsSetObjectIntegrity(int nObjectType, HANDLE hObject, const char* pszName);

// Gives a file or folder the low (bLow) or medium integrity label and, when pSid is given,
// an access list granting that user full access, inherited by sub-folders and files.
// 0, or the failure as an HRESULT; 0 without doing anything before version 6.
HRESULT TsSetFileSecurity(PSID pSid, const char* pszPath, bool bLow);

// With pszStringSid: that identifier; without: the process user's, but only for an
// administrator. True with pSid set; the caller frees it with LocalFree. False (and pSid
// null) before version 6, without the complete security table, or on failure.
bool TsGetUserSid(PSID& pSid, const char* pszStringSid);

// Whether the test could be made; bIsAdmin receives the answer. With bCountLinkedToken the
// full token of a split administrator login counts as administrator too.
bool TsIsUserAdmin(bool& bIsAdmin, bool bCountLinkedToken);

// Whether user account control is on: the policy value "EnableLUA", on when unreadable.
bool TsIsUacEnabled();

// --- folders that programs are run from ---------------------------------------------

// Makes the folder and every missing folder above it, or takes the folder when it exists,
// as a folder that programs may be run from: nobody but the current user, SYSTEM and the
// Administrators can write there, not even a low-integrity process of the same user.
// - new folders get an access list of those three alone, inherited by everything made
//   inside, and no integrity label;
// - the folder at the end must belong to the current user or to the Administrators group:
//   otherwise false with "Cannot use folder <path> (it belongs to another user)";
// - an existing folder is given the same access list, and must carry no low label.
// On systems without security functions (Windows 9x) the folders are made plainly.
bool TsMakePrivateFolder(const char* pszFolder, CString& sError);

// Whether a folder opened with READ_CONTROL (an existing folder below a program folder)
// belongs to the current user or the Administrators and carries no low label; false with
// "Cannot use folder <path> (<reason>)" when not. True on systems without owners.
bool TsCheckHeldFolder(HANDLE hFolder, const char* pszFolder, CString& sError);

// "Cannot use folder <path> (<reason>)", the text of every refused folder.
CString TsFolderNotUsableText(const char* pszFolder, const char* pszReason);

// Whether an existing folder belongs to the current user or the Administrators group;
// false with "Cannot use folder <path> (it belongs to another user)" when not. True on
// systems without owners.
bool TsCheckFolderOwner(const char* pszFolder, CString& sError);

// Reads the security identifier of a file's or folder's owner into sid. Replaceable so that
// tests can show folders of another user, which the test system cannot make.
using TsFileOwnerReader = bool (*)(const char* pszPath, std::vector<BYTE>& sid);
extern TsFileOwnerReader g_pfnTsReadFileOwner;
bool TsReadFileOwner(const char* pszPath, std::vector<BYTE>& sid);
