#include <gtest/gtest.h>

#include "Strings/TsLog.h"
#include "Strings/TsOptions.h"
#include "FileCallsSeam.h"
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
    CString sError;
    ASSERT_TRUE(greeting.WriteBool("license_approved", true, sError)) << sError.c_str();
    EXPECT_TRUE(greeting.GetBool("license_approved", false));
    EXPECT_NE(std::string::npos, testutil::ReadFileOrEmpty(sIni).find("license_approved=TRUE"));

    CTsProfileSection noFile("Path", "");
    noFile.GetString("DataPath", s, "dflt");
    EXPECT_STREQ("dflt", s);
    EXPECT_TRUE(noFile.WriteString("DataPath", "x", sError));  // does nothing, and must not write a file anywhere
    CTsProfileSection noKey("Path", sIni.c_str());
    noKey.GetString("", s, "d2");
    EXPECT_STREQ("d2", s);

    std::string sLong(2000, 'v');
    ASSERT_TRUE(path.WriteString("Long", sLong.c_str(), sError));
    path.GetString("Long", s, "");
    EXPECT_EQ(1023, s.GetLength());
}

namespace {

CString TraceText()
{
    CString s;
    TsGetTraceText(s);
    return s;
}

}  // namespace

// A save cut off between the delete and the rename of its replace (FAT) leaves only the new
// copy: it is the options file.
TEST(TsOptions, TheCopyOfAnInterruptedSaveIsTheFileWhenTheFileIsMissing)
{
    const std::string sText = "[LANGUAGE]\r\nLocalizationFile=de-German\r\n[Other]\r\nx=1\r\n";
    CTempDir dir;
    const std::string sPath = dir / "options.tso";
    ASSERT_TRUE(testutil::WriteFileBytes(sPath + ".tmp", sText));
    CTsOptions opt;
    opt.SetPath(dir.Path().c_str());
    CString sError;
    TsTraceReset();
    ASSERT_TRUE(opt.Load(sError)) << sError.c_str();
    EXPECT_EQ(CTsOptions::Loaded, opt.GetLoadState());
    EXPECT_STREQ("1", GetOr(opt, "[Other]", "x"));
    EXPECT_EQ(sText, testutil::ReadFileOrEmpty(sPath)) << "put in place at once";
    EXPECT_FALSE(testutil::FileExists(sPath + ".tmp"));
    EXPECT_NE(-1, TraceText().Find(("LNOT: File missing; the copy of an interrupted replace was put in its place: " +
                                    sPath + "\n").c_str()));

    // A stick that takes no rename: the copy is read where it is, and never written over.
    ASSERT_TRUE(::MoveFileA(sPath.c_str(), (sPath + ".tmp").c_str()));
    TsOptionsFileCalls noRename = kTsOptionsSystemFileCalls;
    noRename.pfnMoveFileExA = MoveFailsWriteProtected;
    {
        CFileCallsSeam seam(noRename);
        TsTraceReset();
        ASSERT_TRUE(opt.Load(sError)) << sError.c_str();
        EXPECT_NE(-1, TraceText().Find(("LNOT: Options file missing; read from the copy of an interrupted save, to be "
                                        "put in place by the next save: " + sPath + ".tmp\n").c_str()));
        EXPECT_STREQ("de-German", GetOr(opt, "[LANGUAGE]", "LocalizationFile"));
        opt.Set("fr-French", "[LANGUAGE]", "LocalizationFile");
        EXPECT_FALSE(opt.Save(sError));
        EXPECT_EQ("Cannot replace file '" + sPath + "'\nReason: " + ReasonOf(ERROR_WRITE_PROTECT).c_str(),
                  sError.c_str());
        EXPECT_EQ(sText, testutil::ReadFileOrEmpty(sPath + ".tmp"));
        EXPECT_FALSE(testutil::FileExists(sPath));
    }
    // Once the stick takes it, the copy goes in place and the new set over it.
    ASSERT_TRUE(opt.Save(sError)) << sError.c_str();
    EXPECT_FALSE(testutil::FileExists(sPath + ".tmp"));
    CTsOptions again;
    again.SetPath(dir.Path().c_str());
    ASSERT_TRUE(again.Load(sError));
    EXPECT_STREQ("fr-French", GetOr(again, "[LANGUAGE]", "LocalizationFile"));
    EXPECT_STREQ("1", GetOr(again, "[Other]", "x"));
}

// With both there, the file that was replaced in full wins; the copy (perhaps cut off while
// it was written) stays until a save has replaced both.
TEST(TsOptions, WithBothTheFileWinsAndTheCopyGoesWithTheNextSave)
{
    CTempDir dir;
    const std::string sPath = dir / "options.tso";
    const std::string sCopy = "[LANGUAGE]\r\nLocalizationFile=it-Ita";
    ASSERT_TRUE(testutil::WriteFileBytes(sPath + ".tmp", sCopy));
    CTsOptions opt;
    TsTraceReset();
    const std::string sOld = "[LANGUAGE]\r\nLocalizationFile=de-German\r\n[Other]\r\nx=1\r\n";
    ASSERT_TRUE(LoadText(opt, dir, sOld).ok);
    EXPECT_STREQ("de-German", GetOr(opt, "[LANGUAGE]", "LocalizationFile"));
    EXPECT_NE(-1, TraceText().Find(("LNOT: Options file read; the copy of an interrupted save stays until the next "
                                    "save: " + sPath + ".tmp\n").c_str()));
    EXPECT_EQ(sCopy, testutil::ReadFileOrEmpty(sPath + ".tmp"));

    // A failed save leaves the file as it was.
    TsOptionsFileCalls writeFails = kTsOptionsSystemFileCalls;
    writeFails.pfnWriteFile = WriteFailsDeviceGone;
    opt.Set("fr-French", "[LANGUAGE]", "LocalizationFile");
    CString sError;
    {
        CFileCallsSeam seam(writeFails);
        EXPECT_FALSE(opt.Save(sError));
    }
    EXPECT_EQ(sOld, testutil::ReadFileOrEmpty(sPath));
    EXPECT_FALSE(testutil::FileExists(sPath + ".tmp")) << "nothing half-written is left";
    ASSERT_TRUE(opt.Save(sError)) << sError.c_str();
    EXPECT_FALSE(testutil::FileExists(sPath + ".tmp"));
    EXPECT_NE(std::string::npos, testutil::ReadFileOrEmpty(sPath).find("LocalizationFile=fr-French\r\n"));
    EXPECT_NE(std::string::npos, testutil::ReadFileOrEmpty(sPath).find("[Other]\r\nx=1\r\n"));
}

// A read that fails before the end of the file, or a drive that is not ready, is no empty
// options set: nothing is written over the file, not even once the drive answers again.
TEST(TsOptions, AFailedReadOrADriveNotReadyWritesNothing)
{
    TsOptionsFileCalls readFails = kTsOptionsSystemFileCalls;
    readFails.pfnReadFile = ReadFailsAfterTenBytes;
    TsOptionsFileCalls readEnds = kTsOptionsSystemFileCalls;
    readEnds.pfnReadFile = ReadEndsAfterTenBytes;
    TsOptionsFileCalls notReady = kTsOptionsSystemFileCalls;
    notReady.pfnCreateFileA = OpenFailsNotReady;
    struct Row {
        const char* name;
        const TsOptionsFileCalls* calls;
        const char* error;
        DWORD code;
        bool bOnlyTheCopy;   // the file is missing, its copy is there
    };
    const Row kRows[] = {
        {"read fails part-way", &readFails, "Cannot read file '", ERROR_CRC, false},
        {"file ends before its size", &readEnds, "Cannot read file '", ERROR_HANDLE_EOF, false},
        {"drive not ready", &notReady, "Cannot open file '", ERROR_NOT_READY, false},
        {"the copy's read fails part-way", &readFails, "Cannot read file '", ERROR_CRC, true},
    };
    const std::string sOld = "[LANGUAGE]\r\nLocalizationFile=de-German\r\n[Keys]\r\nk=v\r\n";
    for (const Row& r : kRows) {
        SCOPED_TRACE(r.name);
        CTempDir dir;
        const std::string sPath = dir / "options.tso";
        const std::string sRead = r.bOnlyTheCopy ? sPath + ".tmp" : sPath;
        ASSERT_TRUE(testutil::WriteFileBytes(sRead, sOld));
        CTsOptions opt;
        opt.SetPath(dir.Path().c_str());
        CString sError;
        TsTraceReset();
        {
            CFileCallsSeam seam(*r.calls);
            EXPECT_FALSE(opt.Load(sError));
        }
        const std::string sWhy = r.error + sRead + "'\nReason: " + ReasonOf(r.code).c_str();
        EXPECT_EQ(sWhy, sError.c_str());
        EXPECT_EQ(CTsOptions::NotLoaded, opt.GetLoadState());
        EXPECT_NE(-1, TraceText().Find(("LNOT: Options file not read, and not to be saved over: " + sWhy).c_str()));
        opt.m_bModified = true;
        opt.Set("fr-French", "[LANGUAGE]", "LocalizationFile");
        EXPECT_FALSE(opt.Save(sError));
        EXPECT_EQ("The options file '" + sPath + "' could not be read; it is not overwritten",
                  std::string(sError.c_str()));
        EXPECT_EQ(sOld, testutil::ReadFileOrEmpty(sRead));
        EXPECT_EQ(r.bOnlyTheCopy ? "" : sOld, testutil::ReadFileOrEmpty(sPath));
        if (!r.bOnlyTheCopy) {
            EXPECT_FALSE(testutil::FileExists(sPath + ".tmp"));
        }
    }
}

// A folder or drive that is gone is no file; an object never loaded writes only where
// neither the file nor the copy of an interrupted save is.
TEST(TsOptions, OnlyAMissingFileIsNoFile)
{
    CTempDir dir;
    CTsOptions opt;
    opt.SetPath((dir / "no\\such").c_str());
    CString sError;
    EXPECT_TRUE(opt.Load(sError));
    EXPECT_EQ(CTsOptions::NoFile, opt.GetLoadState());

    const std::string sPath = dir / "options.tso";
    ASSERT_TRUE(testutil::WriteFileBytes(sPath + ".tmp", "[Only]\r\ncopy=1\r\n"));
    CTsOptions neverLoaded;
    neverLoaded.SetPath(dir.Path().c_str());
    neverLoaded.Set("x", "[S]", "a");
    EXPECT_FALSE(neverLoaded.Save(sError));
    EXPECT_EQ("The options file '" + sPath + "' could not be read; it is not overwritten", std::string(sError.c_str()));
    EXPECT_EQ("[Only]\r\ncopy=1\r\n", testutil::ReadFileOrEmpty(sPath + ".tmp"));
}

namespace {

struct IniEditCase {
    const char* name;
    const char* before;
    const char* after;   // with license_approved set to TRUE in section "Greeting"
};
const IniEditCase kIniEdits[] = {
    {"value replaced, names in other case, blanks and comments kept",
     "; the drive's settings\r\n[Path]\r\nDataPath = Data  \r\n\r\n [greeting] \r\n;license_approved=FALSE\r\n"
     "  License_Approved = FALSE  \r\nshow_greeting=FALSE\r\n[Other]\r\nlicense_approved=FALSE\r\n",
     "; the drive's settings\r\n[Path]\r\nDataPath = Data  \r\n\r\n [greeting] \r\n;license_approved=FALSE\r\n"
     "  License_Approved =TRUE\r\nshow_greeting=FALSE\r\n[Other]\r\nlicense_approved=FALSE\r\n"},
    {"new key after the section's last line",
     "[Greeting]\r\nshow_greeting=FALSE\r\n\r\n[Path]\r\nBinPath=\\Tessaly\r\n",
     "[Greeting]\r\nshow_greeting=FALSE\r\nlicense_approved=TRUE\r\n\r\n[Path]\r\nBinPath=\\Tessaly\r\n"},
    {"new section, LF line ends, no line end at the end",
     "[Path]\nBinPath=\\Tessaly",
     "[Path]\nBinPath=\\Tessaly\n[Greeting]\nlicense_approved=TRUE\n"},
    {"a key without '='",
     "[Greeting]\r\nlicense_approved\r\n",
     "[Greeting]\r\nlicense_approved=TRUE\r\n"},
    {"an empty file", "", "[Greeting]\r\nlicense_approved=TRUE\r\n"},
};

}  // namespace

// Setting a key changes that key alone: every other byte of the file stays, and the system
// reads what was written.
TEST(TsProfileSection, WritingAKeyKeepsTheRestOfTheFileByteForByte)
{
    for (const IniEditCase& c : kIniEdits) {
        SCOPED_TRACE(c.name);
        CTempDir dir;
        const std::string sIni = dir / "Portable.ini";
        ASSERT_TRUE(testutil::WriteFileBytes(sIni, c.before));
        CTsProfileSection greeting("Greeting", sIni.c_str());
        CString sError;
        ASSERT_TRUE(greeting.WriteBool("license_approved", true, sError)) << sError.c_str();
        EXPECT_EQ(c.after, testutil::ReadFileOrEmpty(sIni));
        EXPECT_TRUE(greeting.GetBool("license_approved", false));
        EXPECT_FALSE(testutil::FileExists(sIni + ".tmp"));
    }
    // A hidden file stays hidden; a missing one is created.
    CTempDir dir;
    const std::string sIni = dir / "Portable.ini";
    ASSERT_TRUE(testutil::WriteFileBytes(sIni, "[Greeting]\r\n"));
    ASSERT_TRUE(::SetFileAttributesA(sIni.c_str(), FILE_ATTRIBUTE_HIDDEN));
    CString sError;
    ASSERT_TRUE(CTsProfileSection("Greeting", sIni.c_str()).WriteBool("show_greeting", false, sError));
    EXPECT_NE(0u, ::GetFileAttributesA(sIni.c_str()) & FILE_ATTRIBUTE_HIDDEN);
    const std::string sNew = dir / "New.ini";
    ASSERT_TRUE(CTsProfileSection("Greeting", sNew.c_str()).WriteBool("show_greeting", false, sError));
    EXPECT_EQ("[Greeting]\r\nshow_greeting=FALSE\r\n", testutil::ReadFileOrEmpty(sNew));
}

// A write the drive does not take is a failure with the system's reason, logged; the file
// keeps what it held and nothing is left beside it.
TEST(TsProfileSection, AWriteTheDriveDoesNotTakeIsReportedAndChangesNothing)
{
    const std::string sOld = "[Path]\r\nDataPath=Data\r\n[Greeting]\r\nlicense_approved=FALSE\r\n";
    CString sError;
    {
        SCOPED_TRACE("read-only");
        CTempDir dir;
        const std::string sIni = dir / "Portable.ini";
        ASSERT_TRUE(testutil::WriteFileBytes(sIni, sOld));
        ASSERT_TRUE(::SetFileAttributesA(sIni.c_str(), FILE_ATTRIBUTE_READONLY));
        TsTraceReset();
        EXPECT_FALSE(CTsProfileSection("Greeting", sIni.c_str()).WriteBool("license_approved", true, sError));
        const std::string sWhy = "Cannot write " + sIni + ": " + ReasonOf(ERROR_ACCESS_DENIED).c_str();
        EXPECT_EQ(sWhy, sError.c_str());
        EXPECT_NE(-1, TraceText().Find(("LNOT: " + sWhy + "\n").c_str()));
        EXPECT_EQ(sOld, testutil::ReadFileOrEmpty(sIni));
        EXPECT_FALSE(testutil::FileExists(sIni + ".tmp"));
        ::SetFileAttributesA(sIni.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    {
        SCOPED_TRACE("a read failing part-way");
        CTempDir dir;
        const std::string sIni = dir / "Portable.ini";
        ASSERT_TRUE(testutil::WriteFileBytes(sIni, sOld));
        TsOptionsFileCalls readFails = kTsOptionsSystemFileCalls;
        readFails.pfnReadFile = ReadFailsAfterTenBytes;
        CFileCallsSeam seam(readFails);
        EXPECT_FALSE(CTsProfileSection("Greeting", sIni.c_str()).WriteBool("license_approved", true, sError));
        EXPECT_EQ("Cannot write " + sIni + ": " + ReasonOf(ERROR_CRC).c_str(), sError.c_str());
        EXPECT_EQ(sOld, testutil::ReadFileOrEmpty(sIni));
        EXPECT_FALSE(testutil::FileExists(sIni + ".tmp"));
    }
    {
        SCOPED_TRACE("full volume");
        CTempDir dir;
        const std::string sSmall = dir / "small";
        ASSERT_TRUE(testutil::CreateFolders(sSmall));
        testutil::CSmallVolume volume(sSmall, "256k");
        if (!volume.Mounted())
            GTEST_SKIP() << "cannot mount a small file system here";
        const std::string sIni = sSmall + "\\Portable.ini";
        ASSERT_TRUE(testutil::WriteFileBytes(sIni, sOld));
        ASSERT_TRUE(volume.Fill("filler"));
        EXPECT_FALSE(CTsProfileSection("Greeting", sIni.c_str()).WriteBool("license_approved", true, sError));
        EXPECT_EQ("Cannot write " + sIni + ": " + ReasonOf(ERROR_DISK_FULL).c_str(), sError.c_str());
        EXPECT_EQ(sOld, testutil::ReadFileOrEmpty(sIni));
        EXPECT_FALSE(testutil::FileExists(sIni + ".tmp"));
    }
}
