#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "Strings/TsString.h"
#include "framework/Exceptions.h"

TEST(TsString, EmptyStringsShareOneRepresentation)
{
    TsString a;
    TsString b(L"");
    TsString c(static_cast<const WCHAR*>(nullptr));
    TsString d(L"x");
    d.Empty();
    EXPECT_EQ(a.GetString(), b.GetString());
    EXPECT_EQ(a.GetString(), c.GetString());
    EXPECT_EQ(a.GetString(), d.GetString());
    EXPECT_EQ(0, a.GetLength());
    EXPECT_EQ(0, a.GetString()[0]);
}

TEST(TsString, CopiesShareUntilAChange)
{
    TsString a(L"password");
    EXPECT_EQ(1, a.GetRefCount());
    TsString b = a;
    TsString c;
    c = b;
    EXPECT_EQ(a.GetString(), b.GetString());
    EXPECT_EQ(a.GetString(), c.GetString());
    EXPECT_EQ(3, a.GetRefCount());

    c.SetAt(0, L'P');                  // a change makes a private copy first
    EXPECT_NE(a.GetString(), c.GetString());
    EXPECT_STREQ(L"password", a.GetString());
    EXPECT_STREQ(L"Password", c.GetString());
    EXPECT_EQ(2, a.GetRefCount());
    EXPECT_EQ(1, c.GetRefCount());

    b += L"!";
    EXPECT_STREQ(L"password", a.GetString());
    EXPECT_STREQ(L"password!", b.GetString());
    EXPECT_EQ(1, a.GetRefCount());

    a = a;                             // self-assignment keeps the text
    EXPECT_STREQ(L"password", a.GetString());
    TsString moved(std::move(b));
    EXPECT_STREQ(L"password!", moved.GetString());
    EXPECT_TRUE(b.IsEmpty());
}

TEST(TsString, LockedBuffersAreNeverShared)
{
    TsString a(L"secret");
    WCHAR* p = a.LockBuffer();
    EXPECT_LT(a.GetRefCount(), 0);
    TsString b(a);
    EXPECT_NE(p, b.GetString());       // a deep copy
    EXPECT_EQ(1, b.GetRefCount());
    TsString c;
    c = a;
    EXPECT_NE(p, c.GetString());
    // Assigning to a locked string copies into its own buffer.
    a = TsString(L"other");
    EXPECT_LT(a.GetRefCount(), 0);
    EXPECT_STREQ(L"other", a.GetString());
    EXPECT_STREQ(L"secret", b.GetString());
    a.UnlockBuffer();
    EXPECT_EQ(1, a.GetRefCount());
    TsString d(a);
    EXPECT_EQ(a.GetString(), d.GetString());
}

TEST(TsString, EditingAndConversions)
{
    TsString s(L"ab", 2);
    s += TsString(L"cd");
    s += L'e';
    s += s;                            // appending itself
    EXPECT_STREQ(L"abcdeabcde", s.GetString());
    EXPECT_EQ(10, s.GetLength());
    EXPECT_EQ(L'c', s[2]);
    EXPECT_TRUE(TsString(L"abc") == TsString(L"ab") + TsString(L"c"));
    EXPECT_TRUE(TsString(L"abc") != TsString(L"abd"));

    WCHAR* p = s.GetBuffer(20);
    lstrcpyW(p, L"rewritten");
    s.ReleaseBuffer();
    EXPECT_EQ(9, s.GetLength());
    EXPECT_STREQ(L"rewritten", s.GetString());
    s.ReleaseBuffer(3);
    EXPECT_STREQ(L"rew", s.GetString());

    TsString w = TsString::FromAnsi("Tessaly \xE9");   // code page text becomes UTF-16
    EXPECT_EQ(9, w.GetLength());
    EXPECT_STREQ("Tessaly \xE9", w.ToAnsi());
    EXPECT_TRUE(TsString::FromAnsi(nullptr).IsEmpty());
}

TEST(TsString, IndexAndNullDataViolationsAreHardAssertions)
{
    TsString s(L"abc");
    EXPECT_THROW(s.GetAt(3), CUserException);
    EXPECT_THROW(s.GetAt(-1), CUserException);
    EXPECT_THROW(s.SetAt(3, L'x'), CUserException);
    EXPECT_THROW(TsString(nullptr, 2), CUserException);
    EXPECT_THROW(s.Append(nullptr, 1), CUserException);
    EXPECT_THROW(TsString().GetAt(0), CUserException);
    EXPECT_STREQ(L"abc", s.GetString());
}

TEST(TsString, CountsAreAtomicAcrossThreads)
{
    TsString shared(L"shared by many threads");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&shared] {
            for (int i = 0; i < 20000; ++i) {
                TsString copy(shared);
                TsString another = copy;
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(1, shared.GetRefCount());
    EXPECT_STREQ(L"shared by many threads", shared.GetString());
}
