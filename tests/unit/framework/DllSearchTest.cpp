#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "TestUtil.h"
#include "framework/WinApp.h"

namespace {

// Puts the default search order back for the rest of the test program.
struct CDefaultDllSearch {
    ~CDefaultDllSearch()
    {
        using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
        auto pSetDefault = reinterpret_cast<SetDefaultDllDirectoriesFn>(reinterpret_cast<void*>(
            ::GetProcAddress(::GetModuleHandleA("kernel32.dll"), "SetDefaultDllDirectories")));
        if (pSetDefault)
            pSetDefault(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
        ::SetDllDirectoryA(nullptr);
    }
};

// Loads a library by bare name and releases it; whether it was found.
bool LoadsByName(const char* pszName)
{
    HMODULE h = ::LoadLibraryA(pszName);
    if (h)
        ::FreeLibrary(h);
    return h != nullptr;
}

}  // namespace

TEST(DllSearch, PlantedLibrariesAreNeverLoadedAfterHardening)
{
    // wfplanted.dll lies beside the test program; a copy under another name lies in the
    // current folder.
    const std::string sBeside = testutil::ModuleFolder() + "\\wfplanted.dll";
    ASSERT_TRUE(testutil::FileExists(sBeside));
    testutil::CTempDir cwd;
    ASSERT_TRUE(::CopyFileA(sBeside.c_str(), (cwd / "wfcurrent.dll").c_str(), FALSE));
    char szOldCwd[MAX_PATH];
    ::GetCurrentDirectoryA(MAX_PATH, szOldCwd);
    ASSERT_TRUE(::SetCurrentDirectoryA(cwd.Path().c_str()));

    // The default order finds both.
    EXPECT_TRUE(LoadsByName("wfplanted.dll"));
    EXPECT_TRUE(LoadsByName("wfcurrent.dll"));

    CDefaultDllSearch restore;
    TsHardenDllSearch();
    EXPECT_FALSE(LoadsByName("wfplanted.dll"));
    EXPECT_FALSE(LoadsByName("wfcurrent.dll"));
    EXPECT_EQ(nullptr, TsLoadSystemLibrary("wfplanted.dll"));

    // System libraries still load, and from the system folder.
    HMODULE hVersion = TsLoadSystemLibrary("version.dll");
    ASSERT_NE(nullptr, hVersion);
    char szPath[MAX_PATH], szSystem[MAX_PATH];
    ::GetModuleFileNameA(hVersion, szPath, MAX_PATH);
    ::GetSystemDirectoryA(szSystem, MAX_PATH);
    EXPECT_EQ(0, _strnicmp(szPath, szSystem, strlen(szSystem))) << szPath;
    ::FreeLibrary(hVersion);

    ::SetCurrentDirectoryA(szOldCwd);
}
