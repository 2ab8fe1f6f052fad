// The stop sequence's own pieces: the check of the host folder it deletes in, and the
// removal of the machine-wide keys the start left empty. The sequence as a whole runs in
// the end-to-end tests.
#include <gtest/gtest.h>

#include <shlobj.h>

#include <string>

#include "ProfileFolders.h"
#include "TestUtil.h"
#include "Strings/TsSafeFs.h"
#include "starter/StopSequence.h"

namespace {

using testutil::CTempDir;

std::string ShellFolder(int nCsidl)
{
    char sz[MAX_PATH] = "";
    ::SHGetFolderPathA(nullptr, nCsidl, nullptr, SHGFP_TYPE_CURRENT, sz);
    return sz;
}

class HostFolderCheck : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(testutil::CreateFolders(m_dir / "Host\\Tessaly\\Firefox"));
        ASSERT_TRUE(testutil::WriteFileBytes(m_dir / "Host\\Tessaly\\readme.txt", "x"));
        ASSERT_TRUE(testutil::CreateFolders(m_dir / "Elsewhere"));
        ASSERT_TRUE(testutil::WriteFileBytes(m_dir / "Plain\\Tessaly", "a file"));
        ASSERT_TRUE(testutil::CreateFolders(m_dir / "Linked"));
        ASSERT_TRUE(testutil::MakeFolderLink(m_dir / "Linked\\Tessaly", m_dir / "Elsewhere"));
        ASSERT_TRUE(testutil::MakeFolderLink(m_dir / "LinkAbove", m_dir / "Host"));
    }
    void TearDown() override
    {
        testutil::RemoveFolderLink(m_dir / "Linked\\Tessaly");
        testutil::RemoveFolderLink(m_dir / "LinkAbove");
    }

    CTempDir m_dir;
};

TEST_F(HostFolderCheck, OnlyAnUnpackFolderOfTheStarterPasses)
{
    const HostFolderGuards real = GetHostFolderGuards();
    ASSERT_FALSE(real.sWindows.IsEmpty());
    ASSERT_FALSE(real.sProfile.IsEmpty());
    // Guards placed in the test folder, for the cases no real host has.
    HostFolderGuards inside = real;
    inside.sProfile = (m_dir / "Host\\Tessaly\\Users\\me").c_str();
    HostFolderGuards windowsInside = real;
    windowsInside.sWindows = (m_dir / "Host\\Tessaly").c_str();
    HostFolderGuards systemInside = real;
    systemInside.sSystem = (m_dir / "Host\\Tessaly\\system32").c_str();
    HostFolderGuards tempIsIt = real;
    tempIsIt.sTemp = (m_dir / "Host\\Tessaly").c_str();
    HostFolderGuards tempAbove = real;
    tempAbove.sTemp = (m_dir / "Host").c_str();

    const std::string sGood = m_dir / "Host\\Tessaly";
    struct Row {
        std::string folder;
        const HostFolderGuards* guards;
        std::string reason;   // empty: passes
    };
    const Row kRows[] = {
        {sGood, &real, ""},
        {m_dir / "Host\\TESSALY", &real, ""},                            // no case
        {sGood, &tempAbove, ""},                                         // the usual place: below the temporary folder
        {"", &real, " (not a full local path)"},
        {"Tessaly", &real, " (not a full local path)"},
        {"\\\\server\\share\\Tessaly", &real, " (not a full local path)"},
        {"C:Tessaly", &real, " (not a full local path)"},
        {"C:\\", &real, " (not a full local path)"},
        {sGood + "\\", &real, " (not a full local path)"},
        {m_dir / "Host\\Tessaly\\..\\Tessaly", &real, " (not a full local path)"},
        {m_dir / "Host\\.\\Tessaly", &real, " (not a full local path)"},
        {m_dir / "Host\\\\Tessaly", &real, " (not a full local path)"},
        {m_dir / "Host/Tessaly", &real, " (not a full local path)"},
        {m_dir / "Host.\\Tessaly", &real, " (not a full local path)"},
        {sGood + ":stream", &real, " (not a full local path)"},
        {real.sWindows.c_str(), &real, " (not named Tessaly)"},
        {ShellFolder(CSIDL_PERSONAL), &real, " (not named Tessaly)"},
        {m_dir / "Host", &real, " (not named Tessaly)"},
        {m_dir / "Host\\Tessaly\\Firefox", &real, " (not named Tessaly)"},
        {m_dir / "Missing\\Tessaly", &real, " (no such folder)"},
        {m_dir / "Plain\\Tessaly", &real, " (not a folder)"},
        {m_dir / "Linked\\Tessaly", &real, " (" + m_dir / "Linked\\Tessaly is a link)"},
        {m_dir / "LinkAbove\\Tessaly", &real, " (" + m_dir / "LinkAbove is a link)"},
        {m_dir / "Plain\\Tessaly\\Tessaly", &real, " (" + m_dir / "Plain\\Tessaly is not a folder)"},
        {sGood, &inside, " (the user's profile folder or above it)"},
        {sGood, &windowsInside, " (the Windows folder or above it)"},
        {sGood, &systemInside, " (the system folder or above it)"},
        {sGood, &tempIsIt, " (the temporary folder itself)"},
    };
    for (const Row& r : kRows) {
        SCOPED_TRACE(r.folder);
        CString sReason;
        CSafeFolder held;
        bool bPassed = CheckHostFolder(r.folder.c_str(), *r.guards, sReason, held);
        EXPECT_EQ(r.reason.empty(), bPassed);
        EXPECT_EQ(r.reason.empty(), held.IsOpen());
        if (!r.reason.empty()) {
            EXPECT_EQ(r.reason, sReason.c_str());
        }
    }
    // A folder that passed is held from the drive's root down until the deletion is over.
    {
        CString sReason;
        CSafeFolder held;
        ASSERT_TRUE(CheckHostFolder(sGood.c_str(), real, sReason, held));
        EXPECT_FALSE(::MoveFileA(sGood.c_str(), (m_dir / "Host\\Moved").c_str()));
        EXPECT_FALSE(::MoveFileA((m_dir / "Host").c_str(), (m_dir / "Moved").c_str()));
    }
    // Nothing was touched on the way.
    EXPECT_TRUE(testutil::FileExists(m_dir / "Host\\Tessaly\\readme.txt"));
    EXPECT_TRUE(testutil::FileExists(m_dir / "Plain\\Tessaly"));
    EXPECT_TRUE(testutil::FolderExists(m_dir / "Elsewhere"));
}

TEST(MachineKeys, AKeyIsDeletedOnlyWhenItHoldsNothing)
{
    const char kParent[] = "Software\\Wayfarer Test Keys";
    const std::string sKey = std::string(kParent) + "\\Tessaly";
    ::RegDeleteTreeA(HKEY_CURRENT_USER, kParent);
    HKEY hKey = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExA(HKEY_CURRENT_USER, sKey.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                                               &hKey, nullptr));
    const char kData[] = "C:\\ProgramData";
    ::RegSetValueExA(hKey, "Common AppData Path", 0, REG_SZ, reinterpret_cast<const BYTE*>(kData), sizeof(kData));
    ::RegCloseKey(hKey);

    EXPECT_FALSE(DeleteKeyIfEmpty(HKEY_CURRENT_USER, sKey.c_str()));    // a value
    EXPECT_FALSE(DeleteKeyIfEmpty(HKEY_CURRENT_USER, kParent));          // a subkey
    ::RegDeleteKeyValueA(HKEY_CURRENT_USER, sKey.c_str(), "Common AppData Path");
    EXPECT_TRUE(DeleteKeyIfEmpty(HKEY_CURRENT_USER, sKey.c_str()));
    EXPECT_TRUE(DeleteKeyIfEmpty(HKEY_CURRENT_USER, kParent));
    EXPECT_FALSE(DeleteKeyIfEmpty(HKEY_CURRENT_USER, kParent));          // gone already
    EXPECT_NE(ERROR_SUCCESS, ::RegOpenKeyExA(HKEY_CURRENT_USER, kParent, 0, KEY_READ, &hKey));
}

}  // namespace
