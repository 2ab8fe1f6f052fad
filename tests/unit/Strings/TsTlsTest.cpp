#include <gtest/gtest.h>

#include <thread>

#include "Strings/TsTls.h"

TEST(TsTls, OneZeroFilledBlockPerThread)
{
    TsThreadBlock* pMine = GetThreadBlock();
    ASSERT_NE(nullptr, pMine);
    EXPECT_EQ(pMine, GetThreadBlock());
    EXPECT_EQ(pMine, PeekThreadBlock());

    TsThreadBlock* pBefore = reinterpret_cast<TsThreadBlock*>(1);
    TsThreadBlock* pOther = nullptr;
    bool bZero = false;
    std::thread t([&] {
        pBefore = PeekThreadBlock();   // looking allocates nothing
        pOther = GetThreadBlock();
        const BYTE* p = reinterpret_cast<const BYTE*>(pOther);
        bZero = true;
        for (size_t i = 0; i < sizeof(TsThreadBlock); ++i)
            bZero = bZero && p[i] == 0;
    });
    t.join();
    EXPECT_EQ(nullptr, pBefore);
    EXPECT_NE(nullptr, pOther);
    EXPECT_NE(pMine, pOther);
    EXPECT_TRUE(bZero);
}
