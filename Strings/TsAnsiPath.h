#pragma once
// The programs are ANSI programs, but the folders the system hands them (the temporary
// folder, AppData, Documents, the program's own folder) may carry names that the ANSI code
// page cannot hold: "数据" on a Western system comes out of the ANSI calls as "??", and
// "Łukasz" as "Lukasz", the best-fit look-alike, which names some other folder. Every such
// folder is taken in wide characters and turned into ANSI here.
#include <windows.h>

#include <string>

#include "framework/CString.h"

// The ANSI form of a path: the path itself when every character has an exact ANSI equal,
// else its short (8.3) form, which is plain ASCII. Never a look-alike. False when neither
// form exists (the volume makes no short names, or the path does not exist yet).
bool TsExactAnsiPath(const wchar_t* pwszPath, CString& sPath);

// The temporary folder (with its trailing backslash) in that form. On systems without the
// wide calls (Windows 9x) the ANSI call is exact already. False when the system gives
// nothing or no exact ANSI form exists; pwsWide, when given, receives the wide path (to
// report it).
bool TsGetTempPathExact(CString& sPath, std::wstring* pwsWide = nullptr);

// UTF-8 of a wide text, for log lines that name a path the ANSI code page cannot hold.
CString TsUtf8Of(const wchar_t* pwsz);
