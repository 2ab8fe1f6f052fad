#include <gtest/gtest.h>

#include "framework/CString.h"
#include "framework/Sync.h"

TEST(CString, CopiesAreIndependent)
{
    CString a("abc");
    CString b = a;
    b.SetAt(0, 'x');
    b += "def";
    EXPECT_STREQ("abc", a);
    EXPECT_STREQ("xbcdef", b);
}

TEST(CString, EditingOperations)
{
    CString s("  Hello /SILENT World \t");
    s.MakeLower();
    EXPECT_STREQ("  hello /silent world \t", s);
    int n = s.Find("/silent");
    ASSERT_EQ(8, n);
    s.Delete(n, 7);
    s.Trim();
    EXPECT_STREQ("hello  world", s);
    EXPECT_EQ(3, s.Replace("l", "LL"));  // replaced text is not searched again
    EXPECT_STREQ("heLLLLo  worLLd", s);
    EXPECT_STREQ("LLd", s.Right(3));
    EXPECT_STREQ("", s.Mid(100));
    EXPECT_STREQ("he", s.Left(2));
    EXPECT_EQ(-1, s.Find("x", 1000));
    EXPECT_EQ(0, CString("ABC").CompareNoCase("abc"));
}

TEST(CString, FormatGrowsBeyondAnyFixedBuffer)
{
    CString s;
    s.Format("%s-%d", std::string(5000, 'a').c_str(), 42);
    EXPECT_EQ(5003, s.GetLength());
    EXPECT_STREQ("-42", s.Right(3));
}

TEST(CString, BufferAccess)
{
    CString s;
    char* p = s.GetBuffer(10);
    lstrcpyA(p, "abc");
    s.ReleaseBuffer();
    EXPECT_EQ(3, s.GetLength());
    EXPECT_STREQ("abc", s);
}

static DWORD WINAPI LockAndUnlock(void* p)
{
    auto* pcs = static_cast<CCriticalSection*>(p);
    pcs->Lock();
    pcs->Unlock();
    return 1;
}

TEST(SingleLock, ReleasesOnScopeExit)
{
    CCriticalSection cs;
    {
        CSingleLock lock(&cs, true);
        EXPECT_TRUE(lock.IsLocked());
    }
    // Another thread can take it now.
    bool bTaken = false;
    HANDLE h = ::CreateThread(nullptr, 0, LockAndUnlock, &cs, 0, nullptr);
    bTaken = ::WaitForSingleObject(h, 5000) == WAIT_OBJECT_0;
    ::CloseHandle(h);
    EXPECT_TRUE(bTaken);
}
