#include <gtest/gtest.h>

#include "sfx/format/Crc32.h"
#include "tests/host/HostTestSupport.h"

namespace {

// The definition, one bit at a time: the oracle for the table-driven code.
uint32_t BitwiseCrc(const std::string& s)
{
    uint32_t c = 0xFFFFFFFFu;
    for (unsigned char ch : s) {
        c ^= ch;
        for (int k = 0; k < 8; ++k)
            c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
    }
    return ~c;
}

}  // namespace

TEST(Crc32, KnownCheckValues)
{
    EXPECT_EQ(0xCBF43926u, Crc32::Of("123456789", 9));   // the catalogue check value
    EXPECT_EQ(0u, Crc32::Of("", 0));
    EXPECT_EQ(0xE8B7BE43u, Crc32::Of("a", 1));
    Crc32 crc;
    EXPECT_EQ(0xFFFFFFFFu, crc.Register());
    EXPECT_EQ(0u, crc.Digest());
}

TEST(Crc32, MatchesBitwiseDefinitionForAnyLengthAndSplit)
{
    std::string data = PseudoRandomBytes(4099, 7);
    for (size_t n : {1u, 15u, 16u, 17u, 31u, 64u, 1000u, 4099u}) {
        std::string part = data.substr(data.size() - n);   // odd start addresses too
        SCOPED_TRACE(n);
        EXPECT_EQ(BitwiseCrc(part), Crc32::Of(part.data(), part.size()));
        for (size_t nSplit : {size_t(1), n / 3, n - 1}) {
            Crc32 crc;
            crc.Update(part.data(), nSplit);
            crc.Update(part.data() + nSplit, n - nSplit);
            EXPECT_EQ(BitwiseCrc(part), crc.Digest());
        }
    }
}

TEST(Crc32, ResetStartsANewRange)
{
    Crc32 crc;
    crc.Update("garbage", 7);
    crc.Reset();
    crc.Update("123456789", 9);
    EXPECT_EQ(0xCBF43926u, crc.Digest());
}
