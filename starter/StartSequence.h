#pragma once
// Pieces of the start sequence (CPortableStarterApp::StartPortable) that the application
// entry and the stop sequence share.
#include <windows.h>

#include "framework/CString.h"
#include "framework/Unique.h"

// The product's per-user key, where the portable run is recorded.
extern const char kTessalyRegKey[];         // "Software\Norvane Works\Tessaly"
extern const char kStarterMutexName[];      // one starter at a time
extern const char kStopperMutexName[];      // one stopper at a time; a start waits for it

// This edition's version, as the upgrade offer shows it.
extern const char kThisEditionVersion[];    // "6-10-2"

// Creates (or opens) one of the starter's named mutexes: everyone may use it, it is not
// owned, and it carries the low integrity label. Null when it cannot be created.
HANDLE CreatePortableMutex(const char* pszName);

// Takes a mutex without waiting and gives it back when the scope ends. Closing the handle
// alone would leave the mutex owned by this thread until the process ends.
class CHeldMutex {
public:
    explicit CHeldMutex(const char* pszName);
    ~CHeldMutex();
    CHeldMutex(const CHeldMutex&) = delete;
    CHeldMutex& operator=(const CHeldMutex&) = delete;
    bool Exists() const { return static_cast<bool>(m_hMutex); }
    // True when taken, also from an owner that died without giving it back.
    bool TryTake();

private:
    CUniqueHandle m_hMutex;
    bool m_bHeld = false;
};

// A value of the product's per-user key (empty when missing), and writing one.
CString ReadTessalyValue(const char* pszName);
void WriteTessalyValue(const char* pszName, const char* pszValue);

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

// Where the system's folders are looked up; tests put failing stand-ins here.
struct UnpackFolderLookups {
    CString (*pfnSpecialFolder)(int nCsidl);
    bool (*pfnTempFolder)(CString& sFolder);
};
extern const UnpackFolderLookups kSystemFolderLookups;

// The host folder for the program files, by the drive's "UnpackTo" setting: the user's
// AppData ("appdata") or Documents ("mydocs") folder, else the writable temporary folder,
// followed by "\Tessaly". A folder the system cannot give falls back to the temporary folder;
// empty when that fails too (the start then stops with its message). Never a relative
// folder: "\Tessaly" alone would be the root of whatever drive is current.
CString ChooseUnpackFolder(const CString& sUnpackTo, const UnpackFolderLookups& lookups = kSystemFolderLookups);

// The folder the product's programs will run from, made private to the user (or checked,
// with bCreate false, when somebody else made it). On failure a box is shown: the folder's
// own reason when it is unusable (another user's, no full path), else pszFailure.
bool PrepareProgramFolder(const CString& sFolder, bool bCreate, HWND hOwner, const char* pszFailure);
