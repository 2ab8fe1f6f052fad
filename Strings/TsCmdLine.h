#pragma once
// The option reader both programs use on their command lines.
#include "framework/CString.h"

// The value of "/name=" or "-name=" in the command line (the slash form looked for first,
// case-sensitive), without its double quotes, with environment references expanded; empty
// when absent.
CString GetCmdLineOption(const CString& sCmdLine, const char* pszName);
