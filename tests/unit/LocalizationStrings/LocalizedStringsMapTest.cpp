#include <gtest/gtest.h>

#include <string>

#include <windows.h>

#include "LocalizationStrings/LocalizedStringsMap.h"
#include "../Strings/HelperProcess.h"
#include "Strings/TsLock.h"
#include "Strings/TsLog.h"
#include "Strings/TsOptions.h"
#include "framework/Exceptions.h"
#include "TestUtil.h"

using testutil::CTempDir;
using testutil::WriteFileBytes;

namespace {

// Every test starts from the built-in table and without the U3 platform's language.
class LocalizationTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::SetEnvironmentVariableA("U3_ENV_LANGUAGE", nullptr);
        ResetLocalizedStrings();
    }
    void TearDown() override
    {
        ::SetEnvironmentVariableA("U3_ENV_LANGUAGE", nullptr);
        ResetLocalizedStrings();
    }
    CTempDir m_dir;
};

struct BuiltinRow {
    int id;
    const char* key;
    const char* text;
};
const BuiltinRow kBuiltinRows[] = {
    {0, "TSS_CODEPAGE", "1252"},
    {1057, "Tessaly_Information", "Tessaly Information"},
    {1060, "Tessaly_Error", "Tessaly Error"},
    {1208, "Closer_FilesLockedBy_Error",
     "Tessaly files remain locked by following applications:\n%1\nFiles must be unlocked for operation to "
     "continue.\n\nClose all applications windows and click 'Yes' to check for locked files again.\nClick 'No' if "
     "you want to continue without waiting, you will have to reboot after Tessaly files are installed.\n"},
    {1287, "Uninstall_U3_RemoveData_Text", "Do you want also to remove Tessaly Data files from U3 Smart Device?"},
    {1297, "Portable_Ind_Starting", "Starting Wayfarer (Portable Tessaly)..."},
    {1314, "Portable_Ind_Btn_ShowLog", "View Log"},
};

}  // namespace

TEST_F(LocalizationTest, BuiltinTableHoldsTheEnglishTexts)
{
    EXPECT_EQ(1982, GetLocalizedStringCount());
    for (const BuiltinRow& row : kBuiltinRows) {
        SCOPED_TRACE(row.key);
        EXPECT_STREQ(row.text, CLocalizedString(row.id));
        EXPECT_STREQ(row.key, GetLocalizedStringKey(row.id));
        EXPECT_EQ(row.id, FindLocalizedStringId(row.key));
    }
    EXPECT_STREQ("", CLocalizedString(1));      // ids the programs do not use are empty
    EXPECT_STREQ("", GetLocalizedStringKey(1));
    EXPECT_EQ(-1, FindLocalizedStringId("No_Such_Key"));
}

TEST_F(LocalizationTest, IdOutsideTheTableIsAHardAssertion)
{
    EXPECT_THROW(CLocalizedString(1982), CUserException);
    EXPECT_THROW(CLocalizedString(-1), CUserException);
    EXPECT_NO_THROW(CLocalizedString(1981));
}

TEST_F(LocalizationTest, ArgumentsFillThePlaceholders)
{
    ASSERT_TRUE(WriteFileBytes(m_dir / "xx-Test.tsi",
                               "10 \"100%%\"\n11 \"%1 of %2, 100%%\"\n12 \"%5%4%3%2%1\"\n13 \"a %1 b\"\n"));
    CString sName("xx-Test");
    ASSERT_TRUE(LoadLanguage(sName, m_dir.Path().c_str(), false));

    EXPECT_STREQ("100%", CLocalizedString(10));
    EXPECT_STREQ("3 of 7, 100%", CLocalizedString(11, "3", "7"));
    EXPECT_STREQ("edcba", CLocalizedString(12, "a", "b", "c", "d", "e"));
    EXPECT_STREQ("%5%4%3%2x", CLocalizedString(12, "x"));   // missing arguments stay as placeholders
    // An argument is put in as it stands, even when it looks like a placeholder.
    EXPECT_STREQ("X:\\100%2 of 7, 100%", CLocalizedString(11, "X:\\100%2", "7"));

    EXPECT_STREQ("Tessaly files remain locked by following applications:\nIE, Firefox\nFiles",
                 CLocalizedString(1208, "IE, Firefox").Left(72));
}

TEST_F(LocalizationTest, PlaceholderFetchedWithoutArgumentsIsTraced)
{
    TsTraceReset();
    CString s = CLocalizedString(1296);
    EXPECT_STREQ("Switching Tessaly ver %1 into Wayfarer mode", s);
    CString sTrace;
    TsGetTraceText(sTrace);
    EXPECT_GE(sTrace.Find("!CLS:1296"), 0) << sTrace.c_str();
    EXPECT_GE(sTrace.Find("!!!SA "), 0) << sTrace.c_str();
}

TEST_F(LocalizationTest, LanguageFileAndOverlay)
{
    ASSERT_TRUE(WriteFileBytes(m_dir / "de-German.tsi", "1300 \"Schluesselkarten lesen...\"\r\n1303 \"Gestartet\"\r\n"));
    ASSERT_TRUE(WriteFileBytes(m_dir / "de-German.tsi.custom", "1303 \"Wayfarer laeuft\"\n"));

    CString sName("de-German");
    ASSERT_TRUE(LoadLanguage(sName, (m_dir.Path() + "\\").c_str(), true));
    EXPECT_STREQ("de-German", sName);
    EXPECT_STREQ("Schluesselkarten lesen...", CLocalizedString(1300));
    EXPECT_STREQ("Wayfarer laeuft", CLocalizedString(1303));
    EXPECT_STREQ("Stopping Wayfarer...", CLocalizedString(1298));   // not in the file: built-in

    ASSERT_TRUE(LoadLanguage(sName, m_dir.Path().c_str(), false));
    EXPECT_STREQ("Gestartet", CLocalizedString(1303));               // overlay not read
}

TEST_F(LocalizationTest, BrokenFilesLeaveTheBuiltinTexts)
{
    const std::string kOversized = "1303 \"Gestartet\"\n" + std::string(16 * 1024 * 1024, '\n');
    struct Case {
        const char* name;
        const char* main;
        const char* custom;   // null: no overlay file
        bool ok;
        const char* text1300;
        const char* text1303;
    };
    const Case kCases[] = {
        {"bad string in the main file", "1303 \"Gestartet\"\n1300 Lesen\n", nullptr, false, "Reading Keycards...",
         "Wayfarer has started"},
        {"id beyond the table", "1303 \"Gestartet\"\n5000 \"x\"\n", nullptr, false, "Reading Keycards...",
         "Wayfarer has started"},
        {"broken overlay keeps what it read", "1303 \"Gestartet\"\n", "1300 \"Lesen\"\n1303 kaputt\n", true, "Lesen",
         "Gestartet"},
        {"text mode: 0x1A ends the file", "1300 \"Lesen\"\r\n\x1a" "1303 kaputt\n", nullptr, true, "Lesen",
         "Wayfarer has started"},
        // A valid table padded beyond 16 MB is not a language file: refused before parsing.
        {"file over the size limit", kOversized.c_str(), nullptr, false, "Reading Keycards...", "Wayfarer has started"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        CTempDir dir;
        ASSERT_TRUE(WriteFileBytes(dir / "de-German.tsi", c.main));
        if (c.custom) {
            ASSERT_TRUE(WriteFileBytes(dir / "de-German.tsi.custom", c.custom));
        }
        CString sName("de-German");
        EXPECT_EQ(c.ok, LoadLanguage(sName, dir.Path().c_str(), true));
        EXPECT_STREQ(c.text1300, CLocalizedString(1300));
        EXPECT_STREQ(c.text1303, CLocalizedString(1303));
    }

    // A language replaced by a missing one goes back to the built-in texts.
    ASSERT_TRUE(WriteFileBytes(m_dir / "de-German.tsi", "1300 \"Lesen\"\n"));
    CString sName("de-German");
    ASSERT_TRUE(LoadLanguage(sName, m_dir.Path().c_str(), true));
    sName = "fr-French";
    EXPECT_FALSE(LoadLanguage(sName, m_dir.Path().c_str(), true));
    EXPECT_STREQ("fr-French", sName);
    EXPECT_STREQ("Reading Keycards...", CLocalizedString(1300));
}

TEST_F(LocalizationTest, DefaultLanguageFollowsTheLocale)
{
    for (const char* pszFile : {"en-English.tsi", "de-German.tsi", "cn-Chinese.tsi", "se-Swedish.tsi"})
        ASSERT_TRUE(WriteFileBytes(m_dir / pszFile, "1300 \"x\"\n"));
    ASSERT_TRUE(testutil::CreateFolders(m_dir / "fr-folder.tsi"));   // a folder is no language file

    struct Case {
        const char* locale;   // U3_ENV_LANGUAGE, null for the system's
        const char* abbrev;
        const char* expected;
    };
    const Case kCases[] = {
        {"1031", "DEU", "de-German"},
        {"1028", "CHT", "cn-Chinese"},   // CHT is turned into cn
        {"1053", "SVE", "se-Swedish"},   // SVE is turned into se
        {"1033", "ENU", "en-English"},
        {"1036", "FRA", "en-English"},   // only a folder matches fr*.tsi
        {"0", nullptr, nullptr},         // 0 means the system's locale
    };
    char szSystem[64] = "";
    ::GetLocaleInfoA(::GetSystemDefaultLCID(), LOCALE_SABBREVLANGNAME, szSystem, sizeof(szSystem));
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.locale);
        ::SetEnvironmentVariableA("U3_ENV_LANGUAGE", c.locale);
        CString sName;
        FindDefaultLanguageFile(sName, m_dir.Path().c_str());
        EXPECT_STREQ(c.abbrev ? c.abbrev : szSystem, GetSystemLanguageAbbrev());
        if (c.expected) {
            EXPECT_STREQ(c.expected, sName);
        } else {
            EXPECT_FALSE(sName.IsEmpty());
        }
    }

    ::SetEnvironmentVariableA("U3_ENV_LANGUAGE", "1031");
    CString sGiven("it-Italian");
    FindDefaultLanguageFile(sGiven, m_dir.Path().c_str());
    EXPECT_STREQ("it-Italian", sGiven);          // a configured name is kept
    EXPECT_STREQ("DEU", GetSystemLanguageAbbrev());

    CTempDir empty;
    CString sNone;
    EXPECT_FALSE(LoadLanguage(sNone, empty.Path().c_str(), false));  // en-English.tsi is not there
    EXPECT_STREQ("en-English", sNone);
    EXPECT_STREQ("Reading Keycards...", CLocalizedString(1300));
}

TEST(LanguageCodeToFile, MapsTheCodeTable)
{
    const std::pair<const char*, const char*> kCodes[] = {
        {"en", "en-English"}, {"fr", "fr-French"}, {"de", "de-German"}, {"it", "it-Italian"},
        {"es", "es-Spanish"}, {"ja", "jp-Japanese"}, {"jp", "jp-Japanese"}, {"zh-chs", "cn-Chinese"},
        {"zh-cht", "zh-Chinese"}, {"ru", "ru-Russian"}, {"tr", "tr-Turkish"}, {"pt", "br-Brasilian"},
        {"pl", "pl-Polish"},
    };
    for (const auto& c : kCodes) {
        SCOPED_TRACE(c.first);
        CString sName("unchanged");
        EXPECT_TRUE(LanguageCodeToFile(c.first, sName));
        EXPECT_STREQ(c.second, sName);
    }
    for (const char* pszOther : {"DE", "de-German", "zh", "", "en "}) {
        SCOPED_TRACE(pszOther);
        CString sName("unchanged");
        EXPECT_FALSE(LanguageCodeToFile(pszOther, sName));
        EXPECT_STREQ("unchanged", sName);
    }
}

TEST(CurrentLanguage, CodeIsTakenFromCodedNames)
{
    const std::pair<const char*, const char*> kNames[] = {
        {"de-German", "de"}, {"xx-Y", "xx"}, {"en-", ""}, {"en", ""}, {"deGerman", ""}, {"", ""},
    };
    for (const auto& c : kNames) {
        SCOPED_TRACE(c.first);
        SetCurrentLanguageName(c.first);
        EXPECT_STREQ(c.first, GetCurrentLanguageName());
        EXPECT_STREQ(c.second, GetCurrentLanguageCode());
    }
}

TEST(LocalizationOption, ReadFromTheOptionsFile)
{
    CTempDir dir;
    EXPECT_STREQ("", TsGetLocalizationOption(dir.Path().c_str(), nullptr));   // no options file

    ASSERT_TRUE(WriteFileBytes(dir / "options.tso", "[GENERAL]\r\nx=1\r\n"));
    EXPECT_STREQ("", TsGetLocalizationOption(dir.Path().c_str(), nullptr));   // no language section

    ASSERT_TRUE(WriteFileBytes(dir / "options.tso", "[LANGUAGE]\r\nLocalizationFile=De-German.TSS\r\n"));
    EXPECT_STREQ("de-german", TsGetLocalizationOption(dir.Path().c_str(), nullptr));
    EXPECT_EQ(0, GetHeldLockLevel());   // the lock is given back

    CTsOptions options;
    options.Set("FR-French", "[LANGUAGE]", "LocalizationFile");
    EXPECT_STREQ("fr-french", TsGetLocalizationOption(dir.Path().c_str(), &options));
    options.Set("it-Italian.tss.tss", "[LANGUAGE]", "LocalizationFile");
    EXPECT_STREQ("it-italian.tss", TsGetLocalizationOption(nullptr, &options));
}

TEST(LocalizationOption, WaitsForTheInterprocessLock)
{
    CTempDir dir;
    ASSERT_TRUE(WriteFileBytes(dir / "options.tso", "[LANGUAGE]\r\nLocalizationFile=ru-Russian\r\n"));
    CMeetingEvent held("langlock");
    CHelperProcess helper("connect lock Holder signal " + held.Name() + " sleep 1500 unlock disconnect");
    ASSERT_TRUE(helper.Started());
    ASSERT_TRUE(held.Wait());
    DWORD dwStart = ::GetTickCount();
    EXPECT_STREQ("ru-russian", TsGetLocalizationOption(dir.Path().c_str(), nullptr));
    EXPECT_GE(::GetTickCount() - dwStart, 1000u);
    EXPECT_EQ(0, helper.Wait());
}
