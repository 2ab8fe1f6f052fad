// The start sequence's own small pieces: the version comparison of the upgrade offer, the
// program-files source folder, the named mutexes and the record of the portable data folder.
// The sequence as a whole runs in the end-to-end tests.
#include <gtest/gtest.h>

#include <thread>

#include "Strings/SafeRegKey.h"
#include "Strings/TsSharedData.h"
#include "framework/Unique.h"
#include "starter/StartSequence.h"

namespace {

TEST(StartSequence, OnlyOlderDesktopEditionsAreOfferedTheUpgrade)
{
    struct Row { DWORD ms; DWORD ls; bool older; const char* text; };
    static const Row kRows[] = {
        {0x0006000A, 0x00010000, true, "6-10-1"},
        {0x0006000A, 0x00020000, false, "6-10-2"},
        {0x0006000A, 0x00020005, false, "6-10-2"},
        {0x0006000A, 0x0001FFFF, true, "6-10-1"},
        {0x0006000B, 0x00000000, false, "6-11-0"},
        {0x00050063, 0xFFFFFFFF, true, "5-99-65535"},
        {0x00070000, 0x00000000, false, "7-0-0"},
        {0, 0, true, "0-0-0"},   // a version that could not be read
    };
    for (const Row& r : kRows) {
        SCOPED_TRACE(r.text);
        EXPECT_EQ(r.older, IsOlderThanThisEdition(r.ms, r.ls));
        EXPECT_EQ(r.text, FormatEditionVersion(r.ms, r.ls));
    }
    EXPECT_STREQ("6-10-2", kThisEditionVersion);
}

TEST(StartSequence, ProgramSourceFolderFollowsBinPath)
{
    struct Row { const char* root; const char* binPath; const char* folder; };
    static const Row kRows[] = {
        {"G:", "\\Tessaly", "G:\\Tessaly"},
        {"G:\\Tools", "\\Tessaly", "G:\\Tools\\Tessaly"},
        {"G:", "\\Bin\\.\\Tessaly\\", "G:\\Bin\\Tessaly\\"},
        {"G:", "/Bin//Tessaly", "G:\\Bin\\Tessaly"},
        {"G:", "Tessaly", "G:\\Tessaly"},
        {"G:\\Tools", "..\\Tessaly", "G:\\Tessaly"},
    };
    for (const Row& r : kRows) {
        SCOPED_TRACE(std::string(r.root) + " + " + r.binPath);
        EXPECT_EQ(r.folder, GetProgramSourceFolder(r.root, r.binPath));
    }
}

TEST(StartSequence, NamedMutexesAreSharedAndNotOwnedAtCreation)
{
    for (const char* pszName : {kStarterMutexName, kStopperMutexName}) {
        SCOPED_TRACE(pszName);
        CUniqueHandle hFirst(CreatePortableMutex(pszName));
        ASSERT_TRUE(hFirst);
        CUniqueHandle hSecond(CreatePortableMutex(pszName));
        ASSERT_TRUE(hSecond);
        // Nobody owns it after creation; once taken through one handle, the other handle
        // names the same mutex, so another thread cannot take it.
        ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(hFirst.Get(), 0));
        DWORD dwWait = WAIT_FAILED;
        HANDLE h = hSecond.Get();
        std::thread([&] { dwWait = ::WaitForSingleObject(h, 0); }).join();
        EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), dwWait);
        ::ReleaseMutex(hFirst.Get());
    }
}

TEST(StartSequence, RootUserDataDirPortIsWrittenOrDeletedWithALogoff)
{
    bool bCreated = false;
    DWORD dwError = 0;
    ASSERT_TRUE(TsConnectSharedData(bCreated, dwError));
    struct Row { const char* folder; bool exists; };
    static const Row kRows[] = {{"G:\\My Tessaly Data\\Default Profile", true}, {"", false}, {nullptr, false}};
    for (const Row& r : kRows) {
        SCOPED_TRACE(r.folder ? r.folder : "(null)");
        DWORD dwChanges = g_pTsSharedData->dwChangeCount;
        DWORD dwLogoffs = g_pTsSharedData->dwLogoffCount;
        SetRootUserDataDirPort(r.folder);
        CString sValue;
        EXPECT_EQ(r.exists, TsRegGetString(sValue, HKEY_CURRENT_USER, kTessalyRegKey, "RootUserDataDirPort"));
        EXPECT_EQ(r.exists ? r.folder : "", sValue);
        EXPECT_EQ(dwChanges + 1, g_pTsSharedData->dwChangeCount);
        EXPECT_EQ(dwLogoffs + 1, g_pTsSharedData->dwLogoffCount);
    }
    TsDisconnectShared();
}

}  // namespace

namespace {

CString NoSpecialFolder(int)
{
    return CString();
}
CString RelativeSpecialFolder(int)
{
    return CString("Roaming");
}
CString SpecialFolderOf(int nCsidl)
{
    return nCsidl == 0x1A ? CString("C:\\Users\\u\\AppData\\Roaming") : CString("C:\\Users\\u\\Documents");
}
bool TempFolder(CString& s)
{
    s = "C:\\Users\\u\\Temp";
    return true;
}
bool NoTempFolder(CString& s)
{
    s = "C:\\_ts";   // what the lookup leaves behind when the fallback was refused
    return false;
}
bool EmptyTempFolder(CString& s)
{
    s.Empty();
    return true;
}

}  // namespace

// A lookup that fails falls back to the temporary folder, and without one there is no folder
// at all: never "\Tessaly" alone, the root of whatever drive is current (the stick's).
TEST(StartSequence, UnpackFolderFallsBackAndIsNeverRelative)
{
    struct Row {
        const char* unpackTo;
        UnpackFolderLookups lookups;
        const char* folder;
    };
    static const Row kRows[] = {
        {"AppData", {SpecialFolderOf, TempFolder}, "C:\\Users\\u\\AppData\\Roaming\\Tessaly"},
        {"mydocs", {SpecialFolderOf, TempFolder}, "C:\\Users\\u\\Documents\\Tessaly"},
        {"temp", {SpecialFolderOf, TempFolder}, "C:\\Users\\u\\Temp\\Tessaly"},
        {"D:\\Somewhere", {SpecialFolderOf, TempFolder}, "C:\\Users\\u\\Temp\\Tessaly"},
        {"appdata", {NoSpecialFolder, TempFolder}, "C:\\Users\\u\\Temp\\Tessaly"},
        {"mydocs", {RelativeSpecialFolder, TempFolder}, "C:\\Users\\u\\Temp\\Tessaly"},
        {"appdata", {NoSpecialFolder, NoTempFolder}, ""},
        {"", {SpecialFolderOf, NoTempFolder}, ""},
        {"", {SpecialFolderOf, EmptyTempFolder}, ""},
    };
    for (const Row& r : kRows) {
        SCOPED_TRACE(r.unpackTo);
        EXPECT_STREQ(r.folder, ChooseUnpackFolder(r.unpackTo, r.lookups));
    }
}
