#include <gtest/gtest.h>

#include "sfx/format/Crc32.h"
#include "sfx/format/SfxBlock.h"
#include "sfx/format/SfxPackageBuilder.h"
#include "tests/host/HostTestSupport.h"

namespace {

using Lines = std::vector<std::string>;

// Three raw blocks; tests patch its bytes to damage it in one place.
struct ThreeBlocks {
    std::string sPackage;
    std::vector<uint32_t> offsets;
    ThreeBlocks()
    {
        CSfxPackageBuilder b;
        std::string sError;
        EXPECT_TRUE(b.AddRawBlock("tessaly", PseudoRandomBytes(300, 1), sError));
        EXPECT_TRUE(b.AddRawBlock("langs2", PseudoRandomBytes(200, 2), sError));
        EXPECT_TRUE(b.AddRawBlock("langs", PseudoRandomBytes(100, 3), sError));
        EXPECT_TRUE(b.Build(sPackage, sError));
        offsets = b.BlockOffsets();
    }
    void Put32(uint32_t dwAt, uint32_t v) { SfxStore32(reinterpret_cast<uint8_t*>(&sPackage[dwAt]), v); }
    uint32_t Size() const { return Size32(sPackage); }
};

std::string GoodLine(const char* pszName, uint32_t dwSize)
{
    return std::string("TestSFX - good block|") + pszName + "|" + std::to_string(dwSize);
}

}  // namespace

TEST(SfxBlock, NoBaseOrSizeGivesNothingSilently)
{
    ThreeBlocks p;
    CRecordLog log;
    EXPECT_EQ(nullptr, GetNextSfxBlock(nullptr, p.Size(), nullptr, log));
    EXPECT_EQ(nullptr, GetNextSfxBlock(Bytes(p.sPackage), 0, nullptr, log));
    EXPECT_TRUE(log.m_lines.empty());
    EXPECT_FALSE(TestSFX(nullptr, 10, log));
    EXPECT_EQ(Lines{"TestSFX - Bad Params||0"}, log.Lines());
}

TEST(SfxBlock, GoodChainPassesTheIntegrityTest)
{
    ThreeBlocks p;
    CRecordLog log;
    EXPECT_TRUE(TestSFX(Bytes(p.sPackage), p.Size(), log));
    EXPECT_EQ((Lines{GoodLine("tessaly", 322), GoodLine("langs2", 222), GoodLine("langs", 122), "TestSFX() - |OK|0"}),
              log.Lines());
}

TEST(SfxBlock, BadAnchorsYieldNoFirstBlock)
{
    struct Case {
        const char* pszWhat;
        uint32_t dwAt;
        int64_t nValue;   // -1: the file size, -2: file size + 7
    };
    const Case kCases[] = {
        {"first offset 0", 0x28, 0},
        {"copies of the first offset differ", 0x2C, 129},
        {"check value 0", 0x30, 0},
        {"copies of the check value differ", 0x34, 5},
        {"first offset at the end of the file", 0x28, -1},
        {"first offset beyond the file", 0x28, -2},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.pszWhat);
        ThreeBlocks p;
        uint32_t v = c.nValue == -1 ? p.Size() : c.nValue == -2 ? p.Size() + 7 : static_cast<uint32_t>(c.nValue);
        p.Put32(c.dwAt, v);
        if (c.dwAt == 0x28)
            p.Put32(0x2C, v);   // both copies agree: only the value is wrong
        CRecordLog log;
        EXPECT_EQ(nullptr, GetNextSfxBlock(Bytes(p.sPackage), p.Size(), nullptr, log));
        EXPECT_FALSE(TestSFX(Bytes(p.sPackage), p.Size(), log));
        EXPECT_EQ((Lines{"GetNextSfxBlock: Bad SFX data in DOS Header||0", "GetNextSfxBlock: Bad SFX data in DOS Header||0",
                         "TestSFX() - |FAIL|0"}),
                  log.Lines());
    }
}

TEST(SfxBlock, MissingDosSignatureAndShortFiles)
{
    ThreeBlocks p;
    p.sPackage[1] = 'X';
    CRecordLog log;
    EXPECT_EQ(nullptr, GetNextSfxBlock(Bytes(p.sPackage), p.Size(), nullptr, log));
    EXPECT_EQ(nullptr, GetNextSfxBlock(Bytes("M"), 1, nullptr, log));
    std::string sShort = std::string("MZ") + std::string(40, '\x01');   // the anchor does not fit
    EXPECT_EQ(nullptr, GetNextSfxBlock(Bytes(sShort), Size32(sShort), nullptr, log));
    EXPECT_EQ((Lines{"GetNextSfxBlock: No DOS Sign||0", "GetNextSfxBlock: No DOS Sign||0",
                     "GetNextSfxBlock: Bad SFX data in DOS Header||0"}),
              log.Lines());
}

TEST(SfxBlock, CandidateBlocksThatDoNotFitAreRefused)
{
    struct Case {
        const char* pszWhat;
        int nBlock;          // whose size field is patched (the last block), -1: the anchor
        int64_t nValue;      // new block size, or new first offset
        const char* pszLine; // expected complaint, null: accepted
    };
    const Case kCases[] = {
        {"ends exactly at the end of the file", 2, 122, nullptr},
        {"overruns the file by one byte", 2, 123, "GetNextSfxBlock: Next sect bad size||0"},
        {"size below the header", 2, 21, "GetNextSfxBlock: Next sect bad size||0"},
        {"size 0", 2, 0, "GetNextSfxBlock: Next sect bad size||0"},
        {"size that wraps a 32-bit sum", 2, 0xFFFFFFF0, "GetNextSfxBlock: Next sect bad size||0"},
        {"header reaches past the end", -1, -10, "GetNextSfxBlock: Next sect bad size||0"},
        {"no signature at the first offset", -1, 5, "GetNextSfxBlock: Bad next signature||0"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.pszWhat);
        ThreeBlocks p;
        if (c.nBlock >= 0) {
            p.Put32(p.offsets[c.nBlock] + 2, static_cast<uint32_t>(c.nValue));
        } else {
            uint32_t v = c.nValue < 0 ? static_cast<uint32_t>(p.Size() + c.nValue) : static_cast<uint32_t>(c.nValue);
            p.Put32(0x28, v);
            p.Put32(0x2C, v);
        }
        CRecordLog log;
        CSfxChainWalk walk(Bytes(p.sPackage), p.Size(), log);
        int n = 0;
        while (walk.Next())
            ++n;
        if (!c.pszLine) {
            EXPECT_EQ(3, n);
            EXPECT_TRUE(log.m_lines.empty());
        } else {
            EXPECT_EQ(c.nBlock >= 0 ? 2 : 0, n);
            EXPECT_EQ(Lines{c.pszLine}, log.Lines());
        }
    }
}

TEST(SfxBlock, BrokenLinkAfterAGoodBlockStillPasses)
{
    ThreeBlocks p;
    p.Put32(p.offsets[0] + 10, p.Size());   // next offset of the first block points past the end
    CRecordLog log;
    EXPECT_TRUE(TestSFX(Bytes(p.sPackage), p.Size(), log));
    EXPECT_EQ((Lines{GoodLine("tessaly", 322), "GetNextSfxBlock: Current section does not fit in SFX||0",
                     "TestSFX() - |OK|0"}),
              log.Lines());
    uint32_t dwSize = 99;
    EXPECT_EQ(nullptr, FindSfxBlock(Bytes(p.sPackage), p.Size(), "langs", &dwSize, log));
    EXPECT_EQ(0u, dwSize);
}

TEST(SfxBlock, CurrentBlockWithoutSignatureEndsTheWalk)
{
    ThreeBlocks p;
    CRecordLog log;
    const uint8_t* pFirst = GetNextSfxBlock(Bytes(p.sPackage), p.Size(), nullptr, log);
    ASSERT_EQ(Bytes(p.sPackage) + p.offsets[0], pFirst);
    p.sPackage[p.offsets[0]] = 'X';
    EXPECT_EQ(nullptr, GetNextSfxBlock(Bytes(p.sPackage), p.Size(), pFirst, log));
    EXPECT_EQ(Lines{"GetNextSfxBlock: Bad signature in current section||0"}, log.Lines());
}

TEST(SfxBlock, LoopingChainsEnd)
{
    for (int nTarget : {0, 1, 2}) {   // the last block links back to block nTarget
        SCOPED_TRACE(nTarget);
        ThreeBlocks p;
        p.Put32(p.offsets[2] + 10, p.offsets[nTarget]);
        CRecordLog log;
        CSfxChainWalk walk(Bytes(p.sPackage), p.Size(), log);
        int n = 0;
        while (walk.Next() && n < 100)
            ++n;
        EXPECT_LE(n, 8);
        ASSERT_FALSE(log.m_lines.empty());
        EXPECT_EQ("GetNextSfxBlock: Chain loops back to an earlier section", log.m_lines.back().sText);
        uint32_t dwSize = 0;
        EXPECT_EQ(nullptr, FindSfxBlock(Bytes(p.sPackage), p.Size(), "missing", &dwSize, log));
        EXPECT_TRUE(TestSFX(Bytes(p.sPackage), p.Size(), log));
    }
}

TEST(SfxBlock, OverlongChainIsCut)
{
    CSfxPackageBuilder b;
    std::string sError, sPackage;
    for (uint32_t i = 0; i < kSfxMaxBlocks + 5; ++i)
        ASSERT_TRUE(b.AddRawBlock("x", "", sError));
    ASSERT_TRUE(b.Build(sPackage, sError));
    CRecordLog log;
    CSfxChainWalk walk(Bytes(sPackage), Size32(sPackage), log);
    while (walk.Next()) {
    }
    EXPECT_EQ(kSfxMaxBlocks, walk.Count());
    EXPECT_EQ((Lines{"GetNextSfxBlock: Too many sections in SFX||1024"}), log.Lines());
}

TEST(SfxBlock, FindMatchesNamePrefixesInChainOrder)
{
    ThreeBlocks p;
    struct Case {
        const char* pszName;
        int nBlock;   // -1: none
    };
    const Case kCases[] = {
        {"langs", 1},        // langs2 comes first and begins with the five letters
        {"langs2", 1},
        {"tessaly", 0},
        {"", 0},             // an empty name matches the first block
        {"tessalyXYZ", -1},  // eight characters compared: "tessalyX"
        {"Tessaly", -1},     // case matters
        {"config", -1},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.pszName);
        CRecordLog log;
        uint32_t dwSize = 12345;
        const uint8_t* p2 = FindSfxBlock(Bytes(p.sPackage), p.Size(), c.pszName, &dwSize, log);
        if (c.nBlock < 0) {
            EXPECT_EQ(nullptr, p2);
            EXPECT_EQ(0u, dwSize);
        } else {
            EXPECT_EQ(Bytes(p.sPackage) + p.offsets[c.nBlock] + kSfxBlockHeaderSize, p2);
            EXPECT_EQ(SfxBlockSize(Bytes(p.sPackage) + p.offsets[c.nBlock]) - 22, dwSize);
        }
    }
}

TEST(SfxBlock, PayloadCrcDecidesTheIntegrityTest)
{
    {
        ThreeBlocks p;
        p.sPackage[p.offsets[1] + 22 + 50] ^= 1;
        uint32_t dwStored = SfxLoad32(Bytes(p.sPackage) + p.offsets[1] + 6);
        CRecordLog log;
        EXPECT_FALSE(TestSFX(Bytes(p.sPackage), p.Size(), log));
        EXPECT_EQ((Lines{GoodLine("tessaly", 322), "TestSFX - bad CRC|langs2|" + std::to_string(dwStored)}), log.Lines());
    }
    {
        // A stored CRC of 0 means the payload is not verified.
        ThreeBlocks p;
        p.sPackage[p.offsets[1] + 22 + 50] ^= 1;
        p.Put32(p.offsets[1] + 6, 0);
        CRecordLog log;
        EXPECT_TRUE(TestSFX(Bytes(p.sPackage), p.Size(), log));
        EXPECT_EQ(GoodLine("langs2", 222), log.Lines()[1]);
    }
}

TEST(SfxBlock, HeaderOnlyBlockHasAnEmptyPayload)
{
    CSfxPackageBuilder b;
    std::string sError, sPackage;
    ASSERT_TRUE(b.AddRawBlock("config", "", sError));
    ASSERT_TRUE(b.AddRawBlock("tessaly", "x", sError));
    ASSERT_TRUE(b.Build(sPackage, sError));
    EXPECT_EQ(0u, SfxLoad32(Bytes(sPackage) + b.BlockOffsets()[0] + 6));   // the CRC of no bytes
    CRecordLog log;
    uint32_t dwSize = 7;
    EXPECT_NE(nullptr, FindSfxBlock(Bytes(sPackage), Size32(sPackage), "config", &dwSize, log));
    EXPECT_EQ(0u, dwSize);
    EXPECT_TRUE(TestSFX(Bytes(sPackage), Size32(sPackage), log));
    EXPECT_EQ(GoodLine("config", 22), log.Lines()[0]);
}

TEST(SfxBlock, BuilderAnchorsTheChainInTheStub)
{
    std::string sPackage = MakePackage({{"tessaly", {{"a.txt", "abc"}}}});
    const uint8_t* p = Bytes(sPackage);
    EXPECT_EQ('M', p[0]);
    EXPECT_EQ('Z', p[1]);
    EXPECT_EQ(128u, SfxLoad32(p + 0x28));   // right after the built-in stub
    EXPECT_EQ(SfxLoad32(p + 0x28), SfxLoad32(p + 0x2C));
    EXPECT_NE(0u, SfxLoad32(p + 0x30));
    EXPECT_EQ(SfxLoad32(p + 0x30), SfxLoad32(p + 0x34));
    std::string sError;
    CSfxPackageBuilder b;
    EXPECT_FALSE(b.SetStub("PE\0\0", sError));
    EXPECT_FALSE(b.AddRawBlock("ninechars", "", sError));
    EXPECT_EQ("block name must have 1 to 8 characters: ninechars", sError);
}
