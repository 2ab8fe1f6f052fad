#pragma once
// Deleting the user's data from the device without ever reaching through a link: every
// folder on the way to a file is opened and held, refusing links, while the file goes.
#include <windows.h>

#include <vector>

#include "framework/CString.h"
#include "framework/Unique.h"

// Opens every folder from the drive (or share) root down to sFolder, inclusive, refusing
// a folder that is a link (reparse point) or not a folder. While the handles in pins live,
// none of those folders can be renamed, removed or replaced. sError says which folder failed.
bool PinFolderChain(const CString& sFolder, std::vector<CUniqueFile>& pins, CString& sError);

// Deletes the file through its held parent folders (a link itself goes, never its target).
// A read-only file stays. sError carries the reason on failure.
bool DeleteFileNoLinks(const CString& sPath, CString& sError);

// Removes the folder when it is empty and not a link; its parents are held meanwhile.
bool RemoveFolderNoLinks(const CString& sPath);

// Why the data of sRoot must not be collected and deleted, or empty when it may be: the
// device is removable, so a fixed disk, a drive root, the Windows folder, the user's profile
// (or a folder holding either) and a folder reached through a link are refused.
CString CheckCleanupRoot(const CString& sRoot);
