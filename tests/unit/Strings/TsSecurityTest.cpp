#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "HelperProcess.h"
#include "Strings/SafeRegKey.h"
#include "Strings/TsLock.h"
#include "Strings/TsSecurity.h"
#include "Strings/TsU3.h"

namespace {

std::string SidText(PSID pSid)
{
    char* psz = nullptr;
    if (!pSid || !::ConvertSidToStringSidA(pSid, &psz))
        return "";
    std::string s = psz;
    ::LocalFree(psz);
    return s;
}

}  // namespace

TEST(TsSecurity, EveryoneAccessHasANullAccessList)
{
    CTsEveryoneAccess everyone;
    SECURITY_ATTRIBUTES* pSa = everyone.Get();
    ASSERT_NE(nullptr, pSa);
    EXPECT_EQ(sizeof(SECURITY_ATTRIBUTES), pSa->nLength);
    EXPECT_TRUE(pSa->bInheritHandle);
    BOOL bPresent = FALSE, bDefaulted = TRUE;
    PACL pDacl = reinterpret_cast<PACL>(1);
    ASSERT_TRUE(::GetSecurityDescriptorDacl(pSa->lpSecurityDescriptor, &bPresent, &pDacl, &bDefaulted));
    EXPECT_TRUE(bPresent);
    EXPECT_EQ(nullptr, pDacl);
}

TEST(TsSecurity, FunctionTableIsCompleteOnThisSystem)
{
    CTsAdvApi& api = TsGetAdvApi();
    EXPECT_TRUE(api.IsComplete());
    EXPECT_NE(nullptr, api.GetModule());
    EXPECT_EQ(reinterpret_cast<void*>(::GetProcAddress(api.GetModule(), "CredDeleteW")),
              reinterpret_cast<void*>(api.pfnCredDeleteW));
    CTsAdvApi loaded(false);   // only what this process already has
    EXPECT_EQ(api.GetModule(), loaded.GetModule());
    EXPECT_NE(nullptr, loaded.pfnCheckTokenMembership);
}

// Wine accepts labels on kernel objects without keeping them, and refuses them on files
// named by path, so only the results and the failure paths can be checked here. Before
// version 6 there are no labels: nothing is tried and every call succeeds.
TEST(TsSecurity, LabellingResults)
{
    const bool bVista = testutil::WindowsMajor() >= 6;
    ASSERT_EQ(bVista, IsVistaOrLater());
    HANDLE hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(S_OK, TsSetObjectIntegrity(SE_KERNEL_OBJECT, hEvent, nullptr));
    ::CloseHandle(hEvent);
    EXPECT_EQ(bVista ? E_HANDLE : S_OK, TsSetObjectIntegrity(SE_KERNEL_OBJECT, nullptr, nullptr));
    EXPECT_EQ(bVista ? E_HANDLE : S_OK,
              TsSetObjectIntegrity(SE_KERNEL_OBJECT, nullptr, reinterpret_cast<const char*>(-1)));

    testutil::CTempDir dir;
    EXPECT_EQ(bVista ? HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) : S_OK,
              TsSetFileSecurity(nullptr, (dir / "missing.txt").c_str(), true));
    EXPECT_EQ(bVista ? E_HANDLE : S_OK, TsSetFileSecurity(nullptr, nullptr, false));
}

TEST(TsSecurity, UserSidOfAnAdministrator)
{
    PSID pSid = reinterpret_cast<PSID>(1);
    if (testutil::WindowsMajor() < 6) {   // no identifiers before version 6
        EXPECT_FALSE(TsGetUserSid(pSid, nullptr));
        EXPECT_EQ(nullptr, pSid);
        return;
    }
    ASSERT_TRUE(TsGetUserSid(pSid, nullptr));   // Wine's user is an administrator
    ASSERT_NE(nullptr, pSid);
    // The process user's own identifier, copied.
    HANDLE hToken = nullptr;
    ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &hToken));
    BYTE buf[256];
    DWORD dwLen = 0;
    ASSERT_TRUE(::GetTokenInformation(hToken, TokenUser, buf, sizeof(buf), &dwLen));
    ::CloseHandle(hToken);
    EXPECT_TRUE(::EqualSid(pSid, reinterpret_cast<TOKEN_USER*>(buf)->User.Sid));
    EXPECT_NE(reinterpret_cast<TOKEN_USER*>(buf)->User.Sid, pSid);
    ::LocalFree(pSid);
}

TEST(TsSecurity, UserSidFromText)
{
    PSID pSid = reinterpret_cast<PSID>(1);
    if (testutil::WindowsMajor() < 6) {   // no identifiers before version 6
        EXPECT_FALSE(TsGetUserSid(pSid, "S-1-5-32-544"));
        EXPECT_EQ(nullptr, pSid);
        return;
    }
    ASSERT_TRUE(TsGetUserSid(pSid, "S-1-5-32-544"));
    EXPECT_EQ("S-1-5-32-544", SidText(pSid));
    ::LocalFree(pSid);
    EXPECT_FALSE(TsGetUserSid(pSid, "not a sid"));
    EXPECT_EQ(nullptr, pSid);
}

TEST(TsSecurity, AdministratorTest)
{
    // Wine runs every program as an administrator with user account control off.
    for (bool bLinked : {false, true}) {
        SCOPED_TRACE(bLinked);
        bool bAdmin = false;
        EXPECT_TRUE(TsIsUserAdmin(bAdmin, bLinked));
        EXPECT_TRUE(bAdmin);
    }
}

// A thread that impersonates the user with the administrators group for deny only stands
// for the non-elevated half of a split administrator login: the process token's linked
// (full) token still is an administrator's.
TEST(TsSecurity, LinkedTokenCountsOnlyWhenAsked)
{
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID pAdmins = nullptr;
    ASSERT_TRUE(::AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0,
                                           0, &pAdmins));
    HANDLE hToken = nullptr, hRestricted = nullptr, hImpersonation = nullptr;
    ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_ALL_ACCESS, &hToken));
    SID_AND_ATTRIBUTES disable = {pAdmins, 0};
    ASSERT_TRUE(::CreateRestrictedToken(hToken, 0, 1, &disable, 0, nullptr, 0, nullptr, &hRestricted));
    ASSERT_TRUE(::DuplicateToken(hRestricted, SecurityImpersonation, &hImpersonation));

    bool bPlainOk = false, bPlainAdmin = true, bLinkedOk = false, bLinkedAdmin = false;
    std::thread t([&] {
        if (!::SetThreadToken(nullptr, hImpersonation))
            return;
        bPlainOk = TsIsUserAdmin(bPlainAdmin, false);
        bLinkedOk = TsIsUserAdmin(bLinkedAdmin, true);
        ::SetThreadToken(nullptr, nullptr);
    });
    t.join();
    EXPECT_TRUE(bPlainOk);
    EXPECT_FALSE(bPlainAdmin);
    EXPECT_TRUE(bLinkedOk);
    // Linked tokens came with version 6: before it the thread's own answer stands.
    EXPECT_EQ(testutil::WindowsMajor() >= 6, bLinkedAdmin);

    ::CloseHandle(hImpersonation);
    ::CloseHandle(hRestricted);
    ::CloseHandle(hToken);
    ::FreeSid(pAdmins);
}

TEST(TsSecurity, UacFollowsThePolicyValue)
{
    const char kKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Policies\\System";
    DWORD dwSaved = 0;
    const bool bHadValue = TsRegGetDword(dwSaved, HKEY_LOCAL_MACHINE, kKey, "EnableLUA");

    TsRegDeleteValue(HKEY_LOCAL_MACHINE, kKey, "EnableLUA");
    EXPECT_TRUE(TsIsUacEnabled());   // missing counts as on
    ASSERT_TRUE(TsRegSetDword(0, HKEY_LOCAL_MACHINE, kKey, "EnableLUA"));
    EXPECT_FALSE(TsIsUacEnabled());
    ASSERT_TRUE(TsRegSetDword(1, HKEY_LOCAL_MACHINE, kKey, "EnableLUA"));
    EXPECT_TRUE(TsIsUacEnabled());
    ASSERT_TRUE(TsRegSetString("0", HKEY_LOCAL_MACHINE, kKey, "EnableLUA"));
    EXPECT_TRUE(TsIsUacEnabled());   // unreadable as a number counts as on

    if (bHadValue)
        TsRegSetDword(dwSaved, HKEY_LOCAL_MACHINE, kKey, "EnableLUA");
    else
        TsRegDeleteValue(HKEY_LOCAL_MACHINE, kKey, "EnableLUA");
}

// Wine reports the Windows version per program: the helper runs as on Windows XP, where
// nothing is labelled and no identifier is handed out.
TEST(TsSecurity, NothingIsDoneBeforeVersionSix)
{
    const char kAppKey[] = "Software\\Wine\\AppDefaults\\tshelper.exe";
    testutil::CTempDir dir;
    const std::string sMissing = "\"" + dir / "missing.txt" + "\"";

    const char kVista[] = "vista=1\nobject=0\nnohandle=80070006\nfile=80070002\nusersid=1\n";
    const char kOld[] = "vista=0\nobject=0\nnohandle=0\nfile=0\nusersid=0\n";
    // As the prefix's version: Windows 7 by default, XP or 10 when the run sets it.
    EXPECT_EQ(testutil::WindowsMajor() >= 6 ? kVista : kOld, RunHelper("version security " + sMissing));

    ASSERT_TRUE(TsRegSetString("winxp", HKEY_CURRENT_USER, kAppKey, "Version"));
    std::string sOld = RunHelper("version security " + sMissing);
    TsRegDeleteKeyTree(HKEY_CURRENT_USER, "Software\\Wine\\AppDefaults", "tshelper.exe");
    EXPECT_EQ(kOld, sOld);
}
