#include "Strings/TsCmdLine.h"

#include <windows.h>

CString GetCmdLineOption(const CString& sCmdLine, const char* pszName)
{
    int nPos = sCmdLine.Find(CString("/") + pszName + "=");
    if (nPos < 0)
        nPos = sCmdLine.Find(CString("-") + pszName + "=");
    if (nPos < 0)
        return CString();

    int nStart = sCmdLine.Find('=', nPos) + 1;
    int nEnd;
    if (nStart < sCmdLine.GetLength() && sCmdLine[nStart] == '"') {
        ++nStart;
        nEnd = sCmdLine.Find('"', nStart);
    } else {
        nEnd = sCmdLine.Find(' ', nStart);
    }
    if (nEnd < 0)
        nEnd = sCmdLine.GetLength();
    CString sValue = sCmdLine.Mid(nStart, nEnd - nStart);

    char szExpanded[520];
    DWORD n = ::ExpandEnvironmentStringsA(sValue, szExpanded, sizeof(szExpanded));
    if (n == 0 || n > sizeof(szExpanded))
        return sValue;
    return CString(szExpanded);
}
