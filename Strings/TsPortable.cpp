#include "Strings/TsPortable.h"

#include <winioctl.h>

#include <cstring>
#include <vector>

#include "Strings/SafeRegKey.h"
#include "Strings/TsFile.h"
#include "Strings/TsLog.h"
#include "Strings/TsOptions.h"
#include "Strings/TsSecurity.h"
#include "Strings/TsU3.h"
#include "framework/Unique.h"

const char kDataFolderMarkerName[] = "TessalyDataHere.txt";
const char kDataFolderMarkerText[] =
    "\tTessaly User Data Folder\r\n"
    "\t-------------------------\r\n"
    "\r\n"
    "This is Tessaly User Data folder.\r\n"
    "\r\n"
    "This folder contains your Identities and KeyCards.\r\n"
    "\r\n"
    "Identity is a file that has *.TST extension.\r\n"
    "\r\n"
    "KeyCard is a file that has *.TSP extension.\r\n"
    "\r\n"
    "If you need to back up Identities and KeyCards\r\n"
    "backup all files in this folder.\r\n"
    "\r\n"
    "If you need to restore Identities and KeyCards\r\n"
    "copy backed up files to this folder and restart Tessaly.\r\n";

namespace {

const char kSource[] = "Strings\\TsPortable";
const char kTessalyKey[] = "Software\\Norvane Works\\Tessaly";
const char kMakerKey[] = "Software\\Norvane Works";
const char kDataFolderName[] = "\\My Tessaly Data";
const char kProfileFolderName[] = "\\Default Profile";
const char kPortableIniName[] = "Portable.ini";
const char kPackageName[] = "AiTessaly-Portable.bin";

const char* const kDataExtensions[] = {".tst", ".tsc", ".tsp", ".tsq", ".tsb", ".tsx", ".tsn", ".tso", ".psw"};

bool IsExistingFile(const char* pszPath)
{
    DWORD dwAttr = ::GetFileAttributesA(pszPath);
    return dwAttr != INVALID_FILE_ATTRIBUTES && !(dwAttr & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsDirectory(const char* pszPath)
{
    DWORD dwAttr = ::GetFileAttributesA(pszPath);
    return dwAttr != INVALID_FILE_ATTRIBUTES && (dwAttr & FILE_ATTRIBUTE_DIRECTORY);
}

char UpperLetter(char ch)
{
    return (ch >= 'a' && ch <= 'z') ? static_cast<char>(ch - 'a' + 'A') : ch;
}

bool IsAsciiLetter(char ch)
{
    return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z');
}

bool IsSeparator(char ch)
{
    return ch == '\\' || ch == '/';
}

// An empty starter folder is a caller's mistake; a bare letter becomes "X:".
CString CheckStarterFolder(const char* pszStarterFolder, int nLine)
{
    CString sStarter(pszStarterFolder);
    if (sStarter.IsEmpty())
        TsAssertFail(kSource, nLine, 0, "empty starter folder");
    if (sStarter.GetLength() == 1)
        sStarter += ':';
    return sStarter;
}

CString DriveRootPath(char chLetter, const char* pszRest)
{
    CString s(chLetter);
    s += ":\\";
    return s + pszRest;
}

// Byte length of the character at p (1, or 2 for a lead byte followed by a trail byte).
int CharLength(const char* p, UINT uCodePage)
{
    if (p[0] && p[1] && ::IsDBCSLeadByteEx(uCodePage, static_cast<BYTE>(p[0])))
        return 2;
    return 1;
}

}  // namespace

// --- paths ---------------------------------------------------------------------------

CString CleanPathSeparators(const char* pszPath, UINT uCodePage)
{
    if (!pszPath)
        return CString();
    size_t n = std::strlen(pszPath);
    CString sOut;
    if (n < 3) {
        for (size_t i = 0; i < n;) {
            int nLen = CharLength(pszPath + i, uCodePage);
            sOut += nLen == 1 && pszPath[i] == '/' ? CString('\\') : CString(pszPath + i, nLen);
            i += static_cast<size_t>(nLen);
        }
        return sOut;
    }
    size_t i = 0;
    bool bPrefix = false;
    if (IsAsciiLetter(pszPath[0]) && pszPath[1] == ':' && IsSeparator(pszPath[2])) {
        sOut += pszPath[0];
        sOut += ":\\";
        i = 3;
        bPrefix = true;
    } else if (IsSeparator(pszPath[0]) && IsSeparator(pszPath[1])) {
        sOut += "\\\\";
        i = 2;
        bPrefix = true;
    }
    bool bAfterPrefix = bPrefix;
    while (i < n) {
        if (IsSeparator(pszPath[i])) {
            while (i < n && IsSeparator(pszPath[i]))
                ++i;
            if (!bAfterPrefix)
                sOut += '\\';
            bAfterPrefix = false;
            continue;
        }
        bAfterPrefix = false;
        int nLen = CharLength(pszPath + i, uCodePage);
        sOut += CString(pszPath + i, nLen);
        i += static_cast<size_t>(nLen);
    }
    return sOut;
}

CString NormalizePath(const char* pszPath, UINT uCodePage)
{
    CString sClean = CleanPathSeparators(pszPath, uCodePage);
    const char* p = sClean.c_str();
    const int nLength = sClean.GetLength();

    // The drive prefix "X:\" is the root: no ".." climbs above it.
    CString sOut;
    int nPos = 0;
    if (nLength >= 3 && IsAsciiLetter(p[0]) && p[1] == ':' && p[2] == '\\') {
        sOut = CString(p, 3);
        nPos = 3;
    }
    std::vector<CString> parts;
    CString sRest;
    for (;;) {
        int nEnd = nPos;
        while (nEnd < nLength && p[nEnd] != '\\')
            nEnd += CharLength(p + nEnd, uCodePage);
        if (nEnd > nLength)
            nEnd = nLength;
        if (nEnd == nPos) {
            // An empty component (a leading or a trailing backslash) ends the scan; what
            // follows stays as it is.
            sRest = CString(p + nPos);
            if (nPos > 0 && !parts.empty())
                sRest = "\\" + sRest;
            break;
        }
        CString sPart(p + nPos, nEnd - nPos);
        if (sPart == "..") {
            if (!parts.empty())
                parts.pop_back();   // a ".." with nothing before it is dropped
        } else if (sPart != ".") {
            parts.push_back(sPart);
        }
        if (nEnd >= nLength)
            break;
        nPos = nEnd + 1;
    }
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i > 0)
            sOut += '\\';
        sOut += parts[i];
    }
    return sOut + sRest;
}

UINT GetPathDriveType(const char* pszPath)
{
    if (!pszPath)
        return DRIVE_UNKNOWN;
    if (pszPath[0] == '\\' && pszPath[1] == '\\')
        return DRIVE_REMOTE;
    if (pszPath[0] && pszPath[1] == ':') {
        char szRoot[4] = {pszPath[0], ':', '\\', '\0'};
        return ::GetDriveTypeA(szRoot);
    }
    return DRIVE_UNKNOWN;
}

int GetStorageBusType(char chDriveLetter)
{
    char szVolume[8] = {'\\', '\\', '?', '\\', chDriveLetter, ':', '\0'};
    CUniqueFile volume(::CreateFileA(szVolume, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!volume)
        return 0;
    STORAGE_PROPERTY_QUERY query = {};
    query.PropertyId = StorageDeviceProperty;
    query.QueryType = PropertyStandardQuery;
    // The descriptor is followed by its strings; 551 bytes hold the usual ones.
    alignas(STORAGE_DEVICE_DESCRIPTOR) char buffer[551] = {};
    DWORD cb = 0;
    if (!::DeviceIoControl(volume.Get(), IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof(query), buffer, sizeof(buffer),
                           &cb, nullptr) ||
        cb < offsetof(STORAGE_DEVICE_DESCRIPTOR, BusType) + sizeof(STORAGE_BUS_TYPE))
        return 0;
    return static_cast<int>(reinterpret_cast<const STORAGE_DEVICE_DESCRIPTOR*>(buffer)->BusType);
}

// --- data files ------------------------------------------------------------------------

bool IsDataFileName(const char* pszName)
{
    if (!pszName)
        return false;
    CString sName(pszName);
    if (sName.CompareNoCase(kDataFolderMarkerName) == 0)
        return true;
    // Counted in characters, so that a double-byte character never splits.
    std::vector<int> starts;
    for (int i = 0; i < sName.GetLength();) {
        starts.push_back(i);
        i += CharLength(sName.c_str() + i, CP_ACP);
    }
    if (starts.size() < 5)
        return false;
    CString sTail = sName.Mid(starts[starts.size() - 4]);
    for (const char* pszExt : kDataExtensions) {
        if (sTail.CompareNoCase(pszExt) == 0)
            return true;
    }
    return false;
}

bool FolderHasDataFiles(const char* pszFolder)
{
    CString sPattern = CString(pszFolder) + "\\*.*";
    WIN32_FIND_DATAA fd;
    CUniqueFind find(::FindFirstFileA(sPattern, &fd));
    if (!find)
        return false;
    do {
        if (std::strcmp(fd.cFileName, ".") == 0 || std::strcmp(fd.cFileName, "..") == 0)
            continue;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            continue;
        if (IsDataFileName(fd.cFileName))
            return true;
    } while (::FindNextFileA(find.Get(), &fd));
    return false;
}

bool WriteDataFolderMarker(const char* pszFolder, CString& sError)
{
    CString sPath(pszFolder);
    while (!sPath.IsEmpty() && sPath[sPath.GetLength() - 1] == '\\')
        sPath.Delete(sPath.GetLength() - 1);
    sPath = sPath + "\\" + kDataFolderMarkerName;
    // Written beside and then put in place: a marker cut off half-way is never left.
    DWORD dwError = 0;
    return TsWriteFileSafely(sPath, kDataFolderMarkerText, true, sError, dwError);
}

// --- Portable.ini and the package ---------------------------------------------------------

CString FindPortableIni(const char* pszStarterFolder)
{
    CString sStarter(pszStarterFolder);
    char chLetter = sStarter.IsEmpty() ? '\0' : sStarter[0];
    if (IsU3Mode()) {
        char chDevice = GetU3DeviceLetter();
        if (chDevice)
            chLetter = chDevice;
    }
    if (chLetter) {
        CString sCandidate = DriveRootPath(chLetter, kPortableIniName);
        if (IsExistingFile(sCandidate) || TsRestoreReplacedFile(sCandidate))
            return sCandidate;
    }
    if (!sStarter.IsEmpty()) {
        CString sCandidate = sStarter + "\\" + kPortableIniName;
        if (IsExistingFile(sCandidate) || TsRestoreReplacedFile(sCandidate))
            return sCandidate;
    }
    return CString();
}

CString GetPackageFolder(char chDriveLetter)
{
    CString sDrive(chDriveLetter);
    sDrive += ':';
    CString sBinPath;
    CTsProfileSection("Path", FindPortableIni(sDrive)).GetString("BinPath", sBinPath, "\\Tessaly");
    sBinPath.TrimRight('\\');
    sBinPath.TrimLeft('\\');
    CString sFolder = sDrive + "\\" + sBinPath;
    return IsExistingFile(sFolder + "\\" + kPackageName) ? sFolder : CString();
}

bool DriveHasPackage(char chDriveLetter)
{
    if (!IsAsciiLetter(chDriveLetter))
        return false;
    if (!IsDirectory(DriveRootPath(chDriveLetter, "")))
        return false;
    return !GetPackageFolder(chDriveLetter).IsEmpty();
}

// --- the data folder search ---------------------------------------------------------------

void GetDefaultDataFolders(char chDriveLetter, CString& sDataFolder, CString& sProfileFolder)
{
    CString sRoot;
    if (IsU3Mode() && UpperLetter(GetU3DeviceLetter()) == UpperLetter(chDriveLetter)) {
        sRoot = GetU3DocumentPath();
        if (sRoot.IsEmpty())
            TsRegGetString(sRoot, HKEY_CURRENT_USER, kMakerKey, "_U3DocPath");
    }
    if (sRoot.IsEmpty()) {
        sRoot = CString(chDriveLetter);
        sRoot += ':';
    }
    sDataFolder = sRoot + kDataFolderName;
    sProfileFolder = sDataFolder + kProfileFolderName;
}

bool ReadIniDataPath(const char* pszStarterFolder, CString& sFolder)
{
    sFolder.Empty();
    CString sStarter(pszStarterFolder);
    CString sIni = FindPortableIni(sStarter);
    if (sIni.IsEmpty() || sStarter.IsEmpty())
        return false;
    CString sDataPath;
    CTsProfileSection("Path", sIni).GetString("DataPath", sDataPath, "");
    if (sDataPath.IsEmpty())
        return false;
    sFolder = NormalizePath(DriveRootPath(sStarter[0], sDataPath));
    return true;
}

bool FindDataFolderOnDrive(const char* pszStarterFolder, CString& sFolder)
{
    CString sStarter = CheckStarterFolder(pszStarterFolder, __LINE__);
    if (ReadIniDataPath(sStarter, sFolder))
        return FolderHasDataFiles(sFolder);

    CString sDataFolder, sProfileFolder;
    GetDefaultDataFolders(sStarter[0], sDataFolder, sProfileFolder);
    const CString candidates[] = {
        sProfileFolder,
        sDataFolder,
        sStarter + kDataFolderName + kProfileFolderName,
        sStarter + kDataFolderName,
    };
    for (const CString& sCandidate : candidates) {
        if (FolderHasDataFiles(sCandidate)) {
            sFolder = sCandidate;
            return true;
        }
    }
    sFolder = sProfileFolder;
    return false;
}

bool FindUserDataFolder(const char* pszStarterFolder, CString& sFolder)
{
    CString sStarter = CheckStarterFolder(pszStarterFolder, __LINE__);
    bool bSearchOtherDisk = false;
    CString sIni = FindPortableIni(sStarter);
    if (!sIni.IsEmpty()) {
        CTsProfileSection section("Path", sIni);
        CString sDataPath;
        section.GetString("DataPath", sDataPath, "");
        if (!sDataPath.IsEmpty()) {
            // A configured folder is the only place searched.
            sFolder = NormalizePath(DriveRootPath(sStarter[0], sDataPath));
            return FolderHasDataFiles(sFolder);
        }
        bSearchOtherDisk = section.GetBool("SearchOtherDisk", false);
    }
    if (FindDataFolderOnDrive(sStarter, sFolder))
        return FolderHasDataFiles(sFolder);
    if (bSearchOtherDisk) {
        CString sCandidate;
        SearchNeighbourDrives(sStarter[0], sCandidate);
        if (!sCandidate.IsEmpty() && FolderHasDataFiles(sCandidate)) {
            sFolder = sCandidate;
            return true;
        }
    }
    return false;
}

bool IsCandidateDrive(char chLetter, UINT uDriveType, int nBusType)
{
    chLetter = UpperLetter(chLetter);
    bool bRemovable = uDriveType == DRIVE_REMOVABLE;
    bool bFixed = uDriveType == DRIVE_FIXED;
    bool bExternal = bFixed && (nBusType == BusTypeUsb || nBusType == BusType1394);
    if (chLetter >= 'C' && (bRemovable || bExternal))
        return true;
    return bFixed && nBusType == 0 && chLetter >= 'E';
}

int EnumCandidateDrives(char letters[32])
{
    DWORD dwMask = ::GetLogicalDrives();
    int nCount = 0;
    for (int nBit = 0; nBit < 26 && nCount < 32; ++nBit) {
        if (!(dwMask & (1u << nBit)))
            continue;
        char chLetter = static_cast<char>('A' + nBit);
        char szRoot[3] = {chLetter, ':', '\0'};
        UINT uType = GetPathDriveType(szRoot);
        if (uType != DRIVE_REMOVABLE && uType != DRIVE_FIXED)
            continue;
        int nBus = uType == DRIVE_FIXED ? GetStorageBusType(chLetter) : 0;
        if (!IsCandidateDrive(chLetter, uType, nBus))
            continue;
        // Only a drive that is ready (it answers for its root folder).
        if (::GetFileAttributesA(DriveRootPath(chLetter, "")) == INVALID_FILE_ATTRIBUTES)
            continue;
        letters[nCount++] = chLetter;
    }
    return nCount;
}

char SearchNeighbourDrives(char chOwnLetter, CString& sFolder)
{
    sFolder.Empty();
    char letters[32];
    int nCount = EnumCandidateDrives(letters);
    if (nCount == 0)
        return 0;
    char chOwn = UpperLetter(chOwnLetter);
    int p = nCount - 1;
    for (int i = 0; i < nCount; ++i) {
        if (letters[i] >= chOwn) {
            p = i;
            break;
        }
    }
    // Only the next and the previous candidate, never more.
    if (p + 1 < nCount) {
        char szDrive[3] = {letters[p + 1], ':', '\0'};
        if (FindDataFolderOnDrive(szDrive, sFolder))
            return letters[p + 1];
    }
    if (p > 0) {
        char szDrive[3] = {letters[p - 1], ':', '\0'};
        if (FindDataFolderOnDrive(szDrive, sFolder))
            return letters[p - 1];
    }
    return 0;
}

// --- host side -------------------------------------------------------------------------------

bool GetHostFolder(CString& sFolder)
{
    CString sHost;
    TsRegGetString(sHost, HKEY_CURRENT_USER, kTessalyKey, "PorvinHostPath");
    if (!sHost.IsEmpty()) {
        sFolder = sHost;
        return true;
    }
    CString sTemp;
    if (!GetWritableTempFolder(sTemp))
        return false;
    CString sTessaly = sTemp + "\\Tessaly";
    CString sError;
    // The folder the programs are unpacked into and run from: private to the user.
    if (TsMakePrivateFolder(sTessaly, sError) && IsFolderWritable(sTessaly)) {
        sFolder = sTessaly;
        return true;
    }
    sFolder = sTemp;
    return IsFolderWritable(sTemp);
}

bool IsPortableDataRegistered()
{
    CString sFolder;
    TsRegGetString(sFolder, HKEY_CURRENT_USER, kTessalyKey, "RootUserDataDirPort");
    return !sFolder.IsEmpty();
}
