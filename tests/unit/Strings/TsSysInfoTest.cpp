#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>

#include <string>

#include "LocalizationStrings/LocalizedStringsMap.h"
#include "Strings/SafeRegKey.h"
#include "Strings/TsLock.h"
#include "Strings/TsSharedData.h"
#include "Strings/TsSysInfo.h"
#include "Strings/TsTls.h"
#include "TestUtil.h"

using testutil::CTempDir;

namespace {

const char kTessalyKey[] = "Software\\Norvane Works\\Tessaly";
const char kMakerKey[] = "Software\\Norvane Works";
const char kShellFolders[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
const char kUserShellFolders[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";

std::string Lines(const CString& s, int nFirst, int nCount)
{
    std::string text = s.c_str();
    size_t nStart = 0;
    for (int i = 0; i < nFirst; ++i)
        nStart = text.find('\n', nStart) + 1;
    size_t nEnd = nStart;
    for (int i = 0; i < nCount && nEnd != std::string::npos; ++i)
        nEnd = text.find('\n', nEnd + (i ? 1 : 0));
    return text.substr(nStart, nEnd == std::string::npos ? std::string::npos : nEnd - nStart);
}

// Saves a registry value (any type) and puts it back on destruction.
class CSavedValue {
public:
    CSavedValue(HKEY hRoot, const char* pszKey, const char* pszName) : m_hRoot(hRoot), m_sKey(pszKey), m_sName(pszName)
    {
        HKEY hKey;
        if (::RegOpenKeyExA(hRoot, pszKey, 0, KEY_READ, &hKey) != ERROR_SUCCESS)
            return;
        char buf[2048];
        DWORD cb = sizeof(buf);
        m_bExisted = ::RegQueryValueExA(hKey, pszName, nullptr, &m_dwType, reinterpret_cast<BYTE*>(buf), &cb) == ERROR_SUCCESS;
        if (m_bExisted)
            m_data.assign(buf, cb);
        ::RegCloseKey(hKey);
    }
    ~CSavedValue()
    {
        HKEY hKey;
        if (::RegCreateKeyExA(m_hRoot, m_sKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey, nullptr) != ERROR_SUCCESS)
            return;
        if (m_bExisted)
            ::RegSetValueExA(hKey, m_sName.c_str(), 0, m_dwType, reinterpret_cast<const BYTE*>(m_data.data()),
                             static_cast<DWORD>(m_data.size()));
        else
            ::RegDeleteValueA(hKey, m_sName.c_str());
        ::RegCloseKey(hKey);
    }
    CSavedValue(const CSavedValue&) = delete;
    CSavedValue& operator=(const CSavedValue&) = delete;

private:
    HKEY m_hRoot;
    std::string m_sKey, m_sName, m_data;
    DWORD m_dwType = 0;
    bool m_bExisted = false;
};

}  // namespace

TEST(VersionRecord, FilledOnceFromTheSystem)
{
    const TsVersionRecord& ver = TsGetVersionRecord();
    OSVERSIONINFOA os = {};
    os.dwOSVersionInfoSize = sizeof(os);
    ASSERT_TRUE(::GetVersionExA(&os));
    EXPECT_EQ(1u, ver.bInitialized);
    EXPECT_EQ(os.dwMajorVersion, ver.dwMajorVersion);
    EXPECT_EQ(os.dwMinorVersion, ver.dwMinorVersion);
    EXPECT_EQ(os.dwBuildNumber, ver.dwBuildNumber);
    EXPECT_EQ(static_cast<DWORD>(VER_PLATFORM_WIN32_NT), ver.dwPlatformId);
    EXPECT_STREQ(os.szCSDVersion, ver.szCSDVersion);
    // 5.2 is a server's version (Windows XP x64 shares it with Server 2003); Wine's later
    // versions are workstations.
    EXPECT_EQ(os.dwMajorVersion == 5 && os.dwMinorVersion == 2 ? 1u : 0u, ver.bServer);
    EXPECT_NE(0u, ver.dwComCtlVersion);
    // Internet Explorer from the registry's "Version": 9.11.9600.x under Wine.
    DWORD dwMajor = 0, dwMinor = 0, dwBuild = 0;
    ASSERT_TRUE(GetBrowserVersion(dwMajor, dwMinor, dwBuild));
    EXPECT_EQ(dwMajor, ver.dwIEMajor);
    EXPECT_EQ(dwMinor, ver.dwIEMinor);
    EXPECT_EQ(dwBuild, ver.dwIEBuild);
    EXPECT_NE(0u, dwMajor);

    InitVersionInfo();   // a second call changes nothing
    EXPECT_EQ(&ver, &TsGetVersionRecord());
    EXPECT_EQ(dwMajor, TsGetVersionRecord().dwIEMajor);
}

TEST(VersionRecord, BrowserVersionFallsBackToTheLibrary)
{
    CSavedValue saved(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Internet Explorer", "Version");
    DLLVERSIONINFO info = {};
    ASSERT_NE(0u, GetDllVersion("shdocvw.dll", &info));
    for (const char* pszVersion : {"0.1.2.3", "11.0.9600", "garbage"}) {
        SCOPED_TRACE(pszVersion);
        ASSERT_TRUE(TsRegSetString(pszVersion, HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Internet Explorer", "Version"));
        DWORD dwMajor = 0, dwMinor = 0, dwBuild = 0;
        ASSERT_TRUE(GetBrowserVersion(dwMajor, dwMinor, dwBuild));
        EXPECT_EQ(info.dwMajorVersion, dwMajor);
        EXPECT_EQ(info.dwMinorVersion, dwMinor);
        EXPECT_EQ(info.dwBuildNumber, dwBuild);
    }
    ASSERT_TRUE(TsRegSetString("8.0.6001.18702", HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Internet Explorer", "Version"));
    DWORD dwMajor = 0, dwMinor = 0, dwBuild = 0;
    ASSERT_TRUE(GetBrowserVersion(dwMajor, dwMinor, dwBuild));
    EXPECT_EQ(8u, dwMajor);
    EXPECT_EQ(0u, dwMinor);
    EXPECT_EQ(6001u, dwBuild);

    EXPECT_EQ(0u, GetDllVersion("kernel32.dll", &info));   // no DllGetVersion
    EXPECT_EQ(0u, GetDllVersion("no-such-library.dll", nullptr));
}

TEST(SpecialFolders, CommonAppDataIsCached)
{
    CSavedValue lm(HKEY_LOCAL_MACHINE, kTessalyKey, "Common AppData Path");
    CSavedValue cu(HKEY_CURRENT_USER, kTessalyKey, "Common AppData Path");
    TsRegDeleteValue(HKEY_LOCAL_MACHINE, kTessalyKey, "Common AppData Path");
    TsRegDeleteValue(HKEY_CURRENT_USER, kTessalyKey, "Common AppData Path");

    char szShell[MAX_PATH];
    ASSERT_EQ(S_OK, ::SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, szShell));
    EXPECT_STREQ(szShell, GetSpecialFolder(CSIDL_COMMON_APPDATA));
    CString sLm, sCu;
    EXPECT_TRUE(TsRegGetString(sLm, HKEY_LOCAL_MACHINE, kTessalyKey, "Common AppData Path"));
    EXPECT_TRUE(TsRegGetString(sCu, HKEY_CURRENT_USER, kTessalyKey, "Common AppData Path"));
    EXPECT_STREQ(szShell, sLm);
    EXPECT_STREQ(szShell, sCu);

    // A cached value is the answer, without the shell (even one that does not exist), and
    // the cache is not written again: the machine's copy first, then the user's.
    ASSERT_TRUE(TsRegSetString("Q:\\Machine", HKEY_LOCAL_MACHINE, kTessalyKey, "Common AppData Path"));
    ASSERT_TRUE(TsRegSetString("Q:\\User", HKEY_CURRENT_USER, kTessalyKey, "Common AppData Path"));
    EXPECT_STREQ("Q:\\Machine", GetSpecialFolder(CSIDL_COMMON_APPDATA));
    TsRegDeleteValue(HKEY_LOCAL_MACHINE, kTessalyKey, "Common AppData Path");
    EXPECT_STREQ("Q:\\User", GetSpecialFolder(CSIDL_COMMON_APPDATA));
    EXPECT_FALSE(TsRegGetString(sLm, HKEY_LOCAL_MACHINE, kTessalyKey, "Common AppData Path"));
}

TEST(SpecialFolders, ShellFoldersWithoutTrailingBackslash)
{
    for (int nCsidl : {CSIDL_APPDATA, CSIDL_PERSONAL, CSIDL_LOCAL_APPDATA, CSIDL_PROGRAM_FILES, CSIDL_WINDOWS,
                       CSIDL_SYSTEM, CSIDL_PROFILE, CSIDL_COMMON_DOCUMENTS}) {
        SCOPED_TRACE(nCsidl);
        char szShell[MAX_PATH];
        ASSERT_EQ(S_OK, ::SHGetFolderPathA(nullptr, nCsidl, nullptr, 0, szShell));
        EXPECT_STREQ(szShell, GetSpecialFolder(nCsidl));
    }
    EXPECT_STREQ("", GetSpecialFolder(CSIDL_DRIVES));   // a virtual folder has no path
}

TEST(SpecialFolders, RegistryRecordsAsTheLastResort)
{
    // Wine's shell always answers, and rewrites Shell Folders when asked; the registry
    // step is checked on its own.
    struct Case {
        int csidl;
        HKEY root;
        const char* key;
        const char* value;
    };
    const Case kCases[] = {
        {CSIDL_APPDATA, HKEY_CURRENT_USER, kShellFolders, "AppData"},
        {CSIDL_COMMON_APPDATA, HKEY_LOCAL_MACHINE, kShellFolders, "Common AppData"},
        {CSIDL_COMMON_PROGRAMS, HKEY_LOCAL_MACHINE, kShellFolders, "Common Programs"},
        {CSIDL_PROGRAMS, HKEY_CURRENT_USER, kShellFolders, "Programs"},
        {CSIDL_PROGRAM_FILES, HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion", "ProgramFilesDir"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.value);
        CSavedValue saved(c.root, c.key, c.value);
        std::string sMark = std::string("C:\\Recorded\\") + c.value + "\\";
        ASSERT_TRUE(TsRegSetString(sMark.c_str(), c.root, c.key, c.value));
        EXPECT_EQ(sMark, GetSpecialFolderFromRegistry(c.csidl).c_str());
    }
    EXPECT_STREQ("", GetSpecialFolderFromRegistry(CSIDL_PERSONAL));   // no registry record kept for it
}

// --- the desktop edition ------------------------------------------------------------

namespace {

const char kHelperClsid[] = "{3f9a61c4-2b07-11d4-a85e-0050d2c71f3b}";
const char kToolbarClsid[] = "{3f9a61c0-2b07-11d4-a85e-0050d2c71f3b}";
const std::string kBhoKey =
    std::string("Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects\\") + kHelperClsid;
const char kToolbarKey[] = "Software\\Microsoft\\Internet Explorer\\Toolbar";
const std::string kExtSettings = "Software\\Microsoft\\Windows\\CurrentVersion\\Ext\\Settings\\";

// Registry keys of an installed desktop edition, removed again by the fixture.
class DesktopEdition : public ::testing::Test {
protected:
    void SetUp() override
    {
        Clean();
        m_sLibrary = m_dir / "tessaly.dll";
        ASSERT_TRUE(::CopyFileA((testutil::ModuleFolder() + "\\tsver_small.dll").c_str(), m_sLibrary.c_str(), FALSE));
    }
    void TearDown() override { Clean(); }
    static void Clean()
    {
        TsRegDeleteKeyTree(HKEY_LOCAL_MACHINE,
                           "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects", kHelperClsid);
        TsRegDeleteValue(HKEY_LOCAL_MACHINE, kToolbarKey, kToolbarClsid);
        TsRegDeleteKeyTree(HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\Ext\\Settings", kHelperClsid);
        TsRegDeleteKeyTree(HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\Ext\\Settings", kToolbarClsid);
        TsRegDeleteKeyTree(HKEY_CLASSES_ROOT, "CLSID", kHelperClsid);
        TsRegDeleteKeyTree(HKEY_CLASSES_ROOT, "CLSID", kToolbarClsid);
    }
    static void RegisterHelper() { CreateKey(HKEY_LOCAL_MACHINE, kBhoKey); }
    static void RegisterToolbar() { ASSERT_TRUE(TsRegSetString("", HKEY_LOCAL_MACHINE, kToolbarKey, kToolbarClsid)); }
    static void Disable(const char* pszClsid) { CreateKey(HKEY_CURRENT_USER, kExtSettings + pszClsid + "\\Version"); }
    void SetLibrary(const char* pszClsid)
    {
        ASSERT_TRUE(TsRegSetString(m_sLibrary.c_str(), HKEY_CLASSES_ROOT,
                                   (std::string("CLSID\\") + pszClsid + "\\InprocServer32").c_str(), ""));
    }
    static void CreateKey(HKEY hRoot, const std::string& sKey)
    {
        CSafeRegKey key;
        CString sError;
        ASSERT_TRUE(key.Create(hRoot, sKey.c_str(), sError)) << sError.c_str();
    }

    CTempDir m_dir;
    std::string m_sLibrary;
};

}  // namespace

TEST_F(DesktopEdition, HelperObjectWithItsLibrary)
{
    CString sLibrary;
    EXPECT_FALSE(IsDesktopEditionInstalled());
    RegisterHelper();
    EXPECT_FALSE(IsDesktopEditionInstalled());   // no library named
    SetLibrary(kHelperClsid);
    EXPECT_TRUE(IsDesktopEditionInstalled());
    EXPECT_TRUE(FindDesktopEditionAddOn(sLibrary, true));
    EXPECT_STREQ(m_sLibrary.c_str(), sLibrary);

    Disable(kHelperClsid);
    EXPECT_FALSE(IsDesktopEditionInstalled());
    EXPECT_TRUE(FindDesktopEditionAddOn(sLibrary, false));   // the user's choice not asked for

    ASSERT_TRUE(::DeleteFileA(m_sLibrary.c_str()));
    EXPECT_FALSE(FindDesktopEditionAddOn(sLibrary, false));  // keys left, library gone
    EXPECT_STREQ(m_sLibrary.c_str(), sLibrary);
}

TEST_F(DesktopEdition, ToolbarAlone)
{
    RegisterToolbar();
    SetLibrary(kToolbarClsid);   // only the toolbar's class names the library
    CString sLibrary;
    EXPECT_TRUE(FindDesktopEditionAddOn(sLibrary, true));
    EXPECT_STREQ(m_sLibrary.c_str(), sLibrary);
    Disable(kHelperClsid);       // disabling the other part does not matter
    EXPECT_TRUE(IsDesktopEditionInstalled());
    Disable(kToolbarClsid);
    EXPECT_FALSE(IsDesktopEditionInstalled());
    RegisterHelper();            // registered but disabled as well
    EXPECT_FALSE(IsDesktopEditionInstalled());
}

// --- memory, adapter and the system description ----------------------------------------

TEST(SystemFacts, MemoryStatusLine)
{
    const DWORDLONG kMB = 1024 * 1024;
    EXPECT_STREQ("Mem %=0 tp=4096 ap=1 tf=1 af=2 tls=7", FormatMemoryStatus(0, 0, 1, kMB, kMB + 1, 7));
    EXPECT_STREQ("Mem %=55 tp=8192 ap=4096 tf=12288 af=3 tls=0",
                 FormatMemoryStatus(55, 8192 * kMB, 4096 * kMB, 12288 * kMB, 2 * kMB + 5, 0));

    CString s = GetMemoryStatusText();
    EXPECT_EQ(0, s.Find("Mem %="));
    EXPECT_STREQ(("tls=" + std::to_string(TsGetTlsIndex())).c_str(), s.Mid(s.ReverseFind(' ') + 1));
    EXPECT_EQ(-1, s.Find("tp=4096 "));   // the machine has memory
}

TEST(SystemFacts, MozillaAdapterVersion)
{
    CSavedValue pack(HKEY_CURRENT_USER, kMakerKey, "MozAdpPack");
    CSavedValue version(HKEY_CURRENT_USER, kMakerKey, "MozAdpVersion");
    CSavedValue date(HKEY_CURRENT_USER, kMakerKey, "MozAdpRelDate");
    for (const char* pszName : {"MozAdpPack", "MozAdpVersion", "MozAdpRelDate"})
        TsRegDeleteValue(HKEY_CURRENT_USER, kMakerKey, pszName);
    EXPECT_STREQ("", GetMozillaAdapterVersion(true));
    ASSERT_TRUE(TsRegSetString("2.1", HKEY_CURRENT_USER, kMakerKey, "MozAdpVersion"));
    EXPECT_STREQ("//2.1", GetMozillaAdapterVersion(true));
    EXPECT_STREQ("", GetMozillaAdapterVersion(false));
    ASSERT_TRUE(TsRegSetString("FF31", HKEY_CURRENT_USER, kMakerKey, "MozAdpPack"));
    ASSERT_TRUE(TsRegSetString("2010-12-01", HKEY_CURRENT_USER, kMakerKey, "MozAdpRelDate"));
    EXPECT_STREQ("FF31/2010-12-01/2.1", GetMozillaAdapterVersion(true));
    EXPECT_STREQ("FF31", GetMozillaAdapterVersion(false));

    // The adapter library below the current folder wins over the registry.
    CTempDir dir;
    ASSERT_TRUE(testutil::CreateFolders(dir / "Firefox\\components"));
    ASSERT_TRUE(::CopyFileA((testutil::ModuleFolder() + "\\tsver_small.dll").c_str(),
                            (dir / "Firefox\\components\\tsproxy_31.dll").c_str(), FALSE));
    char szOld[MAX_PATH];
    ::GetCurrentDirectoryA(MAX_PATH, szOld);
    ASSERT_TRUE(::SetCurrentDirectoryA(dir.Path().c_str()));
    CString sFile = GetMozillaAdapterVersion(false);
    ::SetCurrentDirectoryA(szOld);
    EXPECT_STREQ("1-2-3", sFile);
}

namespace {

// The values the description reads, cleared for the test and restored afterwards.
class SystemDescription : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char* pszName : {"RootUserDataDirPort", "RootUserDataDir", "ToolbandVisible", "WholeLineToolbar"})
            TsRegDeleteValue(HKEY_CURRENT_USER, kTessalyKey, pszName);
        for (const char* pszName : {"MozAdpPack", "MozAdpVersion", "MozAdpRelDate"})
            TsRegDeleteValue(HKEY_CURRENT_USER, kMakerKey, pszName);
        TsRegDeleteKeyTree(HKEY_CURRENT_USER, kMakerKey, "Tessaly for Palm");
        TsRegDeleteKeyTree(HKEY_CURRENT_USER, kMakerKey, "Tessaly for Pocket PC");
        SetCurrentLanguageName("");
    }
    void TearDown() override { SetUp(); }

    CSavedValue m_bnp{HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\BrowseNewProcess",
                      "BrowseNewProcess"};
};

}  // namespace

TEST_F(SystemDescription, ShortForm)
{
    const TsVersionRecord& ver = TsGetVersionRecord();
    CString s = GetSystemDescription("", "", 0, "", "", false, false);
    EXPECT_EQ("V 6.10.2 (, " + std::string(GetSystemLanguageAbbrev().c_str()) + ") Dec 26 2010 17:28:08 ", Lines(s, 0, 1));
    char szIe[128];
    wsprintfA(szIe, "IE %lu.%lu.%lu bnp= lm=0 tb=-1 wl=-1 tc=0 bc=0 ", ver.dwIEMajor, ver.dwIEMinor, ver.dwIEBuild);
    EXPECT_EQ(szIe, Lines(s, 1, 1));
    std::string sOs = Lines(s, 2, 1);
    char szOs[256];
    const bool bServer = ver.dwMajorVersion == 5 && ver.dwMinorVersion == 2;   // as above
    wsprintfA(szOs, "OS %lu.%lu build %lu (%s) p=2 %s t=", ver.dwMajorVersion, ver.dwMinorVersion, ver.dwBuildNumber,
              ver.szCSDVersion, bServer ? "(svr)" : "");
    EXPECT_EQ(0u, sOs.find(szOs)) << sOs;
    EXPECT_EQ(sOs.size() - 44, sOs.find("  No Mozilla Adapter No Palm TS No Pocket TS")) << sOs;
    EXPECT_EQ("\n", Lines(s, 3, 2));   // RootUserDataDir and RootUserDataDirPort, both empty
    EXPECT_EQ(testutil::ModuleFolder() + "\\strings_tests.exe:0.0.0.0", Lines(s, 5, 1));
    EXPECT_EQ("", Lines(s, 6, 1));
}

TEST_F(SystemDescription, FilledFromTheRegistryAndTheCaller)
{
    ASSERT_TRUE(TsRegSetString("G:\\My Tessaly Data", HKEY_CURRENT_USER, kTessalyKey, "RootUserDataDirPort"));
    ASSERT_TRUE(TsRegSetString("C:\\Data", HKEY_CURRENT_USER, kTessalyKey, "RootUserDataDir"));
    ASSERT_TRUE(TsRegSetDword(1, HKEY_CURRENT_USER, kTessalyKey, "ToolbandVisible"));
    ASSERT_TRUE(TsRegSetDword(0, HKEY_CURRENT_USER, kTessalyKey, "WholeLineToolbar"));
    ASSERT_TRUE(TsRegSetString("yes", HKEY_CURRENT_USER,
                               "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\BrowseNewProcess", "BrowseNewProcess"));
    ASSERT_TRUE(TsRegSetString("5.1", HKEY_CURRENT_USER, "Software\\Norvane Works\\Tessaly for Palm", "Version"));
    ASSERT_TRUE(TsRegSetString("FF31", HKEY_CURRENT_USER, kMakerKey, "MozAdpPack"));
    SetCurrentLanguageName("de-German");

    CString s = GetSystemDescription("first", "second", 0, "third", "", true, false);
    EXPECT_EQ("V 6.10.2 (de-German, " + std::string(GetSystemLanguageAbbrev().c_str()) + ") Dec 26 2010 17:28:08 first",
              Lines(s, 0, 1));
    EXPECT_EQ("", Lines(s, 1, 1));   // the line break after the first text
    EXPECT_NE(std::string::npos, Lines(s, 2, 1).find(" bnp=yes lm=0 tb=1 wl=0 tc=0 bc=0 third")) << s.c_str();
    std::string sOs = Lines(s, 3, 1);
    EXPECT_NE(std::string::npos, sOs.find(" second Mozilla Adapter FF31// (tbi) Palm TS 5.1: Free No Pocket TS")) << sOs;
    EXPECT_EQ("C:\\Data\nG:\\My Tessaly Data", Lines(s, 4, 2));

    // The caller's adapter text, and the long form.
    CString sLong = GetSystemDescription("", "", 0, "", "7-0-1", false, true);
    EXPECT_EQ(0, sLong.Find("Tessaly (R) Version 6.10.2 (de-German, "));
    EXPECT_NE(-1, sLong.Find("\nIE: "));
    EXPECT_NE(-1, sLong.Find("\nMozilla Adapter 7-0-1\nPalm TS 5.1: Free, No Pocket TS\nC:\\Data\nG:\\My Tessaly Data\n"))
        << sLong.c_str();
}

TEST_F(SystemDescription, DoubleMarkFromTheSharedBlock)
{
    EXPECT_STREQ("\n", GetSystemDescription("", "", 0, "", "", false, false).Right(1));   // not connected
    bool bCreated = false;
    DWORD dwError = 0;
    ASSERT_TRUE(TsConnectSharedData(bCreated, dwError));
    {
        CTsSingleLock lock("SystemDescriptionTest", &TsInterprocessMutex(), true);
        g_pTsSharedData->bDoubleFlag = 1;
    }
    CString s = GetSystemDescription("", "", 0, "", "", false, false);
    {
        CTsSingleLock lock("SystemDescriptionTest", &TsInterprocessMutex(), true);
        g_pTsSharedData->bDoubleFlag = 0;
    }
    TsDisconnectShared();
    EXPECT_STREQ("\nDOUBLE ", s.Right(8));
}
