#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "Strings/SafeRegKey.h"
#include "Strings/TsLog.h"
#include "framework/Exceptions.h"

namespace {

CString SystemText(DWORD dwCode)
{
    CString s;
    GetErrorText(s, dwCode);
    return s;
}

// A fresh key below HKEY_CURRENT_USER for each test, removed afterwards.
class SafeRegKeyTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_sKey.Format("Software\\WayfarerTests\\Reg%lu", ::GetCurrentProcessId());
        m_sFull = "HKEY_CURRENT_USER\\" + m_sKey;
        ::RegDeleteTreeA(HKEY_CURRENT_USER, m_sKey);
    }
    void TearDown() override { ::RegDeleteTreeA(HKEY_CURRENT_USER, m_sKey); }

    void WriteRaw(const char* pszName, DWORD dwType, const void* pData, DWORD cb)
    {
        HKEY h = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExA(HKEY_CURRENT_USER, m_sKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h,
                                                   nullptr));
        ASSERT_EQ(ERROR_SUCCESS, ::RegSetValueExA(h, pszName, 0, dwType, static_cast<const BYTE*>(pData), cb));
        ::RegCloseKey(h);
    }
    bool KeyExists(const CString& sPath)
    {
        HKEY h = nullptr;
        if (::RegOpenKeyExA(HKEY_CURRENT_USER, sPath, 0, KEY_READ, &h) != ERROR_SUCCESS)
            return false;
        ::RegCloseKey(h);
        return true;
    }

    CString m_sKey;
    CString m_sFull;
};

}  // namespace

TEST_F(SafeRegKeyTest, StringsAndNumbersRoundTrip)
{
    // The setters create the missing keys along the path.
    CString sDeep = m_sKey + "\\A\\B";
    ASSERT_TRUE(TsRegSetString("C:\\Data\\Tessaly", HKEY_CURRENT_USER, sDeep, "RootUserDataDirPort"));
    ASSERT_TRUE(TsRegSetDword(0xDEADBEEF, HKEY_CURRENT_USER, sDeep, "Count"));

    CString sValue = "preset";
    DWORD dwValue = 7;
    EXPECT_TRUE(TsRegGetString(sValue, HKEY_CURRENT_USER, sDeep, "RootUserDataDirPort"));
    EXPECT_STREQ("C:\\Data\\Tessaly", sValue);
    EXPECT_TRUE(TsRegGetDword(dwValue, HKEY_CURRENT_USER, sDeep, "Count"));
    EXPECT_EQ(0xDEADBEEFu, dwValue);

    // A missing value: the string comes back empty, the number keeps its preset.
    sValue = "preset";
    dwValue = 7;
    EXPECT_FALSE(TsRegGetString(sValue, HKEY_CURRENT_USER, sDeep, "Missing"));
    EXPECT_STREQ("", sValue);
    EXPECT_FALSE(TsRegGetDword(dwValue, HKEY_CURRENT_USER, sDeep, "Missing"));
    EXPECT_EQ(7u, dwValue);

    // A missing key leaves both as the caller set them.
    sValue = "preset";
    EXPECT_FALSE(TsRegGetString(sValue, HKEY_CURRENT_USER, m_sKey + "\\Nowhere", "RootUserDataDirPort"));
    EXPECT_STREQ("preset", sValue);

    EXPECT_TRUE(TsRegDeleteValue(HKEY_CURRENT_USER, sDeep, "Count"));
    EXPECT_FALSE(TsRegDeleteValue(HKEY_CURRENT_USER, sDeep, "Count"));
    EXPECT_FALSE(TsRegGetDword(dwValue, HKEY_CURRENT_USER, sDeep, "Count"));
}

TEST_F(SafeRegKeyTest, StringReadsAreRawAndUnlimited)
{
    const char szExpand[] = "%SystemRoot%\\system32";
    WriteRaw("Expand", REG_EXPAND_SZ, szExpand, sizeof(szExpand));
    const std::string sLong(300, 'w');   // beyond the first 260-byte query
    ASSERT_TRUE(TsRegSetString(sLong.c_str(), HKEY_CURRENT_USER, m_sKey, "Long"));

    CString sValue;
    EXPECT_TRUE(TsRegGetString(sValue, HKEY_CURRENT_USER, m_sKey, "Expand"));
    EXPECT_STREQ(szExpand, sValue);
    EXPECT_TRUE(TsRegGetString(sValue, HKEY_CURRENT_USER, m_sKey, "Long"));
    EXPECT_EQ(300, sValue.GetLength());
    EXPECT_EQ(sLong, sValue.str());

    // A string stored without its terminator keeps its last character.
    WriteRaw("Bare", REG_SZ, "abc", 3);
    EXPECT_TRUE(TsRegGetString(sValue, HKEY_CURRENT_USER, m_sKey, "Bare"));
    EXPECT_STREQ("abc", sValue);

    // Raw bytes keep everything, embedded zeros and the terminator included.
    const char bytes[] = {'a', 0, 'b', 0};
    WriteRaw("Bytes", REG_BINARY, bytes, sizeof(bytes));
    CSafeRegKey key;
    CString sError;
    ASSERT_TRUE(key.Open(HKEY_CURRENT_USER, m_sKey, sError));
    CString sRaw;
    EXPECT_TRUE(key.GetRaw(sRaw, "Bytes", sError));
    EXPECT_EQ(std::string(bytes, sizeof(bytes)), sRaw.str());
    EXPECT_TRUE(key.GetRaw(sRaw, "Long", sError));
    EXPECT_EQ(301, sRaw.GetLength());
}

TEST_F(SafeRegKeyTest, DwordNeedsTypeAndSize)
{
    const DWORD dwFour = 4;
    WriteRaw("Binary4", REG_BINARY, &dwFour, sizeof(dwFour));
    CSafeRegKey key;
    CString sError;
    ASSERT_TRUE(key.Open(HKEY_CURRENT_USER, m_sKey, sError));
    DWORD dwValue = 99;
    EXPECT_FALSE(key.GetDword(dwValue, "Binary4", sError));
    EXPECT_EQ(99u, dwValue);
    EXPECT_EQ("Cannot read registry value 'Binary4' in '" + m_sFull + "'", sError);
}

TEST_F(SafeRegKeyTest, FailuresNameKeyRootAndSystemText)
{
    ASSERT_TRUE(TsRegSetString("x", HKEY_CURRENT_USER, m_sKey, "Present"));
    CSafeRegKey closed;
    CSafeRegKey key;
    CString sError;
    ASSERT_TRUE(key.Open(HKEY_CURRENT_USER, m_sKey, sError, KEY_READ | KEY_WRITE));
    EXPECT_EQ(m_sFull, key.GetFullName());
    CString sValue = "old";
    DWORD dwValue = 0;

    struct Case {
        const char* pszWhat;
        std::function<bool(CString&)> op;
        CString sExpected;
    };
    const Case cases[] = {
        {"open missing", [&](CString& e) { return key.Open(HKEY_CURRENT_USER, "Software\\WayfarerTests\\None", e); },
         "Cannot open registry key 'Software\\WayfarerTests\\None' in 'HKEY_CURRENT_USER'"},
        {"create without root", [&](CString& e) { return closed.Create(nullptr, "Some\\Key", e); },
         "Create: No parent for registry key 'Some\\Key'"},
        {"sub of closed", [&](CString& e) { return closed.OpenSub(closed, "Child", e); },
         "Could not create parent registry key '' for key 'Child'"},
        {"sub missing", [&](CString& e) { return closed.OpenSub(key, "Child", e); },
         "Cannot open registry key 'Child' in '" + m_sFull + "'"},
        {"set without key", [&](CString& e) { return closed.SetString("v", "Name", e); },
         "Cannot set registry value 'Name' in '': parent was not created"},
        {"dword without key", [&](CString& e) { return closed.SetDword(1, "Name", e); },
         "Cannot set registry value 'Name' in '': parent was not created"},
        {"get without key", [&](CString& e) { return closed.GetString(sValue, "Name", e); },
         "Cannot get registry value 'Name' in '': parent was not created"},
        {"getdword without key", [&](CString& e) { return closed.GetDword(dwValue, "Name", e); },
         "Cannot get registry value 'Name' in '': parent was not created"},
        {"get missing", [&](CString& e) { return key.GetString(sValue, "Missing", e); },
         "Cannot read registry value 'Missing' in '" + m_sFull + "'"},
        {"delete missing", [&](CString& e) { return key.DeleteValue("Missing", e); },
         "Cannot delete registry value 'Missing' in '" + m_sFull + "': " + SystemText(ERROR_FILE_NOT_FOUND)},
        {"tree missing", [&](CString& e) { return key.DeleteKeyTree("NoSuchKey", e); },
         "Cannot recurse-delete registry key 'NoSuchKey' in '" + m_sFull + "': " + SystemText(ERROR_FILE_NOT_FOUND)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        CString sText;
        EXPECT_FALSE(c.op(sText));
        EXPECT_EQ(c.sExpected, sText);
    }
    EXPECT_STREQ("", sValue);   // a failed read empties the value
    // A failed open keeps the key that was open before.
    EXPECT_EQ(m_sFull, key.GetFullName());
    EXPECT_TRUE(key.GetString(sValue, "Present", sError));
    EXPECT_STREQ("x", sValue);
}

TEST_F(SafeRegKeyTest, UnknownRootsAreProgrammingErrors)
{
    CSafeRegKey key;
    CString sError;
    EXPECT_THROW(key.Create(HKEY_USERS, "x", sError), CUserException);   // HKEY_USERS is for opening only
    EXPECT_THROW(key.Open(HKEY_CURRENT_CONFIG, "x", sError), CUserException);
    EXPECT_THROW(key.Open(nullptr, "x", sError), CUserException);
    EXPECT_TRUE(key.Open(HKEY_USERS, ".DEFAULT", sError)) << sError.c_str();
    EXPECT_STREQ("HKEY_USERS\\.DEFAULT", key.GetFullName());
}

TEST_F(SafeRegKeyTest, ReopeningClosesTheFirstHandle)
{
    ASSERT_TRUE(TsRegSetString("x", HKEY_CURRENT_USER, m_sKey + "\\Sub", "v"));
    CSafeRegKey key;
    CString sError;
    ASSERT_TRUE(key.Open(HKEY_CURRENT_USER, m_sKey, sError));
    HKEY hFirst = key.GetHandle();
    ASSERT_TRUE(key.OpenSub(key, "Sub", sError));
    EXPECT_NE(hFirst, key.GetHandle());
    EXPECT_EQ(m_sFull + "\\Sub", key.GetFullName());
    EXPECT_EQ(ERROR_INVALID_HANDLE, ::RegQueryInfoKeyA(hFirst, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                       nullptr, nullptr, nullptr, nullptr, nullptr));
    key.Close();
    EXPECT_EQ(nullptr, key.GetHandle());
}

TEST_F(SafeRegKeyTest, DeleteKeyTreeRemovesEveryLevel)
{
    for (const char* pszPath : {"\\Top\\L1a\\L2\\L3", "\\Top\\L1b", "\\Top\\L1a\\L2b"})
        ASSERT_TRUE(TsRegSetString("v", HKEY_CURRENT_USER, m_sKey + pszPath, "Value"));
    ASSERT_TRUE(TsRegSetString("v", HKEY_CURRENT_USER, m_sKey + "\\Keep", "Value"));

    EXPECT_TRUE(TsRegDeleteKeyTree(HKEY_CURRENT_USER, m_sKey, "Top"));
    EXPECT_FALSE(KeyExists(m_sKey + "\\Top"));
    EXPECT_TRUE(KeyExists(m_sKey + "\\Keep"));
    EXPECT_FALSE(TsRegDeleteKeyTree(HKEY_CURRENT_USER, m_sKey, "Top"));
    EXPECT_FALSE(TsRegDeleteKeyTree(HKEY_CURRENT_USER, m_sKey + "\\Nowhere", "Top"));
}

TEST_F(SafeRegKeyTest, ValueExists)
{
    ASSERT_TRUE(TsRegSetString("longer than four bytes", HKEY_CURRENT_USER, m_sKey, "Long"));
    ASSERT_TRUE(TsRegSetDword(1, HKEY_CURRENT_USER, m_sKey, "Small"));
    EXPECT_TRUE(TsRegValueExists(HKEY_CURRENT_USER, m_sKey, "Long"));
    EXPECT_TRUE(TsRegValueExists(HKEY_CURRENT_USER, m_sKey, "Small"));
    EXPECT_FALSE(TsRegValueExists(HKEY_CURRENT_USER, m_sKey, "Missing"));
    EXPECT_FALSE(TsRegValueExists(HKEY_CURRENT_USER, m_sKey + "\\Nowhere", "Long"));

    // A null key path asks the given key itself.
    HKEY h = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, ::RegOpenKeyExA(HKEY_CURRENT_USER, m_sKey, 0, KEY_READ, &h));
    EXPECT_TRUE(TsRegValueExists(h, nullptr, "Long"));
    EXPECT_FALSE(TsRegValueExists(h, nullptr, "Missing"));
    ::RegCloseKey(h);
}

TEST(ElevationPolicy, AddsAndRemovesEveryProgram)
{
    const char kBase[] = "SOFTWARE\\Microsoft\\Internet Explorer\\Low Rights\\ElevationPolicy\\";
    TsSetElevationPolicy(true, g_TsElevationPolicies, "C:\\Host\\Tessaly");
    int nRows = 0;
    for (const TsElevationPolicy* p = g_TsElevationPolicies; p->pszProgram; ++p, ++nRows) {
        SCOPED_TRACE(p->pszProgram);
        CString sKey = CString(kBase) + p->pszPolicyKey;
        DWORD dwPolicy = 0;
        CString sName, sPath;
        EXPECT_TRUE(TsRegGetDword(dwPolicy, HKEY_LOCAL_MACHINE, sKey, "Policy"));
        EXPECT_EQ(3u, dwPolicy);
        EXPECT_TRUE(TsRegGetString(sName, HKEY_LOCAL_MACHINE, sKey, "AppName"));
        EXPECT_STREQ(p->pszProgram, sName);
        EXPECT_TRUE(TsRegGetString(sPath, HKEY_LOCAL_MACHINE, sKey, "AppPath"));
        EXPECT_STREQ("C:\\Host\\Tessaly", sPath);
    }
    EXPECT_EQ(5, nRows);
    EXPECT_STREQ("{5b1e07c2-3f64-4103-8a17-00d0c94f21b7}", g_TsElevationPolicies[3].pszPolicyKey);
    EXPECT_STREQ("TessTaskBarIcon.exe", g_TsElevationPolicies[3].pszProgram);

    TsSetElevationPolicy(false, g_TsElevationPolicies, nullptr);
    for (const TsElevationPolicy* p = g_TsElevationPolicies; p->pszProgram; ++p) {
        SCOPED_TRACE(p->pszProgram);
        EXPECT_FALSE(TsRegValueExists(HKEY_LOCAL_MACHINE, CString(kBase) + p->pszPolicyKey, "Policy"));
    }
}
