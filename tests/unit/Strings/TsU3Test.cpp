#include <gtest/gtest.h>

#include <string>

#include "HelperProcess.h"
#include "Strings/SafeRegKey.h"
#include "Strings/TsLock.h"
#include "Strings/TsU3.h"

namespace {

const char kMakerKey[] = "Software\\Norvane Works";
const char* const kU3Variables[] = {"U3_DEVICE_PATH", "U3_HOST_EXEC_PATH", "U3_DEVICE_DOCUMENT_PATH"};

// Each test starts without U3 variables, forcing value, recorded folder or signalled event,
// and leaves none behind.
class U3 : public ::testing::Test {
protected:
    void SetUp() override { Clean(); }
    void TearDown() override { Clean(); }
    static void Clean()
    {
        for (const char* pszName : kU3Variables)
            ::SetEnvironmentVariableA(pszName, nullptr);
        TsRegDeleteValue(HKEY_CURRENT_USER, kMakerKey, "_SecretValueToForceU3_");
        LeaveU3Mode();
    }
    static void Set(const char* pszName, const std::string& sValue)
    {
        ::SetEnvironmentVariableA(pszName, sValue.empty() ? nullptr : sValue.c_str());
    }
    static std::string Upper(std::string s)
    {
        for (char& ch : s)
            ch = static_cast<char>(::toupper(static_cast<unsigned char>(ch)));
        return s;
    }
};

}  // namespace

TEST_F(U3, DetectedFromTheProgramsPlace)
{
    const std::string sFolder = testutil::ModuleFolder();   // this program's folder
    const std::string sDrive = sFolder.substr(0, 3);
    const std::string sOtherDrive = sDrive[0] == 'Q' ? "R:\\" : "Q:\\";
    struct Case {
        const char* pszWhat;
        std::string sDevice;
        std::string sHostExec;
        bool bU3;
    };
    const Case cases[] = {
        {"no variables", "", "", false},
        {"device is our drive, other case", Upper(sDrive), "", true},
        {"device is our folder", sFolder, "", true},
        {"device elsewhere", sOtherDrive, "", false},
        {"device elsewhere, host folder ours", sOtherDrive, Upper(sFolder), true},
        {"device elsewhere, host folder elsewhere", sOtherDrive, sOtherDrive + "Host", false},
        {"host folder alone is not enough", "", sFolder, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        Set("U3_DEVICE_PATH", c.sDevice);
        Set("U3_HOST_EXEC_PATH", c.sHostExec);
        EXPECT_EQ(c.bU3, DetectU3Environment());
        EXPECT_EQ(c.bU3, IsU3Mode());
    }
}

TEST_F(U3, TheProductLibraryDecidesWhenLoaded)
{
    testutil::CTempDir device;
    std::string sDll = device / "tessaly.dll";
    ASSERT_TRUE(::CopyFileA((testutil::ModuleFolder() + "\\u3lib\\tessaly.dll").c_str(), sDll.c_str(), FALSE));
    Set("U3_DEVICE_PATH", device.Path());
    EXPECT_FALSE(DetectU3Environment());   // the program itself lies elsewhere
    HMODULE hLib = ::LoadLibraryA(sDll.c_str());
    ASSERT_NE(nullptr, hLib);
    EXPECT_TRUE(DetectU3Environment());
    ::FreeLibrary(hLib);
    EXPECT_FALSE(DetectU3Environment());
}

TEST_F(U3, ForcingValue)
{
    for (DWORD dwValue : {829u, 830u, 0u}) {
        SCOPED_TRACE(dwValue);
        ASSERT_TRUE(TsRegSetDword(dwValue, HKEY_CURRENT_USER, kMakerKey, "_SecretValueToForceU3_"));
        EXPECT_EQ(dwValue == 829u, IsU3Mode());
    }
}

TEST_F(U3, DeviceLetterAndDocumentFolder)
{
    EXPECT_EQ(0, GetU3DeviceLetter());
    EXPECT_STREQ("", GetU3DocumentPath());
    Set("U3_DEVICE_PATH", "F:\\");
    EXPECT_EQ('F', GetU3DeviceLetter());
    EXPECT_STREQ("F:\\\\Documents", GetU3DocumentPath());   // no separator cleaning
    Set("U3_DEVICE_DOCUMENT_PATH", "F:\\My Documents");
    EXPECT_STREQ("F:\\My Documents", GetU3DocumentPath());

    // Without the variable the recorded folder gives the letter, but only in U3 mode.
    Set("U3_DEVICE_PATH", "");
    ASSERT_TRUE(TsRegSetString("K:\\Docs", HKEY_CURRENT_USER, kMakerKey, "_U3DocPath"));
    EXPECT_EQ(0, GetU3DeviceLetter());
    ASSERT_TRUE(TsRegSetDword(829, HKEY_CURRENT_USER, kMakerKey, "_SecretValueToForceU3_"));
    EXPECT_EQ('K', GetU3DeviceLetter());
}

TEST_F(U3, EnteringReachesEveryProcess)
{
    ASSERT_NE(nullptr, TsU3ModeEvent().GetHandle());
    EXPECT_EQ("u3 mode=0 letter=- doc=\n", RunHelper("u3"));

    EnterU3Mode("G:\\Docs");
    CString sRecorded;
    EXPECT_TRUE(TsRegGetString(sRecorded, HKEY_CURRENT_USER, kMakerKey, "_U3DocPath"));
    EXPECT_STREQ("G:\\Docs", sRecorded);
    EXPECT_TRUE(IsU3Mode());
    EXPECT_EQ("u3 mode=1 letter=G doc=\n", RunHelper("u3"));

    LeaveU3Mode();
    EXPECT_FALSE(TsRegValueExists(HKEY_CURRENT_USER, kMakerKey, "_U3DocPath"));
    EXPECT_FALSE(IsU3Mode());
    EXPECT_EQ("u3 mode=0 letter=- doc=\n", RunHelper("u3"));

    // Back to the environment: the helper inherits our variables.
    Set("U3_DEVICE_PATH", "H:\\");
    EXPECT_EQ("u3 mode=0 letter=H doc=H:\\\\Documents\n", RunHelper("u3"));
}
