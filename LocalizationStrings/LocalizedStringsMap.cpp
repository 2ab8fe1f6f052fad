#include "LocalizationStrings/LocalizedStringsMap.h"

#include <windows.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "Strings/TsLock.h"
#include "Strings/TsLog.h"
#include "Strings/TsOptions.h"
#include "framework/Sync.h"
#include "framework/Unique.h"

// The English language file, compiled in (generated from en-English.tsi).
extern const char g_szBuiltinStringTable[];
extern const size_t g_nBuiltinStringTableSize;

namespace {

const char kSource[] = "LocalizationStrings\\LocalizedStringsMap";

// A language file is a few hundred kilobytes at most; anything far larger is not one, and
// reading it whole would only exhaust memory.
const long kMaxLanguageFileSize = 16L * 1024 * 1024;

struct CodeRow {
    const char* pszCode;
    const char* pszFile;
};
const CodeRow kLanguageCodes[] = {
    {"en", "en-English"},     {"fr", "fr-French"},     {"de", "de-German"},  {"it", "it-Italian"},
    {"es", "es-Spanish"},     {"ja", "jp-Japanese"},   {"jp", "jp-Japanese"}, {"zh-chs", "cn-Chinese"},
    {"zh-cht", "zh-Chinese"}, {"ru", "ru-Russian"},    {"tr", "tr-Turkish"}, {"pt", "br-Brasilian"},
    {"pl", "pl-Polish"},
};

// System abbreviations whose first two letters are not the language files' prefix.
struct AbbrevRow {
    const char* pszPrefix;
    const char* pszCode;
};
const AbbrevRow kAbbrevCodes[] = {
    {"ptb", "br"}, {"ch", "cn"}, {"csy", "cz"}, {"dan", "dk"}, {"kor", "kr"}, {"sv", "se"},
    {"ukr", "ua"}, {"srb", "sc"}, {"srn", "sc"}, {"srl", "sb"}, {"srs", "sb"},
};

struct StringTableState {
    CCriticalSection lock;
    std::vector<CString> texts;          // empty until the first reset
    bool bBuiltinParsed = false;
    StringTableMap builtinTexts;
    StringTableMap builtinKeys;
    CString sLanguageName;
    CString sLanguageCode;
    CString sSystemAbbrev;
};

StringTableState& State()
{
    static StringTableState state;
    return state;
}

// Parses the compiled-in file once; the caller holds the lock.
void ParseBuiltinTable(StringTableState& st)
{
    if (st.bBuiltinParsed)
        return;
    std::string sError;
    bool bOk = ParseStringTableText(g_szBuiltinStringTable, g_nBuiltinStringTableSize, "en-English.tsi",
                                    st.builtinTexts, sError, &st.builtinKeys);
    SOFTASSERT(bOk);
    st.bBuiltinParsed = true;
}

// Locale abbreviations are plain ASCII letters.
bool StartsWithNoCase(const char* pszText, const char* pszPrefix)
{
    for (; *pszPrefix; ++pszText, ++pszPrefix) {
        if (std::tolower(static_cast<unsigned char>(*pszText)) != std::tolower(static_cast<unsigned char>(*pszPrefix)))
            return false;
    }
    return true;
}

bool EndsWithNoCase(const CString& s, const char* pszSuffix)
{
    int n = lstrlenA(pszSuffix);
    return s.GetLength() >= n && s.Right(n).CompareNoCase(pszSuffix) == 0;
}

bool IsExistingFile(const char* pszPath)
{
    DWORD dwAttr = ::GetFileAttributesA(pszPath);
    return dwAttr != INVALID_FILE_ATTRIBUTES && !(dwAttr & FILE_ATTRIBUTE_DIRECTORY);
}

CString JoinFolder(const char* pszFolder, const char* pszName)
{
    CString s(pszFolder);
    if (!s.IsEmpty() && s[s.GetLength() - 1] != '\\')
        s += '\\';
    return s + pszName;
}

}  // namespace

// --- the table ----------------------------------------------------------------

void ResetLocalizedStrings()
{
    StringTableState& st = State();
    CSingleLock lock(&st.lock, true);
    ParseBuiltinTable(st);
    st.texts.assign(kStringTableSize, CString());
    for (const auto& entry : st.builtinTexts)
        st.texts[static_cast<size_t>(entry.first)] = CString(entry.second);
}

int GetLocalizedStringCount()
{
    StringTableState& st = State();
    CSingleLock lock(&st.lock, true);
    return static_cast<int>(st.texts.size());
}

CString GetLocalizedStringKey(int nId)
{
    StringTableState& st = State();
    CSingleLock lock(&st.lock, true);
    ParseBuiltinTable(st);
    auto it = st.builtinKeys.find(nId);
    return it == st.builtinKeys.end() ? CString() : CString(it->second);
}

int FindLocalizedStringId(const char* pszKey)
{
    StringTableState& st = State();
    CSingleLock lock(&st.lock, true);
    ParseBuiltinTable(st);
    for (const auto& entry : st.builtinKeys) {
        if (pszKey && entry.second == pszKey)
            return entry.first;
    }
    return -1;
}

// --- language files --------------------------------------------------------------

bool ParseStringTable(const char* pszPath, StringTableMap& map)
{
    // Text mode on purpose: CR LF reads as a line end and a 0x1A byte ends the file.
    FILE* pFile = std::fopen(pszPath, "r");
    if (!pFile)
        return false;
    std::string sData;
    char buf[16384];
    bool bTooLarge = false;
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), pFile)) > 0) {
        sData.append(buf, n);
        if (sData.size() > static_cast<size_t>(kMaxLanguageFileSize)) {
            bTooLarge = true;
            break;
        }
    }
    std::fclose(pFile);
    if (bTooLarge) {
        TsTrace("PSTL: %s\n", "ParseStringTable: file too large: %s\n", pszPath);
        return false;
    }
    std::string sError;
    bool bOk = ParseStringTableText(sData.data(), sData.size(), pszPath, map, sError);
    if (!bOk)
        TsTrace("PSTE: %s\n", "ParseStringTable: %s\n", sError.empty() ? "string id out of range" : sError.c_str());
    return bOk;
}

void FindDefaultLanguageFile(CString& sName, const char* pszFolder)
{
    LCID lcid = 0;
    char szEnv[32];
    DWORD n = ::GetEnvironmentVariableA("U3_ENV_LANGUAGE", szEnv, sizeof(szEnv));
    if (n > 0 && n < sizeof(szEnv))
        lcid = static_cast<LCID>(std::strtoul(szEnv, nullptr, 10));
    if (lcid == 0)
        lcid = ::GetSystemDefaultLCID();
    char szAbbrev[61] = "";
    if (!::GetLocaleInfoA(lcid, LOCALE_SABBREVLANGNAME, szAbbrev, 60))
        szAbbrev[0] = '\0';
    {
        StringTableState& st = State();
        CSingleLock lock(&st.lock, true);
        st.sSystemAbbrev = szAbbrev;
    }
    if (!sName.IsEmpty())
        return;

    CString sAbbrev(szAbbrev);
    for (const AbbrevRow& row : kAbbrevCodes) {
        if (StartsWithNoCase(szAbbrev, row.pszPrefix)) {
            sAbbrev = row.pszCode;
            break;
        }
    }
    CString sPattern = JoinFolder(pszFolder, sAbbrev.Left(2) + "*.tsi");
    sPattern.MakeLower();

    WIN32_FIND_DATAA fd;
    CUniqueFind find(::FindFirstFileA(sPattern, &fd));
    if (find) {
        do {
            CString sFile(fd.cFileName);
            // A short-name match can list other extensions; only real language files count.
            if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && EndsWithNoCase(sFile, ".tsi")) {
                sName = sFile.Left(sFile.GetLength() - 4);
                return;
            }
        } while (::FindNextFileA(find.Get(), &fd));
    }
    sName = "en-English";
}

bool LoadLanguage(CString& sName, const char* pszFolder, bool bWithCustom)
{
    FindDefaultLanguageFile(sName, pszFolder);
    ResetLocalizedStrings();
    if (sName.IsEmpty())
        return true;

    CString sPath = JoinFolder(pszFolder, sName + ".tsi");
    StringTableMap map;
    if (!ParseStringTable(sPath, map))
        return false;
    if (bWithCustom) {
        CString sCustom = sPath + ".custom";
        if (IsExistingFile(sCustom))
            ParseStringTable(sCustom, map);  // what it read before a bad line still counts
    }

    StringTableState& st = State();
    CSingleLock lock(&st.lock, true);
    for (const auto& entry : map)
        st.texts[static_cast<size_t>(entry.first)] = CString(entry.second);
    return true;
}

bool LanguageCodeToFile(const char* pszCode, CString& sName)
{
    if (!pszCode)
        return false;
    for (const CodeRow& row : kLanguageCodes) {
        if (std::strcmp(row.pszCode, pszCode) == 0) {
            sName = row.pszFile;
            return true;
        }
    }
    return false;
}

CString TsGetLocalizationOption(const char* pszFolder, CTsOptions* pOptions)
{
    CString sValue, sError;
    if (pOptions) {
        pOptions->Get(sValue, "[LANGUAGE]", "LocalizationFile", sError);
    } else {
        // Other programs of the product write this file while they hold the same lock.
        CTsSingleLock lock("TsGetLocalizationOption", &TsInterprocessMutex(), true);
        CTsOptions options;
        options.SetPath(pszFolder, nullptr);
        if (options.Load(sError))
            options.Get(sValue, "[LANGUAGE]", "LocalizationFile", sError);
    }
    sValue.MakeLower();
    if (sValue.Right(4) == ".tss")
        sValue = sValue.Left(sValue.GetLength() - 4);
    return sValue;
}

void SetCurrentLanguageName(const char* pszName)
{
    StringTableState& st = State();
    CSingleLock lock(&st.lock, true);
    st.sLanguageName = pszName;
    bool bCoded = st.sLanguageName.GetLength() >= 4 && st.sLanguageName[2] == '-';
    st.sLanguageCode = bCoded ? st.sLanguageName.Left(2) : CString();
}

CString GetCurrentLanguageName()
{
    StringTableState& st = State();
    CSingleLock lock(&st.lock, true);
    return st.sLanguageName;
}

CString GetCurrentLanguageCode()
{
    StringTableState& st = State();
    CSingleLock lock(&st.lock, true);
    return st.sLanguageCode;
}

CString GetSystemLanguageAbbrev()
{
    StringTableState& st = State();
    CSingleLock lock(&st.lock, true);
    return st.sSystemAbbrev;
}

// --- CLocalizedString --------------------------------------------------------------

namespace {

CString FetchText(int nId)
{
    StringTableState& st = State();
    int nCount;
    {
        CSingleLock lock(&st.lock, true);
        nCount = static_cast<int>(st.texts.size());
        if (nId >= 0 && nId < nCount)
            return st.texts[static_cast<size_t>(nId)];
    }
    TsAssertFail(kSource, __LINE__, nId, "CLocalizedString: id outside the string table");
}

}  // namespace

CString FillLocalizedArgs(const char* pszText, const char* const* ppszArgs, int nArgs)
{
    CString sTemplate(pszText);
    sTemplate.Replace("%%", "%");
    // One pass over the text: an argument is put in as it stands and never searched for
    // placeholders itself, so a path holding "%2" is shown as it is.
    CString sOut;
    const char* p = sTemplate;
    while (*p) {
        if (p[0] == '%' && p[1] >= '1' && p[1] <= '5') {
            int nIndex = p[1] - '1';
            if (nIndex < nArgs && ppszArgs[nIndex]) {
                sOut += ppszArgs[nIndex];
                p += 2;
                continue;
            }
        }
        sOut += *p++;
    }
    return sOut;
}

CLocalizedString::CLocalizedString(int nId) : CString(FetchText(nId))
{
    if (Find("%1") >= 0) {
        TsTrace("!CLS:%d\n", "!!! BAD CLocalizedString: %d\n", nId);
        SOFTASSERT(false);
    }
    Replace("%%", "%");
}

CLocalizedString::CLocalizedString(int nId, const char* pszArg1)
{
    const char* args[] = {pszArg1};
    CString::operator=(FillLocalizedArgs(FetchText(nId), args, 1));
}

CLocalizedString::CLocalizedString(int nId, const char* pszArg1, const char* pszArg2)
{
    const char* args[] = {pszArg1, pszArg2};
    CString::operator=(FillLocalizedArgs(FetchText(nId), args, 2));
}

CLocalizedString::CLocalizedString(int nId, const char* pszArg1, const char* pszArg2, const char* pszArg3,
                                   const char* pszArg4, const char* pszArg5)
{
    const char* args[] = {pszArg1, pszArg2, pszArg3, pszArg4, pszArg5};
    CString::operator=(FillLocalizedArgs(FetchText(nId), args, 5));
}
