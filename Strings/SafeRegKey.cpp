#include "Strings/SafeRegKey.h"

#include "Strings/TsLog.h"

namespace {

const char kSource[] = "Strings\\SafeRegKey";

// The name shown in messages for a predefined root; any other root is a caller's mistake.
CString RootName(HKEY hRoot, bool bAllowUsers)
{
    if (hRoot == HKEY_CURRENT_USER)
        return "HKEY_CURRENT_USER";
    if (hRoot == HKEY_LOCAL_MACHINE)
        return "HKEY_LOCAL_MACHINE";
    if (hRoot == HKEY_CLASSES_ROOT)
        return "HKEY_CLASSES_ROOT";
    if (bAllowUsers && hRoot == HKEY_USERS)
        return "HKEY_USERS";
    TsAssertFail(kSource, __LINE__, reinterpret_cast<INT_PTR>(hRoot), "unknown registry root");
}

CString ErrorText(LONG lError)
{
    CString s;
    GetErrorText(s, static_cast<DWORD>(lError));
    return s;
}

const char* Safe(const char* psz)
{
    return psz ? psz : "";
}

}  // namespace

CSafeRegKey::~CSafeRegKey()
{
    Close();
}

void CSafeRegKey::Close()
{
    if (m_hKey) {
        ::RegCloseKey(m_hKey);
        m_hKey = nullptr;
    }
}

void CSafeRegKey::Take(HKEY hKey, const CString& sFullName)
{
    Close();
    m_hKey = hKey;
    m_sFullName = sFullName;
}

bool CSafeRegKey::Create(HKEY hRoot, const char* pszKeyPath, CString& sError, REGSAM samAccess)
{
    if (!hRoot) {
        sError.Format("Create: No parent for registry key '%s'", Safe(pszKeyPath));
        return false;
    }
    CString sRoot = RootName(hRoot, false);
    HKEY hKey = nullptr;
    DWORD dwDisposition = 0;
    LONG lRc = ::RegCreateKeyExA(hRoot, Safe(pszKeyPath), 0, nullptr, REG_OPTION_NON_VOLATILE, samAccess, nullptr,
                                 &hKey, &dwDisposition);
    if (lRc != ERROR_SUCCESS) {
        sError.Format("Cannot create registry key '%s' in '%s': %s", Safe(pszKeyPath), sRoot.c_str(),
                      ErrorText(lRc).c_str());
        return false;
    }
    Take(hKey, sRoot + "\\" + Safe(pszKeyPath));
    return true;
}

bool CSafeRegKey::Open(HKEY hRoot, const char* pszKeyPath, CString& sError, REGSAM samAccess)
{
    if (!hRoot)
        TsAssertFail(kSource, __LINE__, 0, pszKeyPath);
    CString sRoot = RootName(hRoot, true);
    HKEY hKey = nullptr;
    LONG lRc = ::RegOpenKeyExA(hRoot, Safe(pszKeyPath), 0, samAccess, &hKey);
    if (lRc != ERROR_SUCCESS) {
        sError.Format("Cannot open registry key '%s' in '%s'", Safe(pszKeyPath), sRoot.c_str());
        return false;
    }
    Take(hKey, sRoot + "\\" + Safe(pszKeyPath));
    return true;
}

bool CSafeRegKey::OpenSub(const CSafeRegKey& parent, const char* pszKeyPath, CString& sError, REGSAM samAccess)
{
    if (!parent.m_hKey) {
        sError.Format("Could not create parent registry key '%s' for key '%s'", parent.m_sFullName.c_str(),
                      Safe(pszKeyPath));
        return false;
    }
    HKEY hKey = nullptr;
    LONG lRc = ::RegOpenKeyExA(parent.m_hKey, Safe(pszKeyPath), 0, samAccess, &hKey);
    if (lRc != ERROR_SUCCESS) {
        sError.Format("Cannot open registry key '%s' in '%s'", Safe(pszKeyPath), parent.m_sFullName.c_str());
        return false;
    }
    // The parent may be this very object: build the name before Take closes its handle.
    CString sFullName = parent.m_sFullName + "\\" + Safe(pszKeyPath);
    Take(hKey, sFullName);
    return true;
}

bool CSafeRegKey::SetString(const char* pszValue, const char* pszName, CString& sError)
{
    if (!m_hKey) {
        sError.Format("Cannot set registry value '%s' in '%s': parent was not created", Safe(pszName),
                      m_sFullName.c_str());
        return false;
    }
    const char* pszText = Safe(pszValue);
    LONG lRc = ::RegSetValueExA(m_hKey, pszName, 0, REG_SZ, reinterpret_cast<const BYTE*>(pszText),
                                static_cast<DWORD>(lstrlenA(pszText) + 1));
    if (lRc != ERROR_SUCCESS) {
        sError.Format("Cannot set registry value '%s' in '%s': %s", Safe(pszName), m_sFullName.c_str(),
                      ErrorText(lRc).c_str());
        return false;
    }
    return true;
}

bool CSafeRegKey::SetDword(DWORD dwValue, const char* pszName, CString& sError)
{
    if (!m_hKey) {
        sError.Format("Cannot set registry value '%s' in '%s': parent was not created", Safe(pszName),
                      m_sFullName.c_str());
        return false;
    }
    LONG lRc = ::RegSetValueExA(m_hKey, pszName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwValue),
                                sizeof(dwValue));
    if (lRc != ERROR_SUCCESS) {
        sError.Format("Cannot set registry value '%s' in '%s': %s", Safe(pszName), m_sFullName.c_str(),
                      ErrorText(lRc).c_str());
        return false;
    }
    return true;
}

bool CSafeRegKey::QueryBytes(const char* pszName, CString& sBytes, CString& sError)
{
    sBytes.Empty();
    if (!m_hKey) {
        sError.Format("Cannot get registry value '%s' in '%s': parent was not created", Safe(pszName),
                      m_sFullName.c_str());
        return false;
    }
    BYTE buf[260];
    DWORD dwType = 0;
    DWORD dwSize = sizeof(buf);
    LONG lRc = ::RegQueryValueExA(m_hKey, pszName, nullptr, &dwType, buf, &dwSize);
    if (lRc == ERROR_SUCCESS) {
        sBytes = CString(reinterpret_cast<const char*>(buf), static_cast<int>(dwSize));
        return true;
    }
    if (lRc == ERROR_MORE_DATA) {
        // The value may grow between the two calls; a second shortfall counts as a failure.
        std::string big(dwSize, '\0');
        lRc = ::RegQueryValueExA(m_hKey, pszName, nullptr, &dwType, reinterpret_cast<BYTE*>(&big[0]), &dwSize);
        if (lRc == ERROR_SUCCESS) {
            big.resize(dwSize);
            sBytes = CString(big);
            return true;
        }
    }
    sError.Format("Cannot read registry value '%s' in '%s'", Safe(pszName), m_sFullName.c_str());
    return false;
}

bool CSafeRegKey::GetString(CString& sValue, const char* pszName, CString& sError)
{
    CString sBytes;
    if (!QueryBytes(pszName, sBytes, sError)) {
        sValue.Empty();
        return false;
    }
    // Data written without its terminator (possible from other writers) must not lose its
    // last character, and stray zeros must not end up inside the text.
    sValue = CString(sBytes.c_str());
    return true;
}

bool CSafeRegKey::GetRaw(CString& sBytes, const char* pszName, CString& sError)
{
    return QueryBytes(pszName, sBytes, sError);
}

bool CSafeRegKey::GetDword(DWORD& dwValue, const char* pszName, CString& sError)
{
    if (!m_hKey) {
        sError.Format("Cannot get registry value '%s' in '%s': parent was not created", Safe(pszName),
                      m_sFullName.c_str());
        return false;
    }
    DWORD dwType = 0;
    DWORD dwData = 0;
    DWORD dwSize = sizeof(dwData);
    LONG lRc = ::RegQueryValueExA(m_hKey, pszName, nullptr, &dwType, reinterpret_cast<BYTE*>(&dwData), &dwSize);
    if (lRc != ERROR_SUCCESS || dwType != REG_DWORD || dwSize != sizeof(dwData)) {
        sError.Format("Cannot read registry value '%s' in '%s'", Safe(pszName), m_sFullName.c_str());
        return false;
    }
    dwValue = dwData;
    return true;
}

bool CSafeRegKey::DeleteValue(const char* pszName, CString& sError)
{
    LONG lRc = m_hKey ? ::RegDeleteValueA(m_hKey, pszName) : ERROR_INVALID_HANDLE;
    if (lRc != ERROR_SUCCESS) {
        sError.Format("Cannot delete registry value '%s' in '%s': %s", Safe(pszName), m_sFullName.c_str(),
                      ErrorText(lRc).c_str());
        return false;
    }
    return true;
}

bool CSafeRegKey::DeleteKeyTree(const char* pszSubkeyName, CString& sError)
{
    CSafeRegKey sub;
    LONG lRc = ERROR_INVALID_HANDLE;
    if (m_hKey) {
        HKEY hSub = nullptr;
        lRc = ::RegOpenKeyExA(m_hKey, Safe(pszSubkeyName), 0, KEY_READ | KEY_WRITE, &hSub);
        if (lRc == ERROR_SUCCESS)
            sub.Take(hSub, m_sFullName + "\\" + Safe(pszSubkeyName));
    }
    if (lRc != ERROR_SUCCESS) {
        sError.Format("Cannot recurse-delete registry key '%s' in '%s': %s", Safe(pszSubkeyName),
                      m_sFullName.c_str(), ErrorText(lRc).c_str());
        return false;
    }
    // Always ask for child 0: each deletion shifts the rest down.
    for (;;) {
        char szChild[256];
        DWORD dwLen = sizeof(szChild);
        if (::RegEnumKeyExA(sub.m_hKey, 0, szChild, &dwLen, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        if (!sub.DeleteKeyTree(szChild, sError))
            return false;
    }
    sub.Close();
    lRc = ::RegDeleteKeyA(m_hKey, Safe(pszSubkeyName));
    if (lRc != ERROR_SUCCESS) {
        sError.Format("Cannot recurse-delete registry key '%s' in '%s': %s", Safe(pszSubkeyName),
                      m_sFullName.c_str(), ErrorText(lRc).c_str());
        return false;
    }
    return true;
}

// --- one-shot functions --------------------------------------------------------

bool TsRegSetString(const char* pszValue, HKEY hRoot, const char* pszKeyPath, const char* pszName)
{
    CSafeRegKey key;
    CString sError;
    return key.Create(hRoot, pszKeyPath, sError, KEY_READ | KEY_WRITE) && key.SetString(pszValue, pszName, sError);
}

bool TsRegSetDword(DWORD dwValue, HKEY hRoot, const char* pszKeyPath, const char* pszName)
{
    CSafeRegKey key;
    CString sError;
    return key.Create(hRoot, pszKeyPath, sError, KEY_READ | KEY_WRITE) && key.SetDword(dwValue, pszName, sError);
}

bool TsRegGetString(CString& sValue, HKEY hRoot, const char* pszKeyPath, const char* pszName)
{
    CSafeRegKey key;
    CString sError;
    return key.Open(hRoot, pszKeyPath, sError, KEY_READ) && key.GetString(sValue, pszName, sError);
}

bool TsRegGetDword(DWORD& dwValue, HKEY hRoot, const char* pszKeyPath, const char* pszName)
{
    CSafeRegKey key;
    CString sError;
    return key.Open(hRoot, pszKeyPath, sError, KEY_READ) && key.GetDword(dwValue, pszName, sError);
}

bool TsRegDeleteValue(HKEY hRoot, const char* pszKeyPath, const char* pszName)
{
    CSafeRegKey key;
    CString sError;
    return key.Open(hRoot, pszKeyPath, sError, KEY_READ | KEY_WRITE) && key.DeleteValue(pszName, sError);
}

bool TsRegDeleteKeyTree(HKEY hRoot, const char* pszKeyPath, const char* pszSubkeyName)
{
    CSafeRegKey key;
    CString sError;
    return key.Open(hRoot, pszKeyPath, sError, KEY_READ | KEY_WRITE) && key.DeleteKeyTree(pszSubkeyName, sError);
}

bool TsRegValueExists(HKEY hRoot, const char* pszKeyPath, const char* pszName)
{
    HKEY hKey = hRoot;
    if (pszKeyPath) {
        if (::RegOpenKeyExA(hRoot, pszKeyPath, 0, KEY_READ, &hKey) != ERROR_SUCCESS)
            return false;
    }
    BYTE buf[4];
    DWORD dwSize = sizeof(buf);
    LONG lRc = ::RegQueryValueExA(hKey, pszName, nullptr, nullptr, buf, &dwSize);
    if (hKey != hRoot)
        ::RegCloseKey(hKey);
    return lRc != ERROR_FILE_NOT_FOUND;
}

// --- the browser's elevation policy ----------------------------------------------

const TsElevationPolicy g_TsElevationPolicies[] = {
    {"Idfolio.exe", "{5b1e07c2-3f64-4100-8a17-00d0c94f21b7}"},
    {"Keycards.exe", "{5b1e07c2-3f64-4101-8a17-00d0c94f21b7}"},
    {"Vaultnotes.exe", "{5b1e07c2-3f64-4102-8a17-00d0c94f21b7}"},
    {"TessTaskBarIcon.exe", "{5b1e07c2-3f64-4103-8a17-00d0c94f21b7}"},
    {"Pwforge.exe", "{5b1e07c2-3f64-4104-8a17-00d0c94f21b7}"},
    {nullptr, nullptr},
};

void TsSetElevationPolicy(bool bAdd, const TsElevationPolicy* pTable, const char* pszAppPath)
{
    static const char kBase[] = "SOFTWARE\\Microsoft\\Internet Explorer\\Low Rights\\ElevationPolicy\\";
    for (const TsElevationPolicy* p = pTable; p && p->pszProgram; ++p) {
        if (bAdd) {
            CString sKey = CString(kBase) + p->pszPolicyKey;
            TsRegSetDword(3, HKEY_LOCAL_MACHINE, sKey, "Policy");
            TsRegSetString(p->pszProgram, HKEY_LOCAL_MACHINE, sKey, "AppName");
            TsRegSetString(pszAppPath, HKEY_LOCAL_MACHINE, sKey, "AppPath");
        } else {
            TsRegDeleteKeyTree(HKEY_LOCAL_MACHINE, kBase, p->pszPolicyKey);
        }
    }
}
