#pragma once
// Pieces of the stop sequence (CPortableStarterApp::StopPortable) that tests reach alone.
#include <windows.h>

#include "framework/CString.h"
#include "framework/Unique.h"

class CSafeFolder;

// The folders the stop never deletes in nor above: the Windows folder, the system folder
// and the user's profile folder; and the temporary folder, which it never empties itself.
struct HostFolderGuards {
    CString sWindows;
    CString sSystem;
    CString sProfile;
    CString sTemp;
};
HostFolderGuards GetHostFolderGuards();

// The stop deletes in the host folder that "PorvinHostPath" names, a per-user value that
// any program of the user can change. It deletes only in a folder that a start could have
// made: a full local path ("X:\...\Tessaly", no "." or ".." parts) on a fixed or removable
// disk, named "Tessaly" as every unpack folder is, an existing folder with no link on the way
// to it from the drive's root, none of the guarded folders nor a folder holding one of them,
// and not the temporary folder itself. False with the reason (" (...)") otherwise. On
// success the folder is held open from the drive's root down (Strings/TsSafeFs), so that
// none of it can be renamed, removed or turned into a link, and the deletion goes through it.
bool CheckHostFolder(const char* pszFolder, const HostFolderGuards& guards, CString& sReason, CSafeFolder& held);

// Deletes a key of hRoot when it holds neither values nor subkeys; true when it was deleted.
bool DeleteKeyIfEmpty(HKEY hRoot, const char* pszKeyPath);
