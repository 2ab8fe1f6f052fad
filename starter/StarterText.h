#pragma once
// The starter's localized texts by their keys in the string table ("Portable_Ind_Started"),
// with the placeholders %1 and %2 filled in.
#include "framework/CString.h"

CString StarterText(const char* pszKey, const char* pszArg1 = nullptr, const char* pszArg2 = nullptr);
