#include "tests/host/HostTestSupport.h"

#include <gtest/gtest.h>

#include "sfx/format/SfxPackageBuilder.h"

std::string PseudoRandomBytes(size_t n, uint32_t dwSeed, bool bText)
{
    std::string s(n, '\0');
    uint32_t x = dwSeed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        s[i] = bText ? "etaoin shrdlu\n"[x % 14] : static_cast<char>(x >> 24);
    }
    return s;
}

std::string MakePackage(const std::vector<std::pair<std::string, std::vector<FilePackItem>>>& blocks,
                        std::vector<uint32_t>* pOffsets)
{
    CSfxPackageBuilder builder;
    std::string sError, sOut;
    for (const auto& b : blocks) {
        bool bOk = b.first == "affid" ? builder.AddRawBlock(b.first, b.second.empty() ? "" : b.second[0].sContent, sError)
                                      : builder.AddFilePackBlock(b.first, b.second, LzmaOptions(), sError);
        EXPECT_TRUE(bOk) << sError;
    }
    EXPECT_TRUE(builder.Build(sOut, sError)) << sError;
    if (pOffsets)
        *pOffsets = builder.BlockOffsets();
    return sOut;
}
