#pragma once
// Pieces of the start sequence (CPortableStarterApp::StartPortable) that the application
// entry and the stop sequence share.
#include <windows.h>

#include "framework/CString.h"

// The product's per-user key, where the portable run is recorded.
extern const char kTessalyRegKey[];         // "Software\Norvane Works\Tessaly"
extern const char kStarterMutexName[];      // one starter at a time
extern const char kStopperMutexName[];      // one stopper at a time; a start waits for it

// This edition's version, as the upgrade offer shows it.
extern const char kThisEditionVersion[];    // "6-10-2"

// Creates (or opens) one of the starter's named mutexes: everyone may use it, it is not
// owned, and it carries the low integrity label. Null when it cannot be created.
HANDLE CreatePortableMutex(const char* pszName);

// Records the portable data folder for the product's programs ("RootUserDataDirPort"), or
// removes the record for an empty folder; then the running product forgets the master
// password it holds (the external logoff), so that it reads its data afresh.
void SetRootUserDataDirPort(const char* pszFolder);

// "major-minor-build" of a file version's two words (the fourth part is not shown).
CString FormatEditionVersion(DWORD dwMs, DWORD dwLs);
// True when an installed version is older than this edition (6.10.2.0).
bool IsOlderThanThisEdition(DWORD dwMs, DWORD dwLs);

// The program-files source folder: the starter's folder followed by the drive's "BinPath"
// setting, normalised. A setting without a leading backslash is taken as a subfolder.
CString GetProgramSourceFolder(const CString& sRootFolder, const CString& sBinPath);
