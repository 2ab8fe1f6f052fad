#pragma once
// Deleting the user's data from the device without ever reaching through a link: every
// folder from the drive's root down to a file is opened and held, refusing links, while the
// file goes through its folder's handle (Strings/TsSafeFs).
#include <windows.h>

#include "framework/CString.h"

// Deletes the file through its held parent folders (a link itself goes, never its target).
// A read-only file stays. sError carries the reason on failure.
bool DeleteFileNoLinks(const CString& sPath, CString& sError);

// Removes the folder when it is empty and not a link, through its own handle; the folders
// above it are held meanwhile.
bool RemoveFolderNoLinks(const CString& sPath);

// Why the data of sRoot must not be collected and deleted, or empty when it may be: the
// device is removable, so a fixed disk, a drive root, the Windows folder, the user's profile
// (or a folder holding either) and a folder reached through a link are refused. The checks
// are made on the folder opened from the drive's root, with the names the system lists.
CString CheckCleanupRoot(const CString& sRoot);
