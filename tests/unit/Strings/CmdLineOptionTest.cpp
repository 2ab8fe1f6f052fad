#include <gtest/gtest.h>

#include <windows.h>

#include "Strings/TsCmdLine.h"

#include <string>

struct OptionCase {
    const char* cmdLine;
    const char* name;
    const char* expected;
};
static const OptionCase kCases[] = {
    {"/lang=de kill", "lang", "de"},
    {"-lang=\"de-german\" /silent", "lang", "de-german"},
    {"/lang=\"two words\"", "lang", "two words"},
    {"/lang=\"unterminated rest", "lang", "unterminated rest"},
    {"/language=de", "lang", ""},
    {"kill", "lang", ""},
    {"/lang=", "lang", ""},
    {"x/lang=first /lang=second", "lang", "first"},
    {"-lang=minus /lang=slash", "lang", "slash"},  // the slash form is looked for first
    {"/DOC=E:\\Documents /doc=", "doc", ""},       // names are case-sensitive
    {"/host=\"C:\\U3 Host\" /doc=E:\\Documents", "host", "C:\\U3 Host"},
};

TEST(GetCmdLineOption, FindsValue)
{
    for (const OptionCase& c : kCases) {
        SCOPED_TRACE(c.cmdLine);
        EXPECT_STREQ(c.expected, GetCmdLineOption(c.cmdLine, c.name));
    }
}

TEST(GetCmdLineOption, ExpandsEnvironmentVariablesWithinLimits)
{
    ::SetEnvironmentVariableA("WF_TEST_LANG", "fr-French");
    EXPECT_STREQ("fr-French", GetCmdLineOption("/lang=\"%WF_TEST_LANG%\"", "lang"));

    // An expansion beyond 520 characters keeps the text as typed.
    std::string sLong(600, 'x');
    ::SetEnvironmentVariableA("WF_TEST_LONG", sLong.c_str());
    EXPECT_STREQ("%WF_TEST_LONG%", GetCmdLineOption("/lang=%WF_TEST_LONG%", "lang"));

    // A very long value without variables is taken whole when it fits, as typed when not.
    std::string sValue(5000, 'v');
    EXPECT_STREQ(sValue.c_str(), GetCmdLineOption(CString("/lang=") + sValue.c_str(), "lang"));
}
