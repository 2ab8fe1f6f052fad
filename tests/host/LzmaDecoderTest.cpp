#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "sfx/format/LzmaDecoder.h"
#include "sfx/format/PackDecode.h"
#include "sfx/format/SfxPackageBuilder.h"
#include "tests/host/HostTestSupport.h"

namespace {

class CStringOutStream : public ISequentialOutStream {
public:
    SfxStatus QueryInterface(const void*, void**) override { return kSfxNoInterface; }
    uint32_t AddRef() override { return ++m_nRefs; }
    uint32_t Release() override { return --m_nRefs; }
    SfxStatus Write(const void* p, uint32_t n, uint32_t* pDone) override
    {
        ++m_nWrites;
        m_nLargest = std::max(m_nLargest, n);
        if (std::this_thread::get_id() != m_owner)
            m_bOtherThread = true;
        // A slow writer: the decoder must wait for it rather than overwrite what it has not
        // written yet.
        if (m_nPauseEvery && m_nWrites % m_nPauseEvery == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (m_failAfter >= 0 && static_cast<int>(m_s.size()) + static_cast<int>(n) > m_failAfter)
            return kSfxFail;
        m_s.append(static_cast<const char*>(p), n);
        if (pDone)
            *pDone = n;
        return kSfxOk;
    }
    std::string m_s;
    int m_failAfter = -1;
    int m_nWrites = 0;
    int m_nPauseEvery = 0;
    uint32_t m_nLargest = 0;
    bool m_bOtherThread = false;
    std::thread::id m_owner = std::this_thread::get_id();
    uint32_t m_nRefs = 0;
};

std::string Compress(const std::string& s, bool bEndMark, uint32_t dwDict = 0)
{
    LzmaOptions o;
    o.bEndMark = bEndMark;
    o.dwDictSize = dwDict;
    std::string sOut, sError;
    EXPECT_TRUE(LzmaCompress(s, o, sOut, sError)) << sError;
    return sOut;
}

// The decoder decodes on its own thread (the default) or on the caller's; both ways must
// give the same bytes and the same statuses.
const bool kThreadModes[] = {true, false};

SfxStatus Decode(const std::string& sPayload, CStringOutStream& out, bool bThread, uint32_t dwMaxRead = 0,
                 uint64_t* pnDecoded = nullptr)
{
    CLzmaDecoder d;
    d.UseDecodingThread(bThread);
    SfxStatus s = d.SetDecoderProperties2(Bytes(sPayload), 5);
    if (SfxFailed(s))
        return s;
    CMemoryInStream in(Bytes(sPayload) + 5, sPayload.size() - 5);
    in.SetMaxRead(dwMaxRead);
    s = d.Code(&in, &out);
    EXPECT_EQ(0u, out.m_nRefs);   // the decoder let its reference go
    EXPECT_FALSE(out.m_bOtherThread) << "the output stream was called on another thread";
    if (pnDecoded)
        *pnDecoded = d.OutProcessed();
    return s;
}

}  // namespace

TEST(LzmaDecoder, RoundTripWithAndWithoutEndMarker)
{
    std::string sData = PseudoRandomBytes(200000, 3, true) + PseudoRandomBytes(50000, 4);
    for (bool bThread : kThreadModes) {
        for (bool bMark : {true, false}) {
            for (uint32_t dwMaxRead : {0u, 1u, 4096u}) {
                SCOPED_TRACE(std::to_string(bThread) + " " + std::to_string(bMark) + " " + std::to_string(dwMaxRead));
                CStringOutStream out;
                EXPECT_EQ(bMark ? kSfxOk : kSfxFalse, Decode(Compress(sData, bMark), out, bThread, dwMaxRead));
                EXPECT_TRUE(out.m_s == sData);
            }
        }
    }
}

TEST(LzmaDecoder, OutputComesStraightFromTheDictionary)
{
    // The output is never buffered beyond the dictionary: on one thread it comes in
    // dictionary-sized chunks; with the decoding thread no write is larger than the
    // dictionary, and a slow writer is waited for rather than overrun (the dictionary is
    // a ring that wraps many times over this data).
    std::string sData = PseudoRandomBytes(600000, 5, true) + PseudoRandomBytes(100000, 9);
    std::string sPayload = Compress(sData, true, 4096);
    {
        CStringOutStream out;
        EXPECT_EQ(kSfxOk, Decode(sPayload, out, false));
        EXPECT_TRUE(out.m_s == sData);
        EXPECT_EQ(static_cast<int>((sData.size() + 4095) / 4096), out.m_nWrites);
    }
    for (int nPause : {0, 3}) {
        SCOPED_TRACE(nPause);
        CStringOutStream out;
        out.m_nPauseEvery = nPause;
        EXPECT_EQ(kSfxOk, Decode(sPayload, out, true, 1000));
        EXPECT_TRUE(out.m_s == sData);
        EXPECT_LE(out.m_nLargest, 4096u);
    }
}

TEST(LzmaDecoder, RefusedProperties)
{
    CLzmaDecoder d;
    const uint8_t kTooLarge[5] = {225, 0, 0, 1, 0};
    EXPECT_EQ(kSfxInvalidArg, d.SetDecoderProperties2(kTooLarge, 5));
    const uint8_t kGood[5] = {93, 0, 0, 1, 0};
    EXPECT_EQ(kSfxInvalidArg, d.SetDecoderProperties2(kGood, 4));
    EXPECT_EQ(kSfxOk, d.SetDecoderProperties2(kGood, 5));
    EXPECT_EQ(65536u, d.DictionarySize());
    CLzmaDecoder fresh;
    CMemoryInStream in(kGood, 5);
    CStringOutStream out;
    EXPECT_EQ(kSfxUnexpected, fresh.Code(&in, &out));
}

TEST(LzmaDecoder, DamagedOrCutStreams)
{
    std::string sData = PseudoRandomBytes(300000, 6, true);
    std::string sPayload = Compress(sData, true, 1 << 16);
    for (bool bThread : kThreadModes) {
        SCOPED_TRACE(bThread);
        {
            // Cut: the decoder delivers what it has and reports the missing end without failing.
            CStringOutStream out;
            EXPECT_EQ(kSfxFalse, Decode(sPayload.substr(0, sPayload.size() / 2), out, bThread));
            EXPECT_GT(out.m_s.size(), 0u);
            EXPECT_LT(out.m_s.size(), sData.size());
            EXPECT_TRUE(sData.compare(0, out.m_s.size(), out.m_s) == 0);
        }
        {
            // The first range-coder byte must be 0; anything else cannot be LZMA.
            std::string s = sPayload;
            s[5] = 1;
            CStringOutStream out;
            EXPECT_EQ(kSfxInvalidData, Decode(s, out, bThread));
        }
        {
            // The output stream's failure travels back unchanged, and decoding stops within
            // a dictionary of it.
            CStringOutStream out;
            out.m_failAfter = 1000;
            uint64_t nDecoded = 0;
            EXPECT_EQ(kSfxFail, Decode(sPayload, out, bThread, 0, &nDecoded));
            EXPECT_LE(nDecoded, 1000u + (1u << 16) + CLzmaDecoder::kHandoffSize);
        }
    }
}

TEST(LzmaDecoder, PayloadDecodeReportsTheFailingStage)
{
    class CNullSink : public IFilePackSink {
    public:
        SfxStatus OnFileBegin(const FilePackEntry&) override { return kSfxOk; }
        SfxStatus OnFileData(const FilePackEntry&, const uint8_t*, size_t) override { return kSfxOk; }
        SfxStatus OnFileEnd(const FilePackEntry&, uint32_t) override { return kSfxOk; }
        void OnPackError(FilePackError, const FilePackEntry*) override {}
    } sink;
    std::string sPack, sError;
    ASSERT_TRUE(EncodeFilePack({{"a.txt", PseudoRandomBytes(5000, 1)}}, sPack, sError));
    std::string sPayload = Compress(sPack, false);
    struct Case {
        const char* pszWhat;
        std::string sPayload;
        SfxStatus status;
        PayloadStage stage;
    };
    std::string sBadProps = sPayload;
    sBadProps[0] = static_cast<char>(230);
    std::string sBadData = sPayload;
    sBadData[5] = 7;
    const Case kCases[] = {
        {"whole", sPayload, kSfxOk, PayloadStage::Pack},
        {"four bytes", sPayload.substr(0, 4), kSfxFail, PayloadStage::Properties},
        {"bad properties", sBadProps, kSfxInvalidArg, PayloadStage::Properties},
        {"bad data", sBadData, kSfxInvalidData, PayloadStage::Decoder},
        {"cut", sPayload.substr(0, sPayload.size() - 100), kSfxFail, PayloadStage::Pack},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.pszWhat);
        CFilePackParser parser(sink, 0);
        PayloadStage stage;
        EXPECT_EQ(c.status, DecodeFilePackPayload(Bytes(c.sPayload), Size32(c.sPayload), parser, &stage));
        EXPECT_EQ(static_cast<int>(c.stage), static_cast<int>(stage));
    }
}

TEST(LzmaDecoder, BuilderOutputIsDeterministic)
{
    std::vector<FilePackItem> items = {{"a", PseudoRandomBytes(70000, 1, true)}, {"b\\c", PseudoRandomBytes(9000, 2)}};
    std::string s1 = MakePackage({{"tessaly", items}, {"langs", {{"en.lng", "x"}}}});
    std::string s2 = MakePackage({{"tessaly", items}, {"langs", {{"en.lng", "x"}}}});
    EXPECT_TRUE(s1 == s2);
    EXPECT_FALSE(s1 == MakePackage({{"tessaly", items}, {"langs", {{"en.lng", "y"}}}}));
}
