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
    EXPECT_EQ(0, sError.Find(("Cannot replace file '" + sPath + "'\nReason: ").c_str())) << sError.c_str();
    ::CloseHandle(h);
    EXPECT_EQ("[LANGUAGE]\r\nLocalizationFile=en-English\r\n", testutil::ReadFileOrEmpty(sPath));
    EXPECT_FALSE(testutil::FileExists(sPath + ".tmp")) << "the new text is not left behind";
}

namespace {

// Puts failing file calls in place for one test.
class CFileCallsSeam {
public:
    explicit CFileCallsSeam(const TsOptionsFileCalls& calls) { g_tsOptionsFileCalls = calls; }
    ~CFileCallsSeam() { g_tsOptionsFileCalls = kTsOptionsSystemFileCalls; }
    CFileCallsSeam(const CFileCallsSeam&) = delete;
    CFileCallsSeam& operator=(const CFileCallsSeam&) = delete;
};

// A drive that fills up or goes away: the bytes were taken, but closing (where a buffered or
// network file is written out) fails.
BOOL WINAPI CloseFailsDiskFull(HANDLE h)
{
    ::CloseHandle(h);
    ::SetLastError(ERROR_DISK_FULL);
    return FALSE;
}
BOOL WINAPI WriteFailsDeviceGone(HANDLE, LPCVOID, DWORD, LPDWORD pdwWritten, LPOVERLAPPED)
{
    *pdwWritten = 0;
    ::SetLastError(ERROR_DEVICE_REMOVED);
    return FALSE;
}
BOOL WINAPI ReplaceFailsDeviceGone(LPCSTR, LPCSTR, DWORD)
{
    ::SetLastError(ERROR_DEVICE_REMOVED);
    return FALSE;
}

CString ReasonOf(DWORD dwCode)
{
    CString s;
    GetErrorText(s, dwCode);
    return s;
}

}  // namespace

// Whatever step fails, Save says so, and the file keeps what it held.
TEST(TsOptions, AFailingWriteCloseOrReplaceKeepsTheOldFile)
{
    TsOptionsFileCalls closeFails = kTsOptionsSystemFileCalls;
    closeFails.pfnCloseHandle = CloseFailsDiskFull;
    TsOptionsFileCalls writeFails = kTsOptionsSystemFileCalls;
    writeFails.pfnWriteFile = WriteFailsDeviceGone;
    TsOptionsFileCalls replaceFails = kTsOptionsSystemFileCalls;
    replaceFails.pfnMoveFileExA = ReplaceFailsDeviceGone;
    struct Row {
        const char* name;
        const TsOptionsFileCalls* calls;
        const char* error;   // before the path
        const char* pathSuffix;
        DWORD code;
    };
    const Row kRows[] = {
        {"close", &closeFails, "File cannot be written: '", ".tmp", ERROR_DISK_FULL},
        {"write", &writeFails, "File cannot be written: '", ".tmp", ERROR_DEVICE_REMOVED},
        {"replace", &replaceFails, "Cannot replace file '", "", ERROR_DEVICE_REMOVED},
    };
    for (const Row& r : kRows) {
        SCOPED_TRACE(r.name);
        CTempDir dir;
        const std::string sPath = dir / "options.tso";
        const std::string sOld = "[LANGUAGE]\r\nLocalizationFile=de-German\r\n[Other]\r\nx=1\r\n";
        CTsOptions opt;
        ASSERT_TRUE(LoadText(opt, dir, sOld).ok);
        opt.Set("fr-French", "[LANGUAGE]", "LocalizationFile");
        CString sError;
        {
            CFileCallsSeam seam(*r.calls);
            EXPECT_FALSE(opt.Save(sError));
        }
        EXPECT_EQ(std::string(r.error) + sPath + r.pathSuffix + "'\nReason: " + ReasonOf(r.code).c_str(),
                  sError.c_str());
        EXPECT_EQ(sOld, testutil::ReadFileOrEmpty(sPath));
        EXPECT_FALSE(testutil::FileExists(sPath + ".tmp"));
        // The same object saves once the drive is back.
        ASSERT_TRUE(opt.Save(sError)) << sError.c_str();
        CTsOptions again;
        again.SetPath(dir.Path().c_str());
        ASSERT_TRUE(again.Load(sError));
        EXPECT_STREQ("fr-French", GetOr(again, "[LANGUAGE]", "LocalizationFile"));
        EXPECT_STREQ("1", GetOr(again, "[Other]", "x"));
    }
}

// A file that is there but could not be read holds what nobody knows: it is never
// overwritten by the few values set since.
TEST(TsOptions, AFileThatCouldNotBeReadIsNeverOverwritten)
{
    CTempDir dir;
    const std::string sPath = dir / "options.tso";
    const std::string sOld = "[LANGUAGE]\r\nLocalizationFile=de-German\r\n[Keys]\r\nk=v\r\n";
    ASSERT_TRUE(testutil::WriteFileBytes(sPath, sOld));
    HANDLE h = ::CreateFileA(sPath.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    CTsOptions opt;
    opt.SetPath(dir.Path().c_str());
    CString sError;
    EXPECT_FALSE(opt.Load(sError));
    ::CloseHandle(h);
    ASSERT_EQ(CTsOptions::NotLoaded, opt.GetLoadState());

    opt.Set("fr-French", "[LANGUAGE]", "LocalizationFile");
    EXPECT_FALSE(opt.Save(sError));
    EXPECT_EQ("The options file '" + sPath + "' could not be read; it is not overwritten", std::string(sError.c_str()));
    EXPECT_EQ(sOld, testutil::ReadFileOrEmpty(sPath));
    EXPECT_FALSE(testutil::FileExists(sPath + ".tmp"));
}

// Saving over a corrupt file keeps the original bytes beside it first.
TEST(TsOptions, ACorruptFileIsKeptAsBackupBeforeItIsReplaced)
{
    CTempDir dir;
    const std::string sPath = dir / "options.tso";
    const std::string sCorrupt = "[LANGUAGE]\r\nLocalizationFile=de-German\r\nbroken line\r\n[Keys]\r\nk=v\r\n";
    CTsOptions opt;
    ASSERT_FALSE(LoadText(opt, dir, sCorrupt).ok);
    ASSERT_EQ(CTsOptions::Corrupt, opt.GetLoadState());
    opt.Set("fr-French", "[LANGUAGE]", "LocalizationFile");
    CString sError;
    ASSERT_TRUE(opt.Save(sError)) << sError.c_str();
    EXPECT_EQ(sCorrupt, testutil::ReadFileOrEmpty(sPath + ".bak"));
    EXPECT_EQ("[LANGUAGE]\r\nLocalizationFile=fr-French\r\n", testutil::ReadFileOrEmpty(sPath));

    // Without room for the copy nothing is replaced.
    ASSERT_TRUE(testutil::WriteFileBytes(sPath, sCorrupt));
    ASSERT_FALSE(LoadText(opt, dir, sCorrupt).ok);
    ::DeleteFileA((sPath + ".bak").c_str());
    ASSERT_TRUE(::CreateDirectoryA((sPath + ".bak").c_str(), nullptr));   // a folder where the copy belongs
    opt.Set("fr-French", "[LANGUAGE]", "LocalizationFile");
    EXPECT_FALSE(opt.Save(sError));
    EXPECT_EQ(0, sError.Find(("Cannot keep a copy of the corrupt options file '" + sPath + "'\nReason: ").c_str()))
        << sError.c_str();
    EXPECT_EQ(sCorrupt, testutil::ReadFileOrEmpty(sPath));
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
