#pragma once
// What every stand-in shares: it appends each event it sees to a record file beside its own
// program ("<program>.rec", one line per event; in the folder the environment variable
// WAYFARER_STANDIN_RECORDS names when it is set), and reads its behaviour from "<program
// name>.ini" beside it, section [StandIn]. Tests and the demo read the record.
#include <windows.h>

#include <string>

namespace standin {

std::string ModulePath();
std::string ModuleFolder();
std::string CurrentFolder();

// The record file: "<program>.rec" beside the program or in WAYFARER_STANDIN_RECORDS.
std::wstring RecordPath();
// Appends one line (a line end is added) to the record file, shared for reading.
void Record(const std::string& sLine);
// "start pid=<n> folder=<working folder> args=<command line after the program name>"
void RecordStart(const char* pszArgs);

// An integer of the [StandIn] section of the ini file beside the program.
int Setting(const char* pszKey, int nDefault);

std::string Hex(ULONG_PTR value);

}  // namespace standin
