#pragma once
// The process-wide string table: the built-in English texts, overlaid by a language file
// from the program folder, and CLocalizedString, through which every shown text is fetched.
#include "framework/CString.h"
#include "LocalizationStrings/StringTableParser.h"

class CTsOptions;

// Fills the table with the built-in texts (all kStringTableSize ids).
void ResetLocalizedStrings();

// Number of ids the table holds: 0 before the first reset, then kStringTableSize.
int GetLocalizedStringCount();

// The key of an id in the built-in table ("Portable_Ind_Starting"), empty for unnamed ids;
// FindLocalizedStringId gives the id of a key, or -1.
CString GetLocalizedStringKey(int nId);
int FindLocalizedStringId(const char* pszKey);

// Resets the table, then overlays the language file sName + ".tsi" of pszFolder and, with
// bWithCustom, its ".custom" overlay. An empty sName is first filled with the default for
// this system. False when the language file could not be read: the built-in texts stay.
bool LoadLanguage(CString& sName, const char* pszFolder, bool bWithCustom);

// Fills an empty sName with the language file that fits the system's (or the U3 platform's)
// language, "en-English" when the folder has none. Records the language abbreviation read.
void FindDefaultLanguageFile(CString& sName, const char* pszFolder);

// Reads one language file into map. The error text is traced, not passed on.
bool ParseStringTable(const char* pszPath, StringTableMap& map);

// "de" -> "de-German" and the other codes of the table; false (sName untouched) otherwise.
bool LanguageCodeToFile(const char* pszCode, CString& sName);

// The user's language choice from the options file ("[LANGUAGE]" "LocalizationFile"),
// lower-cased and without a trailing ".tss"; empty when not set. With pOptions it is read
// from that object; without, the options file of pszFolder is read under the interprocess lock.
CString TsGetLocalizationOption(const char* pszFolder, CTsOptions* pOptions);

// The language in use, kept by the start sequence after LoadLanguage. Setting the name also
// sets the two-letter code: its first two characters when the name reads "xx-...", else empty.
void SetCurrentLanguageName(const char* pszName);
CString GetCurrentLanguageName();
CString GetCurrentLanguageCode();
// The system's abbreviated language name (ENU, DEU...) as read by the last LoadLanguage.
CString GetSystemLanguageAbbrev();

// A text of the string table with its placeholders filled in. An id outside the table is a
// programming error (hard assertion).
class CLocalizedString : public CString {
public:
    explicit CLocalizedString(int nId);
    CLocalizedString(int nId, const char* pszArg1);
    CLocalizedString(int nId, const char* pszArg1, const char* pszArg2);
    CLocalizedString(int nId, const char* pszArg1, const char* pszArg2, const char* pszArg3,
                     const char* pszArg4, const char* pszArg5);
};

// The argument filling of CLocalizedString, for texts that do not come from the table:
// "%%" becomes "%", then "%1" ... "%5" take the arguments (null ones stay as they are).
CString FillLocalizedArgs(const char* pszText, const char* const* ppszArgs, int nArgs);
