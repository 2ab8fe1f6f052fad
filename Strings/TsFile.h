#pragma once
// File, folder and process helpers, the program's own folder and version resources.
// Every function reports failure as false plus an error text that ends with the system's
// text for the error; none throws or shows anything.
#include <windows.h>
#include <urlmon.h>

#include "framework/CString.h"

struct ITaskService;

// --- files and folders -------------------------------------------------------------

// The text before the last backslash (with it when bWithBackslash). A path without a
// backslash, or with only a leading one, is a caller mistake (soft assertion).
CString GetFolderOfPath(const char* pszPath, bool bWithBackslash);

// Creates every missing folder along pszPath (a server name is skipped; an empty component
// ends the walk). New folders get the low integrity label so that the product's programs
// at any integrity level can write there: for data folders only. A folder that programs
// are run from is made with TsMakePrivateFolder (Strings/TsSecurity.h).
bool CreateFolder(const char* pszPath, CString& sError);

// Copies (or, with bMove, moves) a file. bCreateFolder creates the target's folder first;
// bLowIntegrity labels the target low.
bool TsCopyFile(const char* pszSource, const char* pszTarget, bool bMove, bool bFailIfExists, bool bCreateFolder,
                bool bLowIntegrity, CString& sError);
bool TsDeleteFile(const char* pszPath, CString& sError);

// Opens the file for writing with no sharing, creating it when missing. With
// bWriteAndDelete the path text is written into it and the file is deleted again; without,
// a file that did not exist stays behind, empty. True only when every step succeeded.
bool TryOpenFileExclusive(const char* pszPath, bool bWriteAndDelete);

// Waits, keeping the thread's windows alive, until the file can be opened exclusively:
// true when it could, or is missing, or is a folder; false after nMaxTries failed tries
// (nTries counts them) or when the thread is asked to quit.
bool WaitForFileUnlocked(const char* pszPath, int& nTries, int nMaxTries, DWORD dwSleepMs);

// nCount sleeps of dwMs; with bPump the thread's messages are dispatched before each and
// after the last. False when a quit message arrived (it is posted again).
bool SleepPumping(DWORD dwMs, int nCount, bool bPump);

// --- downloads ----------------------------------------------------------------------

// Downloads pszUrl into the browser cache; sLocalFile receives the cache file. With
// bWaitForFile, waits until the cache file can be opened for reading.
bool DownloadToCache(const char* pszUrl, IBindStatusCallback* pCallback, CString& sLocalFile, bool bWaitForFile,
                     CString& sError);

// --- starting programs ------------------------------------------------------------

// Starts "program" args in pszFolder (null or empty: the current folder). On success pi
// holds both handles, which the caller closes.
bool TsRunExeFile(const char* pszProgram, const char* pszArgs, const char* pszFolder, bool bDetached,
                  PROCESS_INFORMATION& pi, CString& sError);
// Starts the program and lets it go.
bool TsRunExe(const char* pszProgram, const char* pszArgs, const char* pszFolder, CString& sError);
// How long a started program is waited for at most: five minutes, far beyond what the
// product's programs take for the work they are started for.
const DWORD kTsProgramWaitLimitMs = 5 * 60 * 1000;
// Starts the program and waits for its end, dispatching the thread's messages meanwhile
// when bPumpMessages. False when it could not start, the wait was ended by a quit message,
// or the program did not end within dwLimitMs (it is left running).
bool TsRunExeFileAndWait(const char* pszProgram, const char* pszArgs, bool bDetached, bool bPumpMessages,
                         DWORD& dwExitCode, CString& sError, DWORD dwLimitMs = kTsProgramWaitLimitMs);
// The shell's execute with a verb ("runas", "open" or null); with bWait waits for the
// started process (dwLimitMs at most) and reads its exit code.
bool TsShellExecute(const char* pszFile, const char* pszParameters, const char* pszFolder, const char* pszVerb,
                    bool bWait, bool bPumpMessages, DWORD& dwExitCode, CString& sError,
                    DWORD dwLimitMs = kTsProgramWaitLimitMs);
// Starts the program elevated (through the shell's "runas") when this process is not;
// otherwise directly.
bool TsRunElevated(const char* pszProgram, const char* pszArgs, const char* pszFolder, CString& sError);
// Starts the program as the standard user: through a Task Scheduler task when this process
// runs elevated under user account control, otherwise directly.
bool TsRunAsStandardUser(const char* pszProgram, const char* pszArgs, const char* pszFolder, CString& sError);

// The task name under which TsRunAsStandardUser registers its task.
extern const char kTsRunAsStdUserTaskName[];

// Registers (create or update) a task in the scheduler's root folder that runs the program
// at once with the user's unelevated token. COM must be initialised on the calling thread.
// Every interface obtained is released, also on failure. Windows version 6 or later only.
bool RegisterRunAsStdUserTask(const char* pszTaskName, const char* pszProgram, const char* pszArgs,
                              const char* pszFolder);
// The same with a given (not yet connected) scheduler service.
bool RegisterRunAsStdUserTask(ITaskService* pService, const char* pszTaskName, const char* pszProgram,
                              const char* pszArgs, const char* pszFolder);

// Whether the elevation of this process could be learned; bElevated receives it.
bool IsProcessElevated(bool& bElevated);

// --- the program's own folder and version resources --------------------------------

// The folder of the running program, in its long form, without a trailing backslash.
bool GetModuleFolder(CString& sFolder, CString& sError);

// Reads a file's version resource (at most 4096 bytes). The fixed record is filled only
// when its signature is right; the strings come from the "000004b0" table and are emptied
// first. Any out argument may be null.
bool ReadFileVersionInfo(const char* pszPath, VS_FIXEDFILEINFO* pFixedInfo, CString* psProductName,
                         CString* psProductVersion, CString* psFileVersion);
// The file version of the fixed record (most and least significant words).
bool GetFileVersion(const char* pszPath, DWORD& dwMs, DWORD& dwLs);

// Loads a system library with the program's own manifest activated, so that the versions
// the manifest names (common controls 6) are the ones loaded; plainly where the system has
// no activation contexts. The caller frees the library.
HMODULE TsLoadLibrary(const char* pszName);
