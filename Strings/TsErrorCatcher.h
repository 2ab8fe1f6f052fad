#pragma once
// The error catcher: crash reports with the calling thread's stack, the bad-error report
// (appended to the setup log, shown shortened and, with the user's consent, sent to the
// maker as three requests), framework exceptions that escaped, and the last-chance handler
// for faults that nothing else caught.
#include <windows.h>

#include "framework/CString.h"
#include "framework/Exceptions.h"

// Reports pszMessage. bMemoryFull: the caller knows that memory is exhausted (a last error of
// 8 counts the same). bShowDuplicates: report even a message equal to the last one.
// bDontAsk: send without asking (the user has agreed in a message of the caller's own).
// Known trouble (memory, two other makers' modules) gets a message of its own and nothing
// is sent. Runs to its end on the calling thread, message boxes and requests included.
void TsReportBadError(const char* pszMessage, bool bMemoryFull, bool bShowDuplicates, bool bDontAsk);

// "ASSERT", pszMessage (may be null) and the calling thread's stack, one line per frame
// ("%04X:%08X %s": section, offset in it, module file name), reported with
// TsReportBadError(report, false, false, bNoAsk). nSkipFrames leaves that many frames of the
// caller's own reporting code out, so that the first line names the function that failed.
void TsReportCrash(const char* pszMessage, bool bNoAsk, int nSkipFrames = 0);

// A framework exception that escaped an operation. The user exception (the user has been
// told) is ignored; any other is reported with its text, as memory exhaustion when it is the
// memory exception, duplicates shown.
void ReportFrameworkException(const CException& exception);
// The exception's message, or "Unknown error: LastError=%x" when it gives none.
CString GetExceptionText(const CException& exception);

// The stack-frame line of a code address: "%04X:%08X %s\n" with the number of the section of
// its module that holds it (1 for the first, 0 when unknown), the offset within that section
// (0 when unknown) and the module's file name without its folder (empty when unknown).
CString FormatCodeAddress(const void* pAddress);

// Reports a fault that nothing caught ("EXCEPTION %08X", then the stack from the fault's
// context), from a thread of its own so that an exhausted stack can be reported too, then
// ends the process with the exception code as exit code. Registered with the framework's
// entry (AfxSetFaultHandler) for both programs. The report is given a minute of work, not
// counting the time its boxes wait for the user: a fault under a lock the report needs (the
// loader's, the heap's) must not turn the crash into a hang.
LONG WINAPI TsUnhandledExceptionFilter(EXCEPTION_POINTERS* pPointers);

// --- seams for tests ---------------------------------------------------------------------
// The endpoint the requests go to: the shipped https address unless a test set another one.
// Null restores the shipped address.
const char* TsGetErrorReportEndpoint();
void TsSetErrorReportEndpoint(const char* pszEndpoint);
// When set, every bad-error report is handed here instead (nothing is logged, shown or sent),
// so that test programs whose tests provoke hard assertions are not stopped by the question.
using TsBadErrorSink = void (*)(const char* pszMessage, bool bMemoryFull, bool bShowDuplicates, bool bDontAsk);
void TsSetBadErrorSink(TsBadErrorSink pfnSink);
TsBadErrorSink TsGetBadErrorSink();
// Forgets the last reported message.
void TsResetLastReport();
// The work the report of an unhandled fault is given (60 s unless a test set less).
void TsSetFaultReportLimit(DWORD dwMs);
