// The Portable.ini template a release puts on the stick: the starter reads it exactly as it
// reads no file, and its comments are no keys.
#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "Strings/TsOptions.h"
#include "Strings/TsPortable.h"
#include "TestUtil.h"
#include "starter/StartSequence.h"

namespace {

using testutil::CTempDir;

TEST(PortableIniTemplate, ReadsAsNoFile)
{
    CTempDir dir;
    const std::string sTemplate = testutil::ModuleFolder() + "\\Portable-template.ini";
    ASSERT_TRUE(::CopyFileA(sTemplate.c_str(), (dir / "Portable.ini").c_str(), FALSE)) << sTemplate;
    const CString sIni = FindPortableIni(dir.Path().c_str());
    ASSERT_STREQ((dir / "Portable.ini").c_str(), sIni);

    CString sFolder;
    EXPECT_FALSE(ReadIniDataPath(dir.Path().c_str(), sFolder));
    CTsProfileSection path("Path", sIni);
    CString sBinPath, sUnpackTo;
    path.GetString("BinPath", sBinPath, "");
    EXPECT_EQ(GetProgramSourceFolder("G:", "\\Tessaly"), GetProgramSourceFolder("G:", sBinPath));
    path.GetString("UnpackTo", sUnpackTo, "");
    EXPECT_STREQ("temp", sUnpackTo);
    EXPECT_EQ(ChooseUnpackFolder(""), ChooseUnpackFolder(sUnpackTo));
    // Each value is set (a default of the other kind does not show through) and is the
    // starter's own default.
    EXPECT_FALSE(path.GetBool("SearchOtherDisk", true));
    EXPECT_TRUE(path.GetBool("ShowSplash", false));
    CTsProfileSection greeting("Greeting", sIni);
    EXPECT_FALSE(greeting.GetBool("show_greeting", true));
    EXPECT_TRUE(greeting.GetBool("license_approved", false));

    // Only the keys, none of the comments.
    for (const auto& section : {std::make_pair("Path", std::set<std::string>{"BinPath", "DataPath", "SearchOtherDisk",
                                                                             "ShowSplash", "UnpackTo"}),
                                std::make_pair("Greeting", std::set<std::string>{"show_greeting", "license_approved"})}) {
        char szKeys[4096] = "";
        ::GetPrivateProfileStringA(section.first, nullptr, "", szKeys, sizeof(szKeys), sIni);
        std::set<std::string> keys;
        for (const char* p = szKeys; *p; p += std::strlen(p) + 1)
            keys.insert(p);
        EXPECT_EQ(section.second, keys) << section.first;
    }
}

}  // namespace
