#include "cleanup/SafeRemove.h"

#include <shlobj.h>

#include "Strings/TsFile.h"
#include "Strings/TsLog.h"
#include "Strings/TsPortable.h"
#include "Strings/TsSysInfo.h"

namespace {

bool IsLink(DWORD dwAttr)
{
    return dwAttr != INVALID_FILE_ATTRIBUTES && (dwAttr & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool IsDriveLetter(char ch)
{
    return (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z');
}

// Length of the volume part that every path below it shares: "X:\" or "\\server\share\";
// 0 when the path is not a full one.
int VolumePrefixLength(const CString& sPath)
{
    if (sPath.GetLength() >= 3 && IsDriveLetter(sPath[0]) && sPath[1] == ':' && sPath[2] == '\\')
        return 3;
    if (sPath.Left(2) == "\\\\") {
        int nServerEnd = sPath.Find('\\', 2);
        if (nServerEnd <= 2)
            return 0;
        int nShareEnd = sPath.Find('\\', nServerEnd + 1);
        if (nShareEnd < 0 || nShareEnd == nServerEnd + 1)
            return 0;
        return nShareEnd + 1;
    }
    return 0;
}

CString WithoutTrailingBackslashes(CString s)
{
    while (s.GetLength() > 3 && s[s.GetLength() - 1] == '\\')
        s.Delete(s.GetLength() - 1);
    return s;
}

// The folder is held so that it can be neither renamed nor removed: read access to its
// list (the access that makes the system check sharing) without sharing deletion.
bool PinFolder(const CString& sFolder, std::vector<CUniqueFile>& pins, CString& sError)
{
    CUniqueFile folder(::CreateFileA(sFolder, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!folder) {
        GetLastErrorText(sError);
        sError = sFolder + ": " + sError;
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!::GetFileInformationByHandle(folder.Get(), &info)) {
        GetLastErrorText(sError);
        sError = sFolder + ": " + sError;
        return false;
    }
    // Wine may open the target of a Unix link here; the name's own attributes show the link.
    if (IsLink(info.dwFileAttributes) || IsLink(::GetFileAttributesA(sFolder))) {
        sError = sFolder + " is a link";
        return false;
    }
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        sError = sFolder + " is not a folder";
        return false;
    }
    pins.push_back(std::move(folder));
    return true;
}

bool PinParentFolders(const CString& sPath, std::vector<CUniqueFile>& pins, CString& sError)
{
    int nLast = sPath.ReverseFind('\\');
    if (nLast < 0 || nLast + 1 < VolumePrefixLength(sPath) || VolumePrefixLength(sPath) == 0) {
        sError = sPath + " is not a full path";
        return false;
    }
    CString sParent = nLast + 1 == VolumePrefixLength(sPath) ? sPath.Left(nLast + 1) : sPath.Left(nLast);
    return PinFolderChain(sParent, pins, sError);
}

// True when sFolder is sInner or holds it somewhere below.
bool IsSameOrAbove(const CString& sFolder, const CString& sInner)
{
    if (sFolder.IsEmpty() || sInner.IsEmpty())
        return false;
    CString sOuter = WithoutTrailingBackslashes(sFolder);
    CString s = WithoutTrailingBackslashes(sInner);
    if (s.CompareNoCase(sOuter) == 0)
        return true;
    if (sOuter[sOuter.GetLength() - 1] != '\\')
        sOuter += '\\';
    return s.GetLength() > sOuter.GetLength() && s.Left(sOuter.GetLength()).CompareNoCase(sOuter) == 0;
}

}  // namespace

bool PinFolderChain(const CString& sFolder, std::vector<CUniqueFile>& pins, CString& sError)
{
    int nVolume = VolumePrefixLength(sFolder);
    if (nVolume == 0) {
        sError = sFolder + " is not a full path";
        return false;
    }
    CString sTarget = WithoutTrailingBackslashes(sFolder);
    if (!PinFolder(sFolder.Left(nVolume), pins, sError))
        return false;
    for (int nPos = nVolume; nPos < sTarget.GetLength();) {
        int nNext = sTarget.Find('\\', nPos);
        if (nNext < 0)
            nNext = sTarget.GetLength();
        if (nNext == nPos) {   // doubled separators name no folder
            ++nPos;
            continue;
        }
        if (!PinFolder(sTarget.Left(nNext), pins, sError))
            return false;
        nPos = nNext + 1;
    }
    return true;
}

bool DeleteFileNoLinks(const CString& sPath, CString& sError)
{
    std::vector<CUniqueFile> pins;
    if (!PinParentFolders(sPath, pins, sError))
        return false;
    DWORD dwAttr = ::GetFileAttributesA(sPath);
    if (dwAttr != INVALID_FILE_ATTRIBUTES && (dwAttr & FILE_ATTRIBUTE_DIRECTORY) && !IsLink(dwAttr)) {
        sError = sPath + " is a folder";
        return false;
    }
    // The system's delete never follows a link in the last component: a linked file's link goes.
    if (!::DeleteFileA(sPath)) {
        GetLastErrorText(sError);
        return false;
    }
    return true;
}

bool RemoveFolderNoLinks(const CString& sPath)
{
    std::vector<CUniqueFile> pins;
    CString sError;
    if (!PinParentFolders(WithoutTrailingBackslashes(sPath), pins, sError))
        return false;
    if (IsLink(::GetFileAttributesA(sPath)))
        return false;
    return ::RemoveDirectoryA(sPath) != FALSE;
}

CString CheckCleanupRoot(const CString& sRoot)
{
    if (sRoot.IsEmpty())
        return "no data folder";
    int nVolume = VolumePrefixLength(sRoot);
    if (nVolume == 0 && sRoot.GetLength() == 2 && sRoot[1] == ':')
        return "a drive root";
    if (nVolume == 0)
        return "not a full path";
    CString sStripped = sRoot;
    sStripped.TrimRight('\\');
    if (sStripped.GetLength() < nVolume)
        return "a drive root";

    char szWindows[MAX_PATH] = "";
    UINT n = ::GetWindowsDirectoryA(szWindows, MAX_PATH);
    if (n > 0 && n < MAX_PATH && IsSameOrAbove(sRoot, szWindows))
        return "the Windows folder or above it";
    CString sProfile = GetSpecialFolder(CSIDL_PROFILE);
    if (IsSameOrAbove(sRoot, sProfile))
        return "the user's profile or above it";
    if (GetPathDriveType(sRoot) == DRIVE_FIXED)
        return "on a fixed disk";

    std::vector<CUniqueFile> pins;
    CString sError;
    if (!PinFolderChain(sRoot, pins, sError))
        return sError;
    return CString();
}
