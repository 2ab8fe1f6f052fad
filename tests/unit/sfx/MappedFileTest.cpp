#include <gtest/gtest.h>

#include "sfx/MappedFile.h"
#include "TestUtil.h"

using testutil::CTempDir;

TEST(MappedFile, MapsTheWholeFileReadOnly)
{
    CTempDir dir;
    std::string sContent = "MZ" + std::string(5000, 'x') + "end";
    ASSERT_TRUE(testutil::WriteFileBytes(dir / "pkg.bin", sContent));
    CMappedFile file;
    ASSERT_TRUE(file.Open((dir / "pkg.bin").c_str(), GENERIC_READ, OPEN_EXISTING));
    EXPECT_TRUE(file.IsOpen());
    ASSERT_EQ(sContent.size(), file.GetSize());
    EXPECT_EQ(sContent, std::string(reinterpret_cast<const char*>(file.GetView()), file.GetSize()));
    // Held: a second open fails without touching the first.
    EXPECT_FALSE(file.Open((dir / "pkg.bin").c_str(), GENERIC_READ, OPEN_EXISTING));
    EXPECT_EQ('M', file.GetView()[0]);
    // Others may read it meanwhile, but not write it.
    HANDLE h = ::CreateFileA((dir / "pkg.bin").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, h);
    ::CloseHandle(h);
    EXPECT_TRUE(file.Close());
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(nullptr, file.GetView());
    EXPECT_EQ(0u, file.GetSize());
    EXPECT_TRUE(file.Close());   // nothing held: nothing to fail
}

TEST(MappedFile, FailuresLeaveNothingHeldAndSayWhy)
{
    CTempDir dir;
    ASSERT_TRUE(testutil::WriteFileBytes(dir / "empty.bin", ""));
    ASSERT_TRUE(testutil::WriteFileBytes(dir / "locked.bin", "MZ data"));
    struct Case {
        const char* pszName;
        DWORD dwError;
    };
    const Case kCases[] = {
        {"missing.bin", ERROR_FILE_NOT_FOUND},
        {"empty.bin", ERROR_FILE_INVALID},
        {"locked.bin", ERROR_SHARING_VIOLATION},
    };
    HANDLE hLock = ::CreateFileA((dir / "locked.bin").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                 nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, hLock);
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.pszName);
        CMappedFile file;
        ::SetLastError(0);
        EXPECT_FALSE(file.Open((dir / c.pszName).c_str(), GENERIC_READ, OPEN_EXISTING));
        EXPECT_EQ(c.dwError, ::GetLastError());
        EXPECT_FALSE(file.IsOpen());
    }
    ::CloseHandle(hLock);
    // Once released, the same object opens a good file.
    CMappedFile file;
    EXPECT_FALSE(file.Open((dir / "empty.bin").c_str(), GENERIC_READ, OPEN_EXISTING));
    EXPECT_TRUE(file.Open((dir / "locked.bin").c_str(), GENERIC_READ, OPEN_EXISTING));
}
