#pragma once
// Where the portable product's user data lives on the drive: the data folder search (own
// drive, then neighbouring drives), the drive's Portable.ini, the program package, the
// host folder of the unpacked program files, and the path helpers these searches use.
// Free functions without state; nothing here shows anything.
#include <windows.h>

#include "framework/CString.h"

// True when a data folder holding data files was found (sFolder is then that folder).
// False otherwise, with sFolder where the data folder should be created.
bool FindUserDataFolder(const char* pszStarterFolder, CString& sFolder);
// The same search on the starter's own drive only.
bool FindDataFolderOnDrive(const char* pszStarterFolder, CString& sFolder);
// True when the governing Portable.ini names a "DataPath"; sFolder is then "X:\" + it,
// normalised (emptied first).
bool ReadIniDataPath(const char* pszStarterFolder, CString& sFolder);
// The document root of the drive + "\My Tessaly Data" and + "\My Tessaly Data\Default Profile".
void GetDefaultDataFolders(char chDriveLetter, CString& sDataFolder, CString& sProfileFolder);
// Tries the candidate drives next to chOwnLetter (the next, then the previous one); the
// letter of the drive where a data folder was found, or 0.
char SearchNeighbourDrives(char chOwnLetter, CString& sFolder);
// Drive letters that may hold portable data, ascending; returns their count (at most 32).
int EnumCandidateDrives(char letters[32]);
// Whether a drive of this type and bus may hold portable data (the rule EnumCandidateDrives applies).
bool IsCandidateDrive(char chLetter, UINT uDriveType, int nBusType);
// The Portable.ini that governs the starter folder, or empty. One that a replace cut off
// left as "Portable.ini.tmp" alone is put back in place first.
CString FindPortableIni(const char* pszStarterFolder);
// The package folder of the drive when it holds "AiTessaly-Portable.bin", else empty.
CString GetPackageFolder(char chDriveLetter);
bool DriveHasPackage(char chDriveLetter);
// The host folder that received the program files (or the temporary folder to use).
bool GetHostFolder(CString& sFolder);
// True when another portable copy runs on this host (its data folder is registered).
bool IsPortableDataRegistered();
bool FolderHasDataFiles(const char* pszFolder);
bool IsDataFileName(const char* pszName);
// Writes "TessalyDataHere.txt" into a new data folder (replacing one that is there); a
// marker cut off half-way is not left behind. False with the failing step in sError.
bool WriteDataFolderMarker(const char* pszFolder, CString& sError);

// Unifies separators and removes "." and ".." components. Reads nothing beyond the
// terminator of pszPath. Lead bytes are those of uCodePage (the system's by default).
CString NormalizePath(const char* pszPath, UINT uCodePage = CP_ACP);
// The separator step of NormalizePath alone.
CString CleanPathSeparators(const char* pszPath, UINT uCodePage = CP_ACP);

// DRIVE_REMOTE for "\\..." paths, the system's type for "X:...", else DRIVE_UNKNOWN.
UINT GetPathDriveType(const char* pszPath);
// The storage bus of a drive (7 USB, 4 IEEE 1394, ...), 0 when it cannot be learned.
int GetStorageBusType(char chDriveLetter);

// The marker file's name and text.
extern const char kDataFolderMarkerName[];
extern const char kDataFolderMarkerText[];
