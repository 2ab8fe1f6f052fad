#pragma once
// The setup engine's one way to tell the user: the text goes to the setup log, then into a
// system-modal message box that waits for the user.
#include <windows.h>

// pszText and pszDetail may be null; dwCode is a system error code (or a status), 0 for none.
// The box's caption is pszDetail (the system's default caption when null).
void ReportSetupError(const char* pszText, const char* pszDetail, DWORD dwCode);

// The text that ReportSetupError logs and shows: "text\ndetail", the system's message for
// dwCode on a line of its own when dwCode is not 0, then CR LF.
void FormatSetupError(char* pszOut, size_t nOutSize, const char* pszText, const char* pszDetail, DWORD dwCode);
