#pragma once
// The setup log "_ts.log", the scrambled in-memory trace ring, assertions and small
// text helpers used by every part of both programs.
#include <windows.h>
#include "framework/CString.h"

// --- setup log ---------------------------------------------------------------
// Chooses the folder ("/temp=" option, else the writable temporary folder), creates the
// file and writes the header. Runs once per process; a failed open is retried next call.
void TsLogStart(const char* pszCommandLine);
// With bStamped: "dd-mm-yy hh:mm:ss.mmm [CODE] text detail\r\n"; without: pszText as is.
void TsLogWrite(const char* pszText, const char* pszDetail, DWORD dwCode, BOOL bStamped = TRUE);
void TsLogWriteRaw(const char* pszText);
// Removes logs of earlier runs (the root of the Windows drive, and a day-old temporary one).
void TsLogDeleteOld();
// A stamped line about a choice the programs made for the user (a folder given up, a
// fallback taken): written at once when the log runs, else kept (the latest four) and
// written right after the header when it starts. Also traced.
void TsLogNote(const char* pszText, const char* pszDetail);
// True when notes wait for the log to start.
bool TsLogHasPendingNotes();
// Full path of the log once TsLogStart has chosen it, else empty.
CString TsLogGetPath();
// True once TsLogStart has created or opened the file.
bool TsLogIsStarted();
// Forgets that the log was started, so that the next TsLogStart chooses again (tests only).
void TsLogReset();
// Formats one stamped line for the given local time (the pure part of TsLogWrite).
CString TsLogFormatLine(const SYSTEMTIME& st, const char* pszText, const char* pszDetail, DWORD dwCode);

// --- folders and command line -------------------------------------------------
// A writable folder without trailing backslash: the system's temporary folder in its exact
// ANSI form (long, else short), else "<windows drive>\_ts", made private to the user on
// demand. False when even that cannot be had (it belongs to another user).
bool GetWritableTempFolder(char* pszBuffer, DWORD dwSize);
bool GetWritableTempFolder(CString& sOut);
bool IsFolderWritable(const char* pszFolder);
// The value after the first case-insensitive occurrence of pszKey when "=" follows it.
// pnKeyPos receives the key's offset, pnRest the offset after the value.
bool GetCmdLineValue(const char* pszCmdLine, const char* pszKey, char* pszValue, int nValueSize,
                     int* pnKeyPos = nullptr, int* pnRest = nullptr);
// Offset of the first case-insensitive occurrence of pszPart in pszText, or -1.
int FindNoCase(const char* pszText, const char* pszPart);
void StripTrailingBackslash(char* pszPath);
void StripTrailingBackslash(CString& sPath);
bool IsAbsolutePath(const char* pszPath);

// --- trace ring and assertions -------------------------------------------------
void TsTrace(const char* pszShortFormat, const char* pszLongFormat, ...);
// Appends the ring's content, oldest byte first, in plain text.
void TsGetTraceText(CString& sOut);
// Drops everything traced so far (tests only).
void TsTraceReset();

// The hard assertion: makes a crash report (TsReportCrash), then throws CUserException.
// Never returns normally.
[[noreturn]] void TsAssertFail(const char* pszSourcePath, int nLine, INT_PTR nContext, const char* pszContext);

// The soft assertion: records "!!!SA <source>: <line>" in the trace and goes on.
void TsSoftAssertFailed(const char* pszSourcePath, int nLine);
#define SOFTASSERT(cond) \
    do { if (!(cond)) TsSoftAssertFailed(__FILE__, __LINE__); } while (0)

// --- error text and stamps -------------------------------------------------------
// "<system text> (%X)", or "Error (%X)" when the system has no text for the code.
void GetErrorText(CString& sOut, DWORD dwCode);
void GetLastErrorText(CString& sOut);
CString GetTimeStamp();   // "hhmmss.mmm" of the local time
CString GetDateStamp();   // "yyyy/mm/dd"
