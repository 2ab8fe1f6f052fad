// Folders that programs are run from: private to the user, never somebody else's, and
// never a look-alike of the folder the system named.
#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <string>
#include <vector>

#include "Strings/TsAnsiPath.h"
#include "Strings/TsLog.h"
#include "Strings/TsSecurity.h"
#include "TestUtil.h"

using testutil::CTempDir;

namespace {

std::string SidText(PSID pSid)
{
    char* psz = nullptr;
    if (!pSid || !::ConvertSidToStringSidA(pSid, &psz))
        return "?";
    std::string s = psz;
    ::LocalFree(psz);
    return s;
}

std::string CurrentUser()
{
    HANDLE hToken = nullptr;
    ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &hToken);
    BYTE buf[256];
    DWORD cb = 0;
    std::string s = ::GetTokenInformation(hToken, TokenUser, buf, sizeof(buf), &cb)
                        ? SidText(reinterpret_cast<TOKEN_USER*>(buf)->User.Sid)
                        : "?";
    ::CloseHandle(hToken);
    return s;
}

// The trustees of the folder's access list other than the user, SYSTEM and the Administrators.
std::vector<std::string> OtherTrustees(const std::string& sPath)
{
    PACL pDacl = nullptr;
    PSECURITY_DESCRIPTOR pSD = nullptr;
    if (::GetNamedSecurityInfoA(sPath.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &pDacl,
                                nullptr, &pSD) != ERROR_SUCCESS)
        return {"<unreadable>"};
    std::vector<std::string> others;
    if (!pDacl)
        others.push_back("<null access list>");
    const std::string sUser = CurrentUser();
    for (WORD i = 0; pDacl && i < pDacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* pAce = nullptr;
        if (!::GetAce(pDacl, i, reinterpret_cast<void**>(&pAce)))
            continue;
        std::string sSid = SidText(&pAce->SidStart);
        if (sSid != sUser && sSid != "S-1-5-18" && sSid != "S-1-5-32-544")
            others.push_back(sSid);
    }
    ::LocalFree(pSD);
    return others;
}

// Puts a stand-in owner reader in place for one test.
class COwnerSeam {
public:
    explicit COwnerSeam(TsFileOwnerReader pfn) { g_pfnTsReadFileOwner = pfn; }
    ~COwnerSeam() { g_pfnTsReadFileOwner = TsReadFileOwner; }
    COwnerSeam(const COwnerSeam&) = delete;
    COwnerSeam& operator=(const COwnerSeam&) = delete;
};

bool OwnedBy(const char* pszSid, std::vector<BYTE>& sid)
{
    PSID p = nullptr;
    if (!::ConvertStringSidToSidA(pszSid, &p))
        return false;
    const BYTE* b = static_cast<const BYTE*>(p);
    sid.assign(b, b + ::GetLengthSid(p));
    ::LocalFree(p);
    return true;
}
bool OwnedByLocalService(const char*, std::vector<BYTE>& sid) { return OwnedBy("S-1-5-19", sid); }
bool OwnedByAdministrators(const char*, std::vector<BYTE>& sid) { return OwnedBy("S-1-5-32-544", sid); }

// Sets TMP and TEMP (in wide characters) for one test and puts the old values back.
class CTempVariables {
public:
    explicit CTempVariables(const std::wstring& wsFolder)
    {
        for (const wchar_t* pszName : {L"TMP", L"TEMP"}) {
            wchar_t wsz[1024] = L"";
            DWORD n = ::GetEnvironmentVariableW(pszName, wsz, 1024);
            m_old.push_back(n ? std::wstring(wsz) : std::wstring());
            ::SetEnvironmentVariableW(pszName, wsFolder.c_str());
        }
    }
    ~CTempVariables()
    {
        ::SetEnvironmentVariableW(L"TMP", m_old[0].empty() ? nullptr : m_old[0].c_str());
        ::SetEnvironmentVariableW(L"TEMP", m_old[1].empty() ? nullptr : m_old[1].c_str());
    }
    CTempVariables(const CTempVariables&) = delete;
    CTempVariables& operator=(const CTempVariables&) = delete;

private:
    std::vector<std::wstring> m_old;
};

std::wstring Wide(const std::string& s)
{
    return std::wstring(s.begin(), s.end());   // the test folders' own paths are ASCII
}

std::wstring LongWide(const std::string& sAnsi)
{
    wchar_t wsIn[MAX_PATH] = L"";
    ::MultiByteToWideChar(CP_ACP, 0, sAnsi.c_str(), -1, wsIn, MAX_PATH);
    wchar_t wsz[MAX_PATH] = L"";
    DWORD n = ::GetLongPathNameW(wsIn, wsz, MAX_PATH);
    return n && n < MAX_PATH ? std::wstring(wsz) : std::wstring(L"<none>");
}

}  // namespace

TEST(TsPrivateFolder, NewFoldersGrantNobodyElseAnything)
{
    CTempDir dir;
    // What Wine shows of a folder made plainly: everybody may read it.
    const std::string sPlain = dir / "plain";
    ASSERT_TRUE(::CreateDirectoryA(sPlain.c_str(), nullptr));
    EXPECT_EQ(std::vector<std::string>{"S-1-1-0"}, OtherTrustees(sPlain));

    const std::string sPrivate = dir / "a\\b\\Tessaly";
    CString sError;
    ASSERT_TRUE(TsMakePrivateFolder(sPrivate.c_str(), sError)) << sError.c_str();
    for (const std::string& s : {dir / "a", dir / "a\\b", sPrivate}) {
        SCOPED_TRACE(s);
        EXPECT_TRUE(testutil::FolderExists(s));
        EXPECT_EQ(std::vector<std::string>{}, OtherTrustees(s));
    }
    // A folder of ours made plainly earlier (by an earlier version) is taken. (It is given
    // the private access list again, which Windows passes on to what is inside; Wine keeps
    // neither a changed list nor inherited entries, so that part cannot be seen here.)
    EXPECT_TRUE(TsMakePrivateFolder(sPlain.c_str(), sError)) << sError.c_str();
}

TEST(TsPrivateFolder, SomebodyElsesFolderOrNoFullPathIsRefused)
{
    CTempDir dir;
    const std::string sFolder = dir / "Tessaly";
    ASSERT_TRUE(::CreateDirectoryA(sFolder.c_str(), nullptr));
    CString sError;
    {
        COwnerSeam seam(OwnedByLocalService);
        EXPECT_FALSE(TsMakePrivateFolder(sFolder.c_str(), sError));
        EXPECT_EQ("Cannot use folder " + sFolder + " (it belongs to another user)", std::string(sError.c_str()));
        EXPECT_FALSE(TsCheckFolderOwner(sFolder.c_str(), sError));
        EXPECT_EQ("Cannot use folder " + sFolder + " (it belongs to another user)", std::string(sError.c_str()));
        EXPECT_EQ(std::vector<std::string>{"S-1-1-0"}, OtherTrustees(sFolder)) << "left as it was";
    }
    {
        COwnerSeam seam(OwnedByAdministrators);
        EXPECT_TRUE(TsMakePrivateFolder(sFolder.c_str(), sError)) << sError.c_str();
        EXPECT_TRUE(TsCheckFolderOwner(sFolder.c_str(), sError)) << sError.c_str();
    }
    EXPECT_TRUE(TsCheckFolderOwner(sFolder.c_str(), sError)) << "the user's own: " << sError.c_str();

    for (const char* pszPath : {"", "Tessaly", "\\Tessaly", "R:Tessaly"}) {
        SCOPED_TRACE(pszPath);
        EXPECT_FALSE(TsMakePrivateFolder(pszPath, sError));
        EXPECT_EQ(*pszPath ? std::string("Cannot use folder ") + pszPath + " (it is not a full path)"
                           : std::string("Cannot use folder (it is not a full path)"),
                  sError.c_str());
    }
}

// Another user's link anywhere on the way: the folder is refused, naming the link, and
// nothing is made or changed behind it.
TEST(TsPrivateFolder, ALinkOnTheWayRefusesTheFolder)
{
    CTempDir dir;
    CTempDir theirs;
    ASSERT_TRUE(testutil::MakeFolderLink(dir / "_ts", theirs.Path()));
    ASSERT_TRUE(testutil::CreateFolders(dir / "real"));
    ASSERT_TRUE(testutil::MakeFolderLink(dir / "real\\Tessaly", theirs.Path()));
    struct Row {
        std::string sFolder;
        std::string sLink;
    };
    const Row kRows[] = {
        {dir / "_ts", dir / "_ts"},
        {dir / "_ts\\Tessaly", dir / "_ts"},
        {dir / "_ts\\a\\Tessaly", dir / "_ts"},
        {dir / "real\\Tessaly", dir / "real\\Tessaly"},
    };
    for (const Row& r : kRows) {
        SCOPED_TRACE(r.sFolder);
        CString sError;
        EXPECT_FALSE(TsMakePrivateFolder(r.sFolder.c_str(), sError));
        EXPECT_EQ("Cannot use folder " + r.sFolder + " (" + r.sLink + " is a link)", std::string(sError.c_str()));
    }
    EXPECT_FALSE(testutil::FolderExists(theirs / "Tessaly"));
    EXPECT_FALSE(testutil::FolderExists(theirs / "a"));
    EXPECT_EQ(std::vector<std::string>{"S-1-1-0"}, OtherTrustees(theirs.Path())) << "left as it was";
    testutil::RemoveFolderLink(dir / "_ts");
    testutil::RemoveFolderLink(dir / "real\\Tessaly");
}

// The shared fallback folder of the Windows drive is used only when it is the user's (or
// made now, private); a foreign one means no writable folder at all.
TEST(TsPrivateFolder, FallbackFolderIsMadePrivateAndRefusedWhenForeign)
{
    const std::string sFallback = "C:\\_ts";
    const bool bExisted = testutil::FolderExists(sFallback);
    {
        CTempVariables temp(L"C:\\no\\such\\temp");
        CString sFolder;
        ASSERT_TRUE(GetWritableTempFolder(sFolder));
        EXPECT_STREQ(sFallback.c_str(), sFolder);
        EXPECT_EQ(std::vector<std::string>{}, OtherTrustees(sFallback));

        COwnerSeam seam(OwnedByLocalService);
        EXPECT_FALSE(GetWritableTempFolder(sFolder));
        CString sTrace;
        TsGetTraceText(sTrace);
        EXPECT_NE(-1, sTrace.Find("Fallback folder refused: Cannot use folder C:\\_ts (it belongs to another user)"));
    }
    if (!bExisted)
        ::RemoveDirectoryA(sFallback.c_str());
}

// The temporary folder under a name the ANSI code page (1252 here) cannot hold: its short
// name, never the question marks of the ANSI call, nor the look-alike "Lukasz" of "Łukasz".
TEST(TsAnsiPath, ExactNameElseShortNameNeverALookAlike)
{
    ASSERT_EQ(1252u, ::GetACP()) << "the names below are chosen for a Western code page";
    CTempDir dir;
    const std::wstring wsRoot = Wide(dir.Path());
    ASSERT_TRUE(::CreateDirectoryA((dir / "Lukasz").c_str(), nullptr));
    struct Row {
        const wchar_t* pszName;
        const char* pszAnsiName;   // the long name in 1252, or null: the short name, plain ASCII
    };
    static const Row kRows[] = {
        {L"J\u00fcrgen", "J\xfcrgen"},    // Jürgen: inside 1252
        {L"\u6570\u636e", nullptr},       // 数据
        {L"\u0141ukasz", nullptr},         // Łukasz, next to a Lukasz
    };
    for (const Row& r : kRows) {
        const std::wstring wsFolder = wsRoot + L"\\" + r.pszName;
        SCOPED_TRACE(TsUtf8Of(wsFolder.c_str()).c_str());
        ASSERT_TRUE(::CreateDirectoryW(wsFolder.c_str(), nullptr));

        CString sExact;
        ASSERT_TRUE(TsExactAnsiPath(wsFolder.c_str(), sExact));
        EXPECT_EQ(wsFolder, LongWide(sExact.c_str())) << sExact.c_str() << " names that very folder";
        if (r.pszAnsiName) {
            EXPECT_EQ(dir / r.pszAnsiName, std::string(sExact.c_str()));
        } else {
            const std::string s = sExact.c_str();
            EXPECT_TRUE(std::all_of(s.begin(), s.end(), [](char c) { return c > 0 && c != '?'; })) << s;
        }

        CTempVariables temp(wsFolder + L"\\");
        CString sTemp;
        ASSERT_TRUE(GetWritableTempFolder(sTemp));
        EXPECT_STREQ(sExact, sTemp);
    }
    CString sMissing;
    EXPECT_FALSE(TsExactAnsiPath((wsRoot + L"\\\u6570\u636e-missing").c_str(), sMissing))
        << "no exact form of a folder that does not exist";
}
