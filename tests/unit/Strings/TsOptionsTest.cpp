#include <gtest/gtest.h>

#include "Strings/TsLog.h"
#include "Strings/TsOptions.h"
#include "TestUtil.h"

using testutil::CTempDir;

namespace {

struct Loaded {
    bool ok;
    CString error;
    CTsOptions::LoadState state;
};

Loaded LoadText(CTsOptions& opt, const CTempDir& dir, const std::string& text)
{
    testutil::WriteFileBytes(dir / "options.tso", text);
    opt.SetPath(dir.Path().c_str());
    Loaded r;
    r.ok = opt.Load(r.error);
    r.state = opt.GetLoadState();
    return r;
}

CString GetOr(const CTsOptions& opt, const char* section, const char* name)
{
    CString v, e;
    return opt.Get(v, section, name, e) ? v : CString("<") + e + ">";
}

}  // namespace

TEST(TsOptions, ParsesValuesAndLayout)
{
    CTempDir dir;
    CTsOptions opt;
    Loaded r = LoadText(opt, dir,
        "* comment\n"
        "\n"
        "  [LANGUAGE]  \r\r\n"
        "   LocalizationFile  =  de-German   \n"
        "a=b=c\n"
        "empty=\n"
        "[Other]\n"
        "x=1\n"
        "[LANGUAGE]\n"
        "a=later\n"
        "last=no line end");
    ASSERT_TRUE(r.ok) << r.error.c_str();
    EXPECT_EQ(CTsOptions::Loaded, r.state);
    EXPECT_STREQ("de-German", GetOr(opt, "[LANGUAGE]", "LocalizationFile"));
    EXPECT_STREQ("later", GetOr(opt, "[LANGUAGE]", "a"));
    EXPECT_STREQ("", GetOr(opt, "[LANGUAGE]", "empty"));
    EXPECT_STREQ("no line end", GetOr(opt, "[LANGUAGE]", "last"));
    EXPECT_STREQ("1", GetOr(opt, "[Other]", "x"));
    EXPECT_STREQ("<section '[language]' is not found>", GetOr(opt, "[language]", "a"));
    EXPECT_STREQ("<value '[Other].y' is not found>", GetOr(opt, "[Other]", "y"));
}

struct FormatErrorCase {
    const char* text;
    const char* error;
};
static const FormatErrorCase kFormatErrors[] = {
    {"[]\n", "Wrong format (line 1): section name is too short"},
    {"* c\n\n[LANGUAGE\n", "Wrong format (line 3): section name without closing bracket"},
    {"\n* first\n\nname=value\n", "Wrong format (line 4): value definition is before section definition"},
    {"[S]\nnovalue\n", "Wrong format (line 2): there is no '=' symbol"},
    {"[S]\na=1\n=x\n", "Wrong format (line 3): value name is empty"},
};

TEST(TsOptions, FormatErrorsStopAtTheFirstBadLine)
{
    for (const FormatErrorCase& c : kFormatErrors) {
        SCOPED_TRACE(c.text);
        CTempDir dir;
        CTsOptions opt;
        Loaded r = LoadText(opt, dir, c.text);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(CTsOptions::Corrupt, r.state);
        EXPECT_STREQ(c.error, r.error);
        EXPECT_STREQ("<section '[S]' is not found>", GetOr(opt, "[S]", "a")) << "nothing read is kept";
    }
}

TEST(TsOptions, CommentsOnlyAndMissingFile)
{
    CTempDir dir;
    CTsOptions opt;
    Loaded r = LoadText(opt, dir, "* only\r\n\r\n   \r\n");
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(CTsOptions::Loaded, r.state);

    CTsOptions none;
    none.SetPath((dir / "absent").c_str());
    CString sError;
    EXPECT_TRUE(none.Load(sError));
    EXPECT_EQ(CTsOptions::NoFile, none.GetLoadState());
    EXPECT_NE(-1, sError.Find("Cannot open file '")) << sError.c_str();

    CTsOptions empty;
    EXPECT_FALSE(empty.Load(sError));
    EXPECT_EQ(CTsOptions::NotLoaded, empty.GetLoadState());
}

TEST(TsOptions, SetPath)
{
    CTsOptions opt;
    opt.SetPath("c:\\data");
    EXPECT_STREQ("c:\\data\\options.tso", opt.GetPath());
    opt.SetPath("c:\\data\\", "x.txt");
    EXPECT_STREQ("c:\\data\\x.txt", opt.GetPath());
    opt.SetPath("");
    EXPECT_STREQ("options.tso", opt.GetPath());
    opt.SetPath(nullptr);
    EXPECT_STREQ("", opt.GetPath());
}

TEST(TsOptions, SaveWritesEverySectionAndRoundTrips)
{
    CTempDir dir;
    CTsOptions opt;
    opt.SetPath(dir.Path().c_str());
    TsTraceReset();
    opt.m_bModified = true;
    opt.Set("de-German", "[LANGUAGE]", "LocalizationFile");
    opt.Set("v", "[Second]", "k");
    CString sError;
    ASSERT_TRUE(opt.Save(sError)) << sError.c_str();
    EXPECT_FALSE(opt.m_bModified);
    CString sTrace;
    TsGetTraceText(sTrace);
    EXPECT_NE(-1, sTrace.Find("OSF: options was not loaded\n")) << "saved although never loaded, with a trace";

    std::string text = testutil::ReadFileOrEmpty(dir / "options.tso");
    EXPECT_NE(std::string::npos, text.find("[LANGUAGE]\r\nLocalizationFile=de-German\r\n"));
    EXPECT_NE(std::string::npos, text.find("[Second]\r\nk=v\r\n"));
    EXPECT_EQ(std::string::npos, text.find("\r\n\r\n"));

    CTsOptions again;
    again.SetPath(dir.Path().c_str());
    ASSERT_TRUE(again.Load(sError));
    EXPECT_STREQ("de-German", GetOr(again, "[LANGUAGE]", "LocalizationFile"));
    EXPECT_STREQ("v", GetOr(again, "[Second]", "k"));
}

TEST(TsOptions, SaveOrderFollowsTheHashBuckets)
{
    // "[A]" hashes to bucket 0 ((91*33+65)*33+93 = 101337 = 17 * 5961) and "[B]" to bucket 16,
    // so "[A]" is written first whatever the order of setting. Within a bucket the newest
    // key comes first: "a" and "r" share bucket 97 % 17 = 114 % 17 = 12.
    CTsOptions opt;
    opt.Set("2", "[B]", "y");
    opt.Set("1", "[A]", "a");
    opt.Set("3", "[A]", "r");
    CString sText, sError;
    ASSERT_TRUE(opt.BuildText(sText, sError));
    EXPECT_STREQ("[A]\r\nr=3\r\na=1\r\n[B]\r\ny=2\r\n", sText);
}

TEST(TsOptions, CorruptHiddenFileIsReplacedAndALockedOneReported)
{
    CTempDir dir;
    CTsOptions opt;
    Loaded r = LoadText(opt, dir, "garbage line\n");
    ASSERT_FALSE(r.ok);
    const std::string sPath = dir / "options.tso";
    ASSERT_TRUE(::SetFileAttributesA(sPath.c_str(), FILE_ATTRIBUTE_HIDDEN));
    opt.Set("en-English", "[LANGUAGE]", "LocalizationFile");
    CString sError;
    ASSERT_TRUE(opt.Save(sError)) << sError.c_str();
    EXPECT_EQ("[LANGUAGE]\r\nLocalizationFile=en-English\r\n", testutil::ReadFileOrEmpty(sPath));

    // Held without sharing by someone else: both attempts fail and the reason is given.
    HANDLE h = ::CreateFileA(sPath.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    opt.Set("de-German", "[LANGUAGE]", "LocalizationFile");
    EXPECT_FALSE(opt.Save(sError));
    EXPECT_EQ(0, sError.Find("Cannot open file '")) << sError.c_str();
    ::CloseHandle(h);
    EXPECT_EQ("[LANGUAGE]\r\nLocalizationFile=en-English\r\n", testutil::ReadFileOrEmpty(sPath));
}

TEST(TsOptions, SaveFailsOnAMissingFolderWithTheReason)
{
    CTempDir dir;
    CTsOptions opt;
    opt.SetPath((dir / "no\\such").c_str());
    opt.Set("x", "[S]", "a");
    CString sError;
    EXPECT_FALSE(opt.Save(sError));
    EXPECT_EQ(0, sError.Find("Cannot open file '")) << sError.c_str();
    CTsOptions noPath;
    EXPECT_FALSE(noPath.Save(sError));
    EXPECT_STREQ("CTsOptions::Save: empty file name", sError);
}

TEST(TsTextFile, LinesAndErrors)
{
    CTempDir dir;
    testutil::WriteFileBytes(dir / "t.txt", "one\r\r\ntwo\n\nlast");
    TsTextFile f;
    CString sError, sLine;
    EXPECT_FALSE(f.ReadLine(sLine));
    EXPECT_FALSE(f.Write("x", 1, sError));
    EXPECT_STREQ("file is not open", sError);
    ASSERT_TRUE(f.Open((dir / "t.txt").c_str(), "rb", sError));
    EXPECT_FALSE(f.Open((dir / "t.txt").c_str(), "rb", sError));
    EXPECT_STREQ("Opening file on description that is already open", sError);
    const char* expected[] = {"one", "two", "", "last"};
    for (const char* e : expected) {
        ASSERT_TRUE(f.ReadLine(sLine));
        EXPECT_STREQ(e, sLine);
    }
    EXPECT_FALSE(f.ReadLine(sLine));
}

TEST(TsProfileSection, ReadsAndWritesThroughTheSystem)
{
    CTempDir dir;
    const std::string sIni = dir / "Portable.ini";
    testutil::WriteFileBytes(sIni, "[Path]\r\nShowSplash=true\r\nUnpackTo=AppData\r\nOther=FALSE\r\n");
    CTsProfileSection path("Path", sIni.c_str());
    CString s;
    path.GetString("UnpackTo", s, "");
    EXPECT_STREQ("AppData", s);
    path.GetString("missing", s, "\\Tessaly");
    EXPECT_STREQ("\\Tessaly", s);
    EXPECT_FALSE(path.GetBool("ShowSplash", false)) << "\"true\" is not \"TRUE\": the default";
    EXPECT_TRUE(path.GetBool("ShowSplash", true));
    EXPECT_FALSE(path.GetBool("Other", true));

    CTsProfileSection greeting("Greeting", sIni.c_str());
    greeting.WriteBool("license_approved", true);
    EXPECT_TRUE(greeting.GetBool("license_approved", false));
    EXPECT_NE(std::string::npos, testutil::ReadFileOrEmpty(sIni).find("license_approved=TRUE"));

    CTsProfileSection noFile("Path", "");
    noFile.GetString("DataPath", s, "dflt");
    EXPECT_STREQ("dflt", s);
    noFile.WriteString("DataPath", "x");  // does nothing, and must not write a file anywhere
    CTsProfileSection noKey("Path", sIni.c_str());
    noKey.GetString("", s, "d2");
    EXPECT_STREQ("d2", s);

    std::string sLong(2000, 'v');
    path.WriteString("Long", sLong.c_str());
    path.GetString("Long", s, "");
    EXPECT_EQ(1023, s.GetLength());
}
