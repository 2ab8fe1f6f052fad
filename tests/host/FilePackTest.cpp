#include <gtest/gtest.h>

#include <map>

#include "sfx/format/FilePack.h"
#include "sfx/format/SfxBlock.h"
#include "tests/host/HostTestSupport.h"

namespace {

// Records what the parser hands over, as a tree of names and contents.
class CRecordSink : public IFilePackSink {
public:
    SfxStatus OnFileBegin(const FilePackEntry& e) override
    {
        m_events.push_back("begin " + std::string(e.pszName));
        m_files[e.pszName].clear();
        m_sCurrent = e.pszName;
        return kSfxOk;
    }
    SfxStatus OnFileData(const FilePackEntry& e, const uint8_t* p, size_t n) override
    {
        EXPECT_EQ(m_sCurrent, e.pszName);
        m_files[e.pszName].append(reinterpret_cast<const char*>(p), n);
        return kSfxOk;
    }
    SfxStatus OnFileEnd(const FilePackEntry& e, uint32_t dwCrc) override
    {
        m_events.push_back("end " + std::string(e.pszName) + " " + std::to_string(dwCrc));
        return kSfxOk;
    }
    void OnPackError(FilePackError error, const FilePackEntry* pEntry) override
    {
        m_events.push_back("error " + std::to_string(static_cast<int>(error)) + " " + (pEntry ? pEntry->pszName : "-"));
    }
    std::vector<std::string> m_events;
    std::map<std::string, std::string> m_files;
    std::string m_sCurrent;
};

std::string Encode(const std::vector<FilePackItem>& items, bool bCheck = true)
{
    std::string sOut, sError;
    EXPECT_TRUE(EncodeFilePack(items, sOut, sError, bCheck)) << sError;
    return sOut;
}

// Feeds the bytes in chunks of nChunk and ends the stream.
SfxStatus Feed(CFilePackParser& parser, const std::string& s, size_t nChunk)
{
    for (size_t i = 0; i < s.size(); i += nChunk) {
        SfxStatus st = parser.Write(Bytes(s) + i, std::min(nChunk, s.size() - i));
        if (SfxFailed(st))
            return st;
    }
    return parser.Finish();
}

std::string ErrorEvent(FilePackError e, const char* pszName)
{
    return "error " + std::to_string(static_cast<int>(e)) + " " + pszName;
}

const std::vector<FilePackItem> kTree = {
    {"readme.txt", "Read me first.\r\n"},
    {"empty.dat", ""},
    {"sub\\dir\\file.bin", PseudoRandomBytes(3000, 9)},
    {"sub\\x.txt", "x"},
};

}  // namespace

TEST(FilePack, EveryChunkingGivesTheSameFiles)
{
    std::string sPack = Encode(kTree);
    CRecordSink whole;
    CFilePackParser ref(whole, 0);
    ASSERT_EQ(kSfxOk, Feed(ref, sPack, sPack.size()));
    ASSERT_EQ(4u, whole.m_files.size());
    for (const FilePackItem& item : kTree)
        EXPECT_EQ(item.sContent, whole.m_files[item.sName]);
    EXPECT_EQ("end empty.dat 0", whole.m_events[3]);   // a 0-byte file and its CRC of 0
    for (size_t nChunk : {1u, 2u, 3u, 5u, 7u, 64u, 1001u}) {
        SCOPED_TRACE(nChunk);
        CRecordSink sink;
        CFilePackParser parser(sink, 0);
        EXPECT_EQ(kSfxOk, Feed(parser, sPack, nChunk));
        EXPECT_EQ(whole.m_events, sink.m_events);
        EXPECT_EQ(whole.m_files, sink.m_files);
    }
}

TEST(FilePack, CrcBytesSplitAcrossChunks)
{
    std::string sPack = Encode({{"a", "hello"}, {"b", "world"}});
    size_t nCrcOfA = sPack.size() - 4 - 5 - 4;   // a's CRC sits before b's content and CRC
    for (size_t nSplit = nCrcOfA; nSplit <= nCrcOfA + 4; ++nSplit) {
        SCOPED_TRACE(nSplit - nCrcOfA);
        CRecordSink sink;
        CFilePackParser parser(sink, 0);
        ASSERT_EQ(kSfxOk, parser.Write(Bytes(sPack), nSplit));
        ASSERT_EQ(kSfxOk, parser.Write(Bytes(sPack) + nSplit, sPack.size() - nSplit));
        EXPECT_EQ(kSfxOk, parser.Finish());
        EXPECT_EQ("hello", sink.m_files["a"]);
        EXPECT_EQ("world", sink.m_files["b"]);
    }
}

TEST(FilePack, EmptyPackAndTrailingBytes)
{
    std::string sPack = Encode({});
    EXPECT_EQ(std::string("\x04\x00\x00\x00", 4), sPack);
    CRecordSink sink;
    CFilePackParser parser(sink, 0);
    EXPECT_EQ(kSfxOk, Feed(parser, sPack + "trailing bytes are ignored", 3));
    EXPECT_TRUE(sink.m_events.empty());
    EXPECT_TRUE(parser.IsComplete());
}

TEST(FilePack, CrcMismatchFailsAtThatFile)
{
    std::string sPack = Encode(kTree);
    sPack[sPack.size() - 5] ^= 0x20;   // the last file's one content byte
    CRecordSink sink;
    CFilePackParser parser(sink, 0);
    EXPECT_EQ(kSfxFail, Feed(parser, sPack, 100));
    EXPECT_EQ(ErrorEvent(FilePackError::CrcMismatch, "sub\\x.txt"), sink.m_events.back());
    EXPECT_EQ(kSfxFail, parser.Write(Bytes(sPack), 1));   // stays failed
}

TEST(FilePack, StreamThatEndsEarlyIsTruncated)
{
    std::string sPack = Encode(kTree);
    struct Case {
        size_t nKeep;
        const char* pszEntry;
    };
    const Case kCases[] = {{1, "-"}, {10, "-"}, {sPack.size() - 4, "sub\\x.txt"}, {sPack.size() - 1, "sub\\x.txt"}};
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.nKeep);
        CRecordSink sink;
        CFilePackParser parser(sink, 0);
        EXPECT_EQ(kSfxFail, Feed(parser, sPack.substr(0, c.nKeep), 13));
        EXPECT_EQ(ErrorEvent(FilePackError::Truncated, c.pszEntry), sink.m_events.back());
    }
}

TEST(FilePack, DamagedHeadersAreRefused)
{
    std::string sPack = Encode({{"a.txt", "1"}, {"b.txt", "2"}});
    struct Case {
        const char* pszWhat;
        size_t nAt;
        std::string sBytes;
        FilePackError error;
        const char* pszEntry;
    };
    const Case kCases[] = {
        {"header size 3", 0, std::string("\x03\x00", 2), FilePackError::HeaderTooSmall, "-"},
        {"header size 0", 0, std::string("\x00\x00", 2), FilePackError::HeaderTooSmall, "-"},
        {"more files than the header holds", 2, std::string("\x03\x00", 2), FilePackError::EntryPastHeader, "-"},
        {"name runs past the header", 4 + 4, std::string("\x40", 1), FilePackError::EntryPastHeader, "-"},
        {"name without its zero", 4 + 4, std::string("\x05", 1), FilePackError::UnsafeName, ""},
        {"name with a zero inside", 4 + 5 + 1, std::string("\x00", 1), FilePackError::UnsafeName, ""},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.pszWhat);
        std::string s = sPack;
        s.replace(c.nAt, c.sBytes.size(), c.sBytes);
        CRecordSink sink;
        CFilePackParser parser(sink, 0);
        EXPECT_EQ(kSfxFail, Feed(parser, s, 4));
        EXPECT_EQ((std::vector<std::string>{ErrorEvent(c.error, c.pszEntry)}), sink.m_events);
    }
}

TEST(FilePack, HostileNamesRefuseTheWholePackBeforeAnyFile)
{
    const char* const kBad[] = {
        "", "\\abs.txt", "\\\\server\\share\\x", "\\\\?\\C:\\x", "\\\\.\\PhysicalDrive0", "C:\\x.txt", "C:x.txt",
        "..\\x.txt", "a\\..\\..\\x.txt", "a\\..", "..", ".", "a\\.\\b", "file.txt:stream", "a\\\\b", "a\\", "dir.\\x",
        "dir \\x", "name.", "name ", "CON", "con.txt", "sub\\NUL", "aux.tar.gz", "COM1", "lpt9.log", "PRN ", "conin$",
        "a/../x", "a<b", "a|b", "a?b", "a*b", "a\"b", "tab\there", "COM\xB9",
    };
    for (const char* pszBad : kBad) {
        SCOPED_TRACE(pszBad);
        EXPECT_FALSE(IsSafePackEntryName(pszBad));
        std::string sPack = Encode({{"good.txt", "fine"}, {pszBad, "evil"}}, false);
        CRecordSink sink;
        CFilePackParser parser(sink, 0);
        EXPECT_EQ(kSfxFail, Feed(parser, sPack, 5));
        EXPECT_EQ((std::vector<std::string>{ErrorEvent(FilePackError::UnsafeName, pszBad)}), sink.m_events);
        std::string sOut, sError;
        EXPECT_FALSE(EncodeFilePack({{pszBad, "x"}}, sOut, sError));
    }
    const char* const kGood[] = {"a", "a.txt", "sub\\dir\\file.bin", ".hidden", "CONSOLE.txt", "COM10", "nul2",
                                 "a b\\c d.txt", "x..y", "\xE4\xF6\xFC.txt", "lpt"};
    for (const char* pszGood : kGood) {
        SCOPED_TRACE(pszGood);
        EXPECT_TRUE(IsSafePackEntryName(pszGood));
    }
}

// In code page 932 the second byte of a double-byte character may be 0x5C (a backslash
// in ASCII) or 0x7C (a bar): with the code page's lead bytes such names are what they are.
bool IsLeadByteOf932(unsigned char ch)
{
    return (ch >= 0x81 && ch <= 0x9F) || (ch >= 0xE0 && ch <= 0xFC);
}

TEST(FilePack, DoubleByteNamesAreTakenByCharacters)
{
    struct Row {
        const char* pszName;
        bool bSafe;
    };
    static const Row kRows[] = {
        {"\x95\x5C.txt", true},                 // 表.txt
        {"\x83\x5C\x83\x74\x83\x67\\a.dll", true},   // ソフト\a.dll
        {"sub\\\x95\x5C", true},               // sub\表
        {"\x83\x7C.txt", true},                  // ポ.txt
        {"\x95\x5C\\..\\x.txt", false},         // 表\..\x.txt
        {"\x95\x5C\\", false},                  // a trailing separator after the character
        {"\x95", true},                           // a lead byte at the end stands alone
        {"a\\\x95\x5C.", false},
    };
    for (const Row& r : kRows) {
        SCOPED_TRACE(r.pszName);
        EXPECT_EQ(r.bSafe, IsSafePackEntryName(r.pszName, IsLeadByteOf932));
    }
    // Without the lead bytes the trail byte is a separator: the first name reads "\x95" and ".txt".
    EXPECT_TRUE(IsSafePackEntryName("\x95\x5C.txt"));
    EXPECT_FALSE(IsSafePackEntryName("\x83\x7C.txt"));

    std::string sPack = Encode({{"\x95\x5C.txt", "x"}}, false);
    CRecordSink sink;
    CFilePackParser parser(sink, 0);
    parser.SetLeadBytes(IsLeadByteOf932);
    EXPECT_EQ(kSfxOk, Feed(parser, sPack, 5));
}

TEST(FilePack, OutputPathLongerThan259CharactersIsRefused)
{
    std::string sName(200, 'n');
    std::string sPack = Encode({{sName, "x"}});
    for (size_t nFolder : {58u, 59u}) {   // folder + "\" + 200 = 259 or 260
        SCOPED_TRACE(nFolder);
        CRecordSink sink;
        CFilePackParser parser(sink, nFolder);
        SfxStatus s = Feed(parser, sPack, 64);
        if (nFolder == 58) {
            EXPECT_EQ(kSfxOk, s);
        } else {
            EXPECT_EQ(kSfxFail, s);
            EXPECT_EQ((std::vector<std::string>{ErrorEvent(FilePackError::PathTooLong, sName.c_str())}), sink.m_events);
        }
    }
}

TEST(FilePack, EncoderLimits)
{
    std::string sOut, sError;
    std::vector<FilePackItem> many(65536);
    for (size_t i = 0; i < many.size(); ++i)
        many[i].sName = "f";
    EXPECT_FALSE(EncodeFilePack(many, sOut, sError));
    EXPECT_EQ("too many files for one block (65536, at most 65535)", sError);

    EXPECT_FALSE(EncodeFilePack({{std::string(255, 'a'), ""}}, sOut, sError));
    EXPECT_EQ("file name longer than 254 characters: " + std::string(255, 'a'), sError);
    EXPECT_TRUE(EncodeFilePack({{std::string(254, 'a'), ""}}, sOut, sError));

    std::vector<FilePackItem> longList(300, FilePackItem{std::string(250, 'b'), ""});
    EXPECT_FALSE(EncodeFilePack(longList, sOut, sError));
    EXPECT_EQ("file list too long for one block (76804 bytes of names and sizes, at most 65535)", sError);

    EXPECT_FALSE(EncodeFilePack({{"..\\up", ""}}, sOut, sError));
    EXPECT_EQ("file name not allowed in a package: ..\\up", sError);
}
