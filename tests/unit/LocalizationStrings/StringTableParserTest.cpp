#include <gtest/gtest.h>

#include <windows.h>

#include <random>

#include "LocalizationStrings/StringTableParser.h"
#include "TestUtil.h"

namespace {

struct ParseCase {
    const char* name;
    const char* text;
    bool ok;
    const char* error;                                // exact message, "" for none
    std::vector<std::pair<int, std::string>> entries;  // what the map holds afterwards
};

const ParseCase kCases[] = {
    {"quoted text", "1300 \"Hello\"\n", true, "", {{1300, "Hello"}}},
    {"text without quotes", "1300 Hello\n", false,
     "Parse string table error: x.tsi: 1\nBad string: 'Hello'", {}},
    {"id beyond the table", "5000 \"x\"\n", false, "", {}},
    {"last id", "1981 \"x\"", true, "", {{1981, "x"}}},
    {"tab escape", "1 \"a\\tb\"", true, "", {{1, "a\tb"}}},
    {"backslash before line break", "1 \"a\\\\n\"", true, "", {{1, "a\\\n"}}},
    {"other backslashes stay", "1 \"c:\\x\\\"", true, "", {{1, "c:\\x\\"}}},
    {"comments and blank lines", "# one\n* two\n\n   \n7 \"seven\"\n", true, "", {{7, "seven"}}},
    {"comment mark only in first column", "3 \"a\"\n #4 \"b\"\n", false,
     "Parse string table error: x.tsi: 2\nThere is no String Index in the beginning of the line", {{3, "a"}}},
    {"line starting with a space", " 12 \"x\"", false,
     "Parse string table error: x.tsi: 1\nThere is no String Index in the beginning of the line", {}},
    {"tab alone does not separate", "12\t\"x\"", false,
     "Parse string table error: x.tsi: 1\nThere is no String Index in the beginning of the line", {}},
    {"more white space after the space", "12 \t  \"x\"  \t\r\n", true, "", {{12, "x"}}},
    {"white space before the id", "\t12 \"x\"", true, "", {{12, "x"}}},
    {"id that is no number reads as 0", "abc \"x\"", true, "", {{0, "x"}}},
    {"inner quotes are kept", "3 \"say \"hi\"\"", true, "", {{3, "say \"hi\""}}},
    {"a lone quote", "3 \"", false, "Parse string table error: x.tsi: 1\nBad string: '\"'", {}},
    {"empty text", "3 \"\"", true, "", {{3, ""}}},
    {"later line wins", "5 \"a\"\n5 \"b\"\n", true, "", {{5, "b"}}},
    {"lines before an error stay", "5 \"a\"\n6 \"b\"\n\n7 bad\n8 \"c\"\n", false,
     "Parse string table error: x.tsi: 4\nBad string: 'bad'", {{5, "a"}, {6, "b"}}},
    {"huge id does not overflow", "99999999999999999999 \"x\"", false, "", {}},
    {"bad string is reported before a bad id", "5000 x", false,
     "Parse string table error: x.tsi: 1\nBad string: 'x'", {}},
};

}  // namespace

TEST(StringTableParser, ReadsLinesAndReportsErrors)
{
    for (const ParseCase& c : kCases) {
        SCOPED_TRACE(c.name);
        StringTableMap map;
        std::string sError = "stale";
        std::string text(c.text);
        EXPECT_EQ(c.ok, ParseStringTableText(text.data(), text.size(), "x.tsi", map, sError));
        EXPECT_EQ(c.error, sError);
        EXPECT_EQ(StringTableMap(c.entries.begin(), c.entries.end()), map);
    }
}

TEST(StringTableParser, KeyCommentsNameTheFollowingEntry)
{
    const std::string text = "#: First_Key\n1 \"one\"\n2 \"two\"\n#: Third_Key\n* any comment\n3 \"three\"\n";
    StringTableMap map, keys;
    std::string sError;
    ASSERT_TRUE(ParseStringTableText(text.data(), text.size(), "k.tsi", map, sError, &keys));
    EXPECT_EQ((StringTableMap{{1, "First_Key"}, {3, "Third_Key"}}), keys);
    EXPECT_EQ(3u, map.size());
}

TEST(StringTableParser, ReadsOnlyTheGivenBytes)
{
    // No terminator after the data: the reader must stop at the size it was given.
    std::vector<char> data = {'9', ' ', '"', 'z', '"'};
    StringTableMap map;
    std::string sError;
    EXPECT_TRUE(ParseStringTableText(data.data(), data.size(), "x.tsi", map, sError));
    EXPECT_EQ("z", map[9]);
}

// Random language files placed right before an unreadable page: the reader stays inside
// the bytes it was given, and whatever it keeps lies in the table's range.
TEST(StringTableParser, RandomTextStaysInsideItsBytes)
{
    testutil::CGuardedPage guard;
    ASSERT_TRUE(guard.Valid());

    const char kAlphabet[] = {'1', '9', '0', ' ', ' ', '"', '"', '\\', 'n', 't', '#', '*', '\r', '\n', '\n', '\t', 'x'};
    std::mt19937 rng(1982);
    for (int nRun = 0; nRun < 20000; ++nRun) {
        size_t nLength = rng() % 64;
        char* p = guard.End() - nLength;   // no terminator: the page after it cannot be read
        for (size_t i = 0; i < nLength; ++i)
            p[i] = kAlphabet[rng() % sizeof(kAlphabet)];
        StringTableMap map;
        std::string sError;
        bool bOk = ParseStringTableText(p, nLength, "r.tsi", map, sError);
        SCOPED_TRACE(std::string(p, nLength));
        if (bOk) {
            ASSERT_TRUE(sError.empty());
        }
        for (const auto& entry : map) {
            ASSERT_GE(entry.first, 0);
            ASSERT_LT(entry.first, kStringTableSize);
        }
    }
}
