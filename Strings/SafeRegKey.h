#pragma once
// Registry access: a key object that owns one open key and reports every failure as text,
// and one-shot functions that open, do one read/write/delete and close again.
#include <windows.h>
#include "framework/CString.h"

class CSafeRegKey {
public:
    CSafeRegKey() = default;
    virtual ~CSafeRegKey();
    CSafeRegKey(const CSafeRegKey&) = delete;
    CSafeRegKey& operator=(const CSafeRegKey&) = delete;

    // Each operation returns false and fills sError on failure; on success sError is untouched.
    // Create/Open/OpenSub close a handle already held before taking the new one.
    bool Create(HKEY hRoot, const char* pszKeyPath, CString& sError, REGSAM samAccess = KEY_READ | KEY_WRITE);
    bool Open(HKEY hRoot, const char* pszKeyPath, CString& sError, REGSAM samAccess = KEY_READ);
    bool OpenSub(const CSafeRegKey& parent, const char* pszKeyPath, CString& sError, REGSAM samAccess = KEY_READ);

    bool SetString(const char* pszValue, const char* pszName, CString& sError);
    // The text up to its terminating zero; the stored type is not checked (REG_EXPAND_SZ
    // comes back unexpanded). On a failed read sValue is emptied.
    bool GetString(CString& sValue, const char* pszName, CString& sError);
    // Every byte of the value's data, embedded zeros included.
    bool GetRaw(CString& sBytes, const char* pszName, CString& sError);
    bool SetDword(DWORD dwValue, const char* pszName, CString& sError);
    // Only a REG_DWORD of exactly 4 bytes is read; dwValue is untouched otherwise.
    bool GetDword(DWORD& dwValue, const char* pszName, CString& sError);
    bool DeleteValue(const char* pszName, CString& sError);
    // Deletes the subkey with everything below it. On failure what was deleted stays deleted.
    bool DeleteKeyTree(const char* pszSubkeyName, CString& sError);
    void Close();

    HKEY GetHandle() const { return m_hKey; }
    const CString& GetFullName() const { return m_sFullName; }   // "HKEY_CURRENT_USER\Software\..."

private:
    bool QueryBytes(const char* pszName, CString& sBytes, CString& sError);
    void Take(HKEY hKey, const CString& sFullName);

    HKEY m_hKey = nullptr;
    CString m_sFullName;
};

// One-shot access. The error text is discarded. When the key cannot be opened or created
// the out value keeps what the caller preset; the setters create missing keys on the path.
bool TsRegSetString(const char* pszValue, HKEY hRoot, const char* pszKeyPath, const char* pszName);
bool TsRegSetDword(DWORD dwValue, HKEY hRoot, const char* pszKeyPath, const char* pszName);
bool TsRegGetString(CString& sValue, HKEY hRoot, const char* pszKeyPath, const char* pszName);
bool TsRegGetDword(DWORD& dwValue, HKEY hRoot, const char* pszKeyPath, const char* pszName);
bool TsRegDeleteValue(HKEY hRoot, const char* pszKeyPath, const char* pszName);
bool TsRegDeleteKeyTree(HKEY hRoot, const char* pszKeyPath, const char* pszSubkeyName);

// True unless the system says the value does not exist (a null key path means hRoot itself);
// false also when the key cannot be opened.
bool TsRegValueExists(HKEY hRoot, const char* pszKeyPath, const char* pszName);

// The browser's low-rights elevation policy for one of the product's programs.
struct TsElevationPolicy {
    const char* pszProgram;     // program file name
    const char* pszPolicyKey;   // key name below the ElevationPolicy key
};
// The product's programs, ended by a row of nulls.
extern const TsElevationPolicy g_TsElevationPolicies[];

// Adds (policy 3, program, folder) or removes every row's policy key below HKEY_LOCAL_MACHINE.
// Failures are ignored: without administrator rights the writes fail and the caller goes on.
void TsSetElevationPolicy(bool bAdd, const TsElevationPolicy* pTable, const char* pszAppPath);
