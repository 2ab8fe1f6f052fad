#include "cleanup/SafeRemove.h"

#include <shlobj.h>

#include "Strings/TsLog.h"
#include "Strings/TsSafeFs.h"
#include "Strings/TsSysInfo.h"

bool DeleteFileNoLinks(const CString& sPath, CString& sError)
{
    CSafeFolder parent;
    CSafeItem item;
    if (!TsOpenEntry(sPath, parent, item, sError))
        return false;
    if (item.IsFolder()) {
        sError = sPath + " is a folder";
        return false;
    }
    DWORD dwError = 0;
    if (!parent.Remove(item, dwError)) {
        GetErrorText(sError, dwError);
        return false;
    }
    return true;
}

bool RemoveFolderNoLinks(const CString& sPath)
{
    CSafeFolder folder;
    DWORD dwError = 0;
    return folder.OpenPath(sPath, dwError) && folder.RemoveSelf(dwError);
}

namespace {

// "X:", "X:\" or "\\server\share" with any trailing backslashes: a volume's root.
bool IsVolumeRoot(const CString& sPath)
{
    CString s = sPath;
    s.TrimRight('\\');
    if (s.GetLength() == 2 && s[1] == ':')
        return true;
    if (s.Left(2) != "\\\\")
        return false;
    int nSeparators = 0;
    for (const char* p = s.c_str() + 2; *p; p = ::CharNextA(p))
        nSeparators += *p == '\\';
    return nSeparators <= 1;
}

}  // namespace

CString CheckCleanupRoot(const CString& sRoot)
{
    if (sRoot.IsEmpty())
        return "no data folder";
    if (IsVolumeRoot(sRoot))
        return "a drive root";
    CSafeFolder folder;
    CString sError;
    if (!TsOpenFolderChain(sRoot, folder, sError))
        return sError.Find(" is not a full path") >= 0 ? CString("not a full path") : sError;
    char szWindows[MAX_PATH] = "";
    UINT n = ::GetWindowsDirectoryA(szWindows, MAX_PATH);
    if (n > 0 && n < MAX_PATH && TsFolderIsSameOrAbove(folder, szWindows))
        return "the Windows folder or above it";
    if (TsFolderIsSameOrAbove(folder, GetSpecialFolder(CSIDL_PROFILE)))
        return "the user's profile or above it";
    if (TsFolderDriveType(folder) == DRIVE_FIXED)
        return "on a fixed disk";
    return CString();
}
