// Runs natively and under Wine: the text rules have no system calls.
#include <gtest/gtest.h>

#include <string>

#include "Strings/ErrorReportText.h"

namespace {

struct EncodeCase {
    const char* text;
    bool encodeBlanks;
    const char* expected;
};

const EncodeCase kEncodeCases[] = {
    {"a b\nc", true, "a%20b%0Ac"},
    {"a b\nc\\d", false, "a b\nc\\d"},
    {"(x)@y.z:/?-_.$", true, "(x)@y.z:/?-_.$"},
    {"a\\b&c=d+e%f#g", true, "a%5Cb%26c%3Dd%2Be%25f%23g"},
    {"\xE4\x7F\x01\t", false, "%E4%7F%01%09"},
    {"", true, ""},
};

std::string Lines(int nCount, const std::string& sLine)
{
    std::string s;
    for (int i = 0; i < nCount; ++i)
        s += sLine + std::to_string(i) + "\n";
    return s;
}

}  // namespace

TEST(ErrorReportText, UrlEncode)
{
    for (const EncodeCase& c : kEncodeCases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(c.expected, UrlEncode(c.text, c.encodeBlanks, false));
    }
}

TEST(ErrorReportText, UrlEncodeLimitCutsTheEncodedText)
{
    const std::string sText(1000, ' ');   // 3000 characters encoded
    EXPECT_EQ(3000u, UrlEncode(sText, true, false).size());
    EXPECT_EQ(kTsReportRequestLimit, UrlEncode(sText, true, true).size());
    EXPECT_EQ("20%", UrlEncode(sText, true, true).substr(2017));   // the cut may split an escape
    EXPECT_EQ(1000u, UrlEncode(sText, false, true).size());
}

TEST(ErrorReportText, ShortenKeepsFifteenLinesOfEightyCharacters)
{
    // 40 lines: the first 15 and an empty one.
    EXPECT_EQ(Lines(15, "line ") + "\n", ShortenReportForDisplay(Lines(40, "line ")));
    EXPECT_EQ(Lines(15, "line ") + "\n", ShortenReportForDisplay(Lines(15, "line ")));
    EXPECT_EQ(Lines(14, "line "), ShortenReportForDisplay(Lines(14, "line ")));

    // A line of 200 characters shows its first 80; a cut line does not count among the 15.
    const std::string sLong(200, 'x');
    EXPECT_EQ(std::string(80, 'x') + "\nnext\n", ShortenReportForDisplay(sLong + "\nnext\n"));
    EXPECT_EQ(std::string(80, 'x'), ShortenReportForDisplay(sLong));
    EXPECT_EQ(std::string(80, 'x') + "\n" + Lines(15, "l") + "\n",
              ShortenReportForDisplay(sLong + "\n" + Lines(20, "l")));
    EXPECT_EQ(std::string(80, 'y') + "\n", ShortenReportForDisplay(std::string(80, 'y') + "\n"));
}

TEST(ErrorReportText, TraceBesideTheSecondRequestKeepsItsNewestPart)
{
    std::string sTrace;
    for (int i = 0; sTrace.size() < 3000; ++i)
        sTrace += "T" + std::to_string(i) + "%0A";
    const std::string sPart = NewestPartThatFits(sTrace, 150);
    EXPECT_EQ(kTsReportRequestLimit - 150, sPart.size());
    EXPECT_EQ(sTrace.substr(sTrace.size() - sPart.size()), sPart);

    EXPECT_EQ("abc", NewestPartThatFits("abc", kTsReportRequestLimit - 4));   // 2019 in all
    EXPECT_EQ("abc", NewestPartThatFits("abc", kTsReportRequestLimit - 3));   // exactly 2020
    EXPECT_EQ("bc", NewestPartThatFits("abc", kTsReportRequestLimit - 2));
    EXPECT_EQ("", NewestPartThatFits("abc", kTsReportRequestLimit));
}

TEST(ErrorReportText, KnownTroubleIsMatchedInExactCase)
{
    struct Case {
        const char* report;
        const char* caption;   // null: no known trouble
        const char* textStart;
    };
    static const Case kCases[] = {
        {"*Modules*: a.dll shw95dll.dll \n", "Exception in Tessaly caused by Others", "You have Kensington"},
        {"*Modules*: kmw_dll.dll gdiwxp.dll \n", "Exception in Tessaly caused by Others", "You have Kensington"},
        {"*Modules*: gdiwxp.dll \n", "Exception in Tessaly caused by Others", "You have GDIWXP.DLL"},
        {"*Modules*: GDIWXP.DLL SHW95DLL.DLL \n", nullptr, nullptr},
        {"*Modules*: a.dll \n", nullptr, nullptr},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.report);
        const TsKnownTrouble* pTrouble = FindKnownTrouble(c.report);
        if (!c.caption) {
            EXPECT_EQ(nullptr, pTrouble);
            continue;
        }
        ASSERT_NE(nullptr, pTrouble);
        EXPECT_STREQ(c.caption, pTrouble->pszCaption);
        EXPECT_EQ(0u, std::string(pTrouble->pszText).find(c.textStart));
    }
    EXPECT_STREQ("Out of Resources/Memory", kTsOutOfMemoryTrouble.pszCaption);
}
