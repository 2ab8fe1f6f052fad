#pragma once
// Removing an unpack folder with everything in it. Links (junctions, symbolic links) met on
// the way are removed themselves; what they point to is never touched, even when a folder is
// swapped for a link while the walk is inside it (the walk goes through folder handles).
#include <windows.h>

class CSafeFolder;

using SfxFileAction = bool (*)(const char* pszPath, void* pParameter);

// Calls pfnAction for every entry of pszFolder but "." and "..". True when every call
// returned true and the folder was listed completely; a false result does not stop the walk.
bool ForEachFile(const char* pszFolder, SfxFileAction pfnAction, void* pParameter);

// Deletes a file, or a folder with its content, or a link as the link; pParameter is not used.
bool ActDelFile(const char* pszPath, void* pParameter);

// Deletes everything in pszFolder, then the folder. True when the folder is gone.
bool CleanupFolder(const char* pszFolder);

// Deletes everything below an opened folder (Strings/TsSafeFs), links as links. With bLog
// each folder's walk and each failure go to the setup log, and a folder that cannot be
// listed is reported to the user. True when everything below went.
bool EmptySafeFolder(CSafeFolder& folder, bool bLog);
