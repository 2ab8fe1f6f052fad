#pragma once
// The setup run: unpacks the program files from the package into the host folder with a
// progress window, reporting every failure to the user itself.
#include <windows.h>

// Five words passed by address; the starter passes 0, 0, 0, 1, 0.
struct SfxRunParams {
    DWORD dwHideDialog;   // non-zero: the progress window stays hidden
    DWORD dwUnused1;
    DWORD dwForceFixed;   // non-zero: a "portable" block is ignored
    DWORD dwUnpack;       // unpack mode, the only one; non-zero also keeps earlier logs
    DWORD dwUnused2;
};

// pszCommandLine holds "/unpack=" (the folder to fill) and optionally "/temp=". Returns 0
// on success, -1 when the run did not get to extracting, or the failing status of the
// program block.
LONG RunSfx(const char* pszCommandLine, const SfxRunParams* pParams, const char* pszPackagePath);

// Whether the user belongs to the local Administrators group (always true on systems
// without the NT security model). False when the test itself could not run.
bool IsUserAdmin(bool* pbAdmin);

// Major version * 256 + minor version of the system, 0 when it cannot be read.
DWORD GetOsVersionWord();

// Empties the thread's message queue; a quit message is posted again and ends the pumping.
void PumpSetupMessages();

// Whether a failed run may remove the folder pszFolder itself: never the temporary folder
// pszTemp, a folder that holds it, or a drive or share root.
bool IsDisposableUnpackFolder(const char* pszFolder, const char* pszTemp);
