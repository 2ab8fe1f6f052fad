#pragma once
// The U3 smart drive environment: whether the product runs in U3 mode, the device's
// drive letter and document folder, and switching every process of the product into
// U3 mode while the cleanup program works. Nothing is cached: every call looks again.
#include <windows.h>

#include "framework/CString.h"

class CTsEvent;

// The U3 mode event, manual reset, created not signalled before the main code runs.
// Its handle is null when it could not be created.
CTsEvent& TsU3ModeEvent();

// True when the U3 mode event is signalled, otherwise DetectU3Environment().
bool IsU3Mode();
// From the forcing registry value, or from the program (or product library) lying on the
// U3 device or in the host folder that the U3 platform runs programs from.
bool DetectU3Environment();
// The device's drive letter, or 0.
char GetU3DeviceLetter();
// The device's document folder, or empty.
CString GetU3DocumentPath();
// Signals U3 mode to every process of the product and records the document folder.
void EnterU3Mode(const char* pszDocPath);
// Removes the recorded folder and ends U3 mode.
void LeaveU3Mode();
