#pragma once
// Pieces of the stop sequence (CPortableStarterApp::StopPortable) that tests reach alone.
#include <windows.h>

#include "framework/CString.h"
#include "framework/Unique.h"

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
// made: a full local path ("X:\...\Tessaly", no "." or ".." parts), named "Tessaly" as every
// unpack folder is, an existing folder and no link, none of the guarded folders nor a folder
// holding one of them, and not the temporary folder itself. False with the reason (" (...)")
// otherwise. On success the folder stays open in hHeld, so that it cannot be renamed,
// removed or turned into a link until the deletion is over.
bool CheckHostFolder(const char* pszFolder, const HostFolderGuards& guards, CString& sReason, CUniqueFile& hHeld);

// Deletes a key of hRoot when it holds neither values nor subkeys; true when it was deleted.
bool DeleteKeyIfEmpty(HKEY hRoot, const char* pszKeyPath);
