#include "Strings/TsOptions.h"

#include <windows.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "Strings/TsLog.h"
#include "Strings/TsSecurity.h"

// --- TsTextFile ----------------------------------------------------------------

bool TsTextFile::Open(const char* pszPath, const char* pszMode, CString& sError)
{
    if (m_pFile) {
        sError = "Opening file on description that is already open";
        return false;
    }
    errno = 0;
    m_pFile = std::fopen(pszPath ? pszPath : "", pszMode);
    if (!m_pFile) {
        int nErr = errno;
        sError.Format("Cannot open file '%s'\nReason: %s (%d).", pszPath ? pszPath : "", std::strerror(nErr), nErr);
        return false;
    }
    return true;
}

bool TsTextFile::ReadLine(CString& sLine)
{
    sLine.Empty();
    if (!m_pFile)
        return false;
    std::string s;
    int ch;
    bool bEndedWithLf = false;
    while ((ch = std::fgetc(m_pFile)) != EOF) {
        if (ch == '\n') {
            bEndedWithLf = true;
            break;
        }
        s += static_cast<char>(ch);
    }
    while (!s.empty() && s.back() == '\r')
        s.pop_back();
    sLine = CString(s);
    return bEndedWithLf || !sLine.IsEmpty();
}

bool TsTextFile::Write(const void* pBytes, size_t nCount, CString& sError)
{
    if (!m_pFile) {
        sError = "file is not open";
        return false;
    }
    if (std::fwrite(pBytes, 1, nCount, m_pFile) < nCount) {
        sError = "File cannot be written";
        return false;
    }
    return true;
}

void TsTextFile::Close()
{
    if (m_pFile)
        std::fclose(m_pFile);
    m_pFile = nullptr;
}

// --- CTsProfileSection -------------------------------------------------------------

bool CTsProfileSection::IsUsable(const char* pszKey) const
{
    return !m_sFilePath.IsEmpty() && !m_sSection.IsEmpty() && pszKey && *pszKey;
}

void CTsProfileSection::GetString(const char* pszKey, CString& sValue, const char* pszDefault) const
{
    if (!IsUsable(pszKey)) {
        sValue = pszDefault;
        return;
    }
    char szBuf[1024];
    DWORD n = ::GetPrivateProfileStringA(m_sSection, pszKey, pszDefault ? pszDefault : "", szBuf, sizeof(szBuf),
                                         m_sFilePath);
    sValue = CString(szBuf, static_cast<int>(n));
}

bool CTsProfileSection::GetBool(const char* pszKey, bool bDefault) const
{
    CString s;
    GetString(pszKey, s, bDefault ? "TRUE" : "FALSE");
    if (s == "TRUE")
        return true;
    if (s == "FALSE")
        return false;
    return bDefault;
}

namespace {

CString ErrorTextOf(DWORD dwCode)
{
    CString s;
    GetErrorText(s, dwCode);
    return s;
}

std::string TrimBlanks(const std::string& s)
{
    size_t nFirst = s.find_first_not_of(" \t");
    if (nFirst == std::string::npos)
        return std::string();
    size_t nLast = s.find_last_not_of(" \t");
    return s.substr(nFirst, nLast - nFirst + 1);
}

// Sets one key in the text of a profile file the way the system's profile functions read
// it (sections and keys compared ignoring case, the first of each counts, ";" starts a
// comment line). Everything else stays byte for byte; a new key goes after the last line
// of its section, a new section at the end, with the file's own line ends.
void SetProfileValue(std::string& sText, const char* pszSection, const char* pszKey, const char* pszValue)
{
    const size_t nFirstLf = sText.find('\n');
    const std::string sEol = (nFirstLf != std::string::npos && (nFirstLf == 0 || sText[nFirstLf - 1] != '\r'))
                                 ? "\n" : "\r\n";
    bool bInSection = false;
    size_t nInsertAt = std::string::npos;
    for (size_t nPos = 0; nPos < sText.size();) {
        const size_t nLf = sText.find('\n', nPos);
        const size_t nNext = nLf == std::string::npos ? sText.size() : nLf + 1;
        size_t nEnd = nLf == std::string::npos ? sText.size() : nLf;
        while (nEnd > nPos && sText[nEnd - 1] == '\r')
            --nEnd;
        const std::string sLine = sText.substr(nPos, nEnd - nPos);
        const size_t nFirst = sLine.find_first_not_of(" \t");
        if (nFirst != std::string::npos && sLine[nFirst] == '[') {
            if (bInSection)
                break;
            const size_t nClose = sLine.find(']', nFirst);
            const std::string sName =
                TrimBlanks(sLine.substr(nFirst + 1, nClose == std::string::npos ? std::string::npos : nClose - nFirst - 1));
            bInSection = lstrcmpiA(sName.c_str(), pszSection) == 0;
            if (bInSection)
                nInsertAt = nNext;
        } else if (bInSection && nFirst != std::string::npos) {
            nInsertAt = nNext;
            if (sLine[nFirst] != ';') {
                const size_t nEq = sLine.find('=');
                if (lstrcmpiA(TrimBlanks(sLine.substr(0, nEq)).c_str(), pszKey) == 0) {
                    const size_t nValueAt = nEq == std::string::npos ? nEnd : nPos + nEq + 1;
                    sText.replace(nValueAt, nEnd - nValueAt, std::string(nEq == std::string::npos ? "=" : "") + pszValue);
                    return;
                }
            }
        }
        nPos = nNext;
    }
    std::string sAdd = std::string(pszKey) + "=" + pszValue + sEol;
    if (nInsertAt == std::string::npos) {
        sAdd = "[" + std::string(pszSection) + "]" + sEol + sAdd;
        nInsertAt = sText.size();
    }
    if (nInsertAt > 0 && sText[nInsertAt - 1] != '\n')
        sAdd = sEol + sAdd;
    sText.insert(nInsertAt, sAdd);
}

bool IsUnicodeText(const std::string& s)
{
    return s.size() >= 2 && ((s[0] == '\xFF' && s[1] == '\xFE') || (s[0] == '\xFE' && s[1] == '\xFF'));
}

}  // namespace

bool CTsProfileSection::WriteString(const char* pszKey, const char* pszValue, CString& sError) const
{
    if (!IsUsable(pszKey))
        return true;
    std::string sText;
    CString sStepError;
    DWORD dwError = 0;
    bool bOk = false;
    // What cannot be read is not written over: its other content would be lost.
    if (!TsReadWholeFile(m_sFilePath, sText, sStepError, dwError) && !TsIsNoSuchFileError(dwError)) {
        bOk = false;
    } else if (IsUnicodeText(sText)) {
        // A UTF-16 file is left to the system, which keeps its encoding.
        bOk = ::WritePrivateProfileStringA(m_sSection, pszKey, pszValue ? pszValue : "", m_sFilePath) != FALSE;
        if (!bOk)
            dwError = ::GetLastError();
    } else {
        SetProfileValue(sText, m_sSection, pszKey, pszValue ? pszValue : "");
        bOk = TsWriteFileSafely(m_sFilePath, CString(sText), false, sStepError, dwError);
    }
    if (!bOk) {
        sError = "Cannot write " + m_sFilePath + ": " + ErrorTextOf(dwError);
        TsLogNote(sError, "");
    }
    return bOk;
}

bool CTsProfileSection::WriteBool(const char* pszKey, bool bValue, CString& sError) const
{
    return WriteString(pszKey, bValue ? "TRUE" : "FALSE", sError);
}

// --- CTsOptions ----------------------------------------------------------------

template <class V> unsigned CTsOptions::CHashMap<V>::Hash(const CString& sKey)
{
    unsigned h = 0;
    for (int i = 0; i < sKey.GetLength(); ++i)
        h = h * 33 + static_cast<unsigned>(static_cast<int>(static_cast<signed char>(sKey[i])));
    return h % 17;
}

template <class V> V* CTsOptions::CHashMap<V>::Find(const CString& sKey) const
{
    auto& bucket = const_cast<std::vector<std::pair<CString, V>>&>(m_buckets[Hash(sKey)]);
    for (auto& kv : bucket)
        if (kv.first == sKey)
            return &kv.second;
    return nullptr;
}

template <class V> V& CTsOptions::CHashMap<V>::At(const CString& sKey)
{
    if (V* p = Find(sKey))
        return *p;
    auto& bucket = m_buckets[Hash(sKey)];
    bucket.insert(bucket.begin(), std::make_pair(sKey, V()));
    return bucket.front().second;
}

template <class V> bool CTsOptions::CHashMap<V>::IsEmpty() const
{
    for (const auto& b : m_buckets)
        if (!b.empty())
            return false;
    return true;
}

void CTsOptions::SetPath(const char* pszFolder, const char* pszFileName)
{
    if (!pszFolder) {
        m_sPath.Empty();
        return;
    }
    m_sPath = pszFolder;
    if (!m_sPath.IsEmpty() && m_sPath[m_sPath.GetLength() - 1] != '\\')
        m_sPath += '\\';
    m_sPath += pszFileName ? pszFileName : "options.tso";
}

void CTsOptions::Clear()
{
    m_sections.ForEach([](const CString&, Section* p) { delete p; });
    m_sections.Clear();
}

namespace {

bool IsFolder(const char* pszPath)
{
    DWORD dwAttr = ::GetFileAttributesA(pszPath);
    return dwAttr != INVALID_FILE_ATTRIBUTES && (dwAttr & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsFile(const char* pszPath)
{
    DWORD dwAttr = ::GetFileAttributesA(pszPath);
    return dwAttr != INVALID_FILE_ATTRIBUTES && !(dwAttr & FILE_ATTRIBUTE_DIRECTORY);
}

// True only when the system says that the file is not there; a drive that is not ready
// (or anything else that keeps the answer back) may hide a file.
bool IsProvablyMissing(const char* pszPath)
{
    return ::GetFileAttributesA(pszPath) == INVALID_FILE_ATTRIBUTES && TsIsNoSuchFileError(::GetLastError());
}

}  // namespace

bool CTsOptions::Load(CString& sError)
{
    m_bModified = false;
    Clear();
    if (m_sPath.IsEmpty())
        return false;
    m_bUnreadable = false;
    m_sReadFrom = m_sPath;

    const CString sNew = m_sPath + ".tmp";
    std::string sBytes;
    DWORD dwError = 0;
    bool bRead = TsReadWholeFile(m_sPath, sBytes, sError, dwError);
    if (!bRead && TsIsNoSuchFileError(dwError) && IsFile(sNew)) {
        // A save was cut off between the delete and the rename of its replace: the new copy
        // is the options file.
        if (TsRestoreReplacedFile(m_sPath)) {
            bRead = TsReadWholeFile(m_sPath, sBytes, sError, dwError);
        } else {
            bRead = TsReadWholeFile(sNew, sBytes, sError, dwError);
            if (bRead) {
                m_sReadFrom = sNew;
                TsLogNote("Options file missing; read from the copy of an interrupted save, to be put in place "
                          "by the next save: ", sNew);
            }
        }
    }
    if (!bRead) {
        if (TsIsNoSuchFileError(dwError) || IsFolder(m_sPath)) {
            m_loadState = NoFile;
            return true;
        }
        // A file that is there but could not be read to its end holds what nobody knows.
        m_loadState = NotLoaded;
        m_bUnreadable = true;
        TsLogNote("Options file not read, and not to be saved over: ", sError);
        return false;
    }
    if (m_sReadFrom == m_sPath && IsFile(sNew))
        TsLogNote("Options file read; the copy of an interrupted save stays until the next save: ", sNew);

    Section* pSection = nullptr;
    size_t nPos = 0;
    for (int nLine = 1; nPos < sBytes.size(); ++nLine) {
        // A line ends at LF; CRs before it are dropped; a last line without LF counts.
        size_t nLf = sBytes.find('\n', nPos);
        size_t nEnd = nLf == std::string::npos ? sBytes.size() : nLf;
        CString sLine(sBytes.substr(nPos, nEnd - nPos));
        nPos = nLf == std::string::npos ? sBytes.size() : nLf + 1;
        sLine.Trim();
        const char* pszError = nullptr;
        if (sLine.IsEmpty() || sLine[0] == '*')
            continue;
        if (sLine[0] == '[') {
            if (sLine.GetLength() < 3)
                pszError = "section name is too short";
            else if (sLine[sLine.GetLength() - 1] != ']')
                pszError = "section name without closing bracket";
            else {
                Section*& p = m_sections.At(sLine);
                if (!p)
                    p = new Section();
                pSection = p;
            }
        } else if (!pSection) {
            pszError = "value definition is before section definition";
        } else {
            int nEq = sLine.Find('=');
            if (nEq < 0) {
                pszError = "there is no '=' symbol";
            } else {
                CString sName = sLine.Left(nEq);
                sName.TrimRight();
                if (sName.IsEmpty()) {
                    pszError = "value name is empty";
                } else {
                    CString sValue = sLine.Mid(nEq + 1);
                    sValue.TrimLeft();
                    pSection->At(sName) = sValue;
                }
            }
        }
        if (pszError) {
            sError.Format("Wrong format (line %d): %s", nLine, pszError);
            m_loadState = Corrupt;
            Clear();
            return false;
        }
    }
    m_loadState = Loaded;
    return true;
}

bool CTsOptions::Get(CString& sValue, const char* pszSectionHeader, const char* pszName, CString& sError) const
{
    Section* const* ppSection = m_sections.Find(pszSectionHeader);
    if (!ppSection || !*ppSection) {
        sError.Format("section '%s' is not found", pszSectionHeader);
        return false;
    }
    const CString* pValue = (*ppSection)->Find(pszName);
    if (!pValue) {
        sError.Format("value '%s.%s' is not found", pszSectionHeader, pszName);
        return false;
    }
    sValue = *pValue;
    return true;
}

void CTsOptions::Set(const char* pszValue, const char* pszSectionHeader, const char* pszName)
{
    Section*& p = m_sections.At(pszSectionHeader);
    if (!p)
        p = new Section();
    p->At(pszName) = pszValue;
}

bool CTsOptions::BuildText(CString& sText, CString& sError) const
{
    std::string s;
    bool bOk = true;
    m_sections.ForEach([&](const CString& sHeader, Section* pSection) {
        if (!pSection) {
            bOk = false;
            return;
        }
        s += sHeader.str();
        s += "\r\n";
        pSection->ForEach([&](const CString& sName, const CString& sValue) {
            s += sName.str();
            s += '=';
            s += sValue.str();
            s += "\r\n";
        });
    });
    if (!bOk) {
        sError = "inner fault";
        return false;
    }
    sText = CString(s);
    return true;
}

namespace {

// Writes the whole text into a new file and makes sure it is on the disk: every write, the
// flush and the close are checked, since a full or pulled drive shows up at any of them.
bool WriteNewFile(const CString& sPath, const CString& sText, DWORD dwAttributes, CString& sError, DWORD& dwError)
{
    const TsOptionsFileCalls& calls = g_tsOptionsFileCalls;
    HANDLE h = calls.pfnCreateFileA(sPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, dwAttributes, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        dwError = ::GetLastError();
        sError = "Cannot open file '" + sPath + "'\nReason: " + ErrorTextOf(dwError);
        return false;
    }
    const char* p = sText.c_str();
    DWORD dwLeft = static_cast<DWORD>(sText.GetLength());
    bool bOk = true;
    while (bOk && dwLeft > 0) {
        DWORD dwWritten = 0;
        bOk = calls.pfnWriteFile(h, p, dwLeft, &dwWritten, nullptr) && dwWritten > 0;
        if (bOk) {
            p += dwWritten;
            dwLeft -= dwWritten;
        }
    }
    bOk = bOk && calls.pfnFlushFileBuffers(h);
    if (!bOk)
        dwError = ::GetLastError();
    if (!calls.pfnCloseHandle(h) && bOk) {
        dwError = ::GetLastError();
        bOk = false;
    }
    if (!bOk) {
        if (dwError == 0)
            dwError = ERROR_WRITE_FAULT;
        sError = "File cannot be written: '" + sPath + "'\nReason: " + ErrorTextOf(dwError);
    }
    return bOk;
}

// Puts the new file in the old one's place in one step, so that the old file stays whole
// until the new one is complete.
bool ReplaceWith(const CString& sNew, const CString& sPath, DWORD& dwError)
{
    const DWORD dwFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
    if (g_tsOptionsFileCalls.pfnMoveFileExA(sNew, sPath, dwFlags))
        return true;
    dwError = ::GetLastError();
    if (dwError != ERROR_CALL_NOT_IMPLEMENTED)
        return false;
    // Windows 9x cannot replace in one step.
    if ((::DeleteFileA(sPath) || ::GetLastError() == ERROR_FILE_NOT_FOUND) && ::MoveFileA(sNew, sPath))
        return true;
    dwError = ::GetLastError();
    return false;
}

// The largest settings file read: far beyond any real one, far below what would strain memory.
const DWORD kMaxSettingsFileSize = 16 * 1024 * 1024;

}  // namespace

const TsOptionsFileCalls kTsOptionsSystemFileCalls = {::CreateFileA, ::ReadFile, ::WriteFile, ::FlushFileBuffers, ::CloseHandle,
                                                      ::MoveFileExA};
TsOptionsFileCalls g_tsOptionsFileCalls = kTsOptionsSystemFileCalls;

bool TsIsNoSuchFileError(DWORD dwError)
{
    return dwError == ERROR_FILE_NOT_FOUND || dwError == ERROR_PATH_NOT_FOUND;
}

bool TsReadWholeFile(const char* pszPath, std::string& sBytes, CString& sError, DWORD& dwError)
{
    sBytes.clear();
    dwError = 0;
    const CString sPath(pszPath);
    HANDLE h = g_tsOptionsFileCalls.pfnCreateFileA(sPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        dwError = ::GetLastError();
        sError = "Cannot open file '" + sPath + "'\nReason: " + ErrorTextOf(dwError);
        return false;
    }
    DWORD dwHigh = 0;
    const DWORD dwSize = ::GetFileSize(h, &dwHigh);
    if (dwSize == INVALID_FILE_SIZE && ::GetLastError() != NO_ERROR)
        dwError = ::GetLastError();
    else if (dwHigh != 0 || dwSize > kMaxSettingsFileSize)
        dwError = ERROR_FILE_TOO_LARGE;
    if (dwError == 0) {
        sBytes.resize(dwSize);
        DWORD dwDone = 0;
        while (dwDone < dwSize) {
            DWORD dwRead = 0;
            if (!g_tsOptionsFileCalls.pfnReadFile(h, &sBytes[dwDone], dwSize - dwDone, &dwRead, nullptr)) {
                dwError = ::GetLastError();
                break;
            }
            if (dwRead == 0) {
                // The file ended before the size it had when it was opened.
                dwError = ERROR_HANDLE_EOF;
                break;
            }
            dwDone += dwRead;
        }
    }
    ::CloseHandle(h);
    if (dwError != 0) {
        sBytes.clear();
        sError = "Cannot read file '" + sPath + "'\nReason: " + ErrorTextOf(dwError);
        return false;
    }
    return true;
}

bool TsWriteFileSafely(const char* pszPath, const CString& sText, bool bMakeWritable, CString& sError,
                       DWORD& dwError)
{
    const CString sPath(pszPath);
    const CString sNew = sPath + ".tmp";
    dwError = 0;
    const DWORD dwOld = ::GetFileAttributesA(sPath);
    const bool bExists = dwOld != INVALID_FILE_ATTRIBUTES && !(dwOld & FILE_ATTRIBUTE_DIRECTORY);
    if (bExists && (dwOld & FILE_ATTRIBUTE_READONLY) && !bMakeWritable) {
        dwError = ERROR_ACCESS_DENIED;
        sError = "Cannot replace file '" + sPath + "'\nReason: " + ErrorTextOf(dwError);
        return false;
    }
    DWORD dwAttributes = bExists ? dwOld & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM) : 0;
    if (dwAttributes == 0)
        dwAttributes = FILE_ATTRIBUTE_NORMAL;
    if (!WriteNewFile(sNew, sText, dwAttributes, sError, dwError)) {
        ::DeleteFileA(sNew);
        return false;
    }
    bool bReplaced = ReplaceWith(sNew, sPath, dwError);
    // A read-only (or hidden or system) file is made normal and replaced once more.
    if (!bReplaced && bMakeWritable && IsFile(sPath) && ::SetFileAttributesA(sPath, FILE_ATTRIBUTE_NORMAL))
        bReplaced = ReplaceWith(sNew, sPath, dwError);
    if (!bReplaced) {
        sError = "Cannot replace file '" + sPath + "'\nReason: " + ErrorTextOf(dwError);
        ::DeleteFileA(sNew);
        return false;
    }
    return true;
}

bool TsRestoreReplacedFile(const char* pszPath)
{
    const CString sPath(pszPath);
    const CString sNew = sPath + ".tmp";
    if (!IsProvablyMissing(sPath) || !IsFile(sNew))
        return false;
    std::string sBytes;
    CString sError;
    DWORD dwError = 0;
    if (!TsReadWholeFile(sNew, sBytes, sError, dwError)) {
        TsLogNote("File missing, and the copy of an interrupted replace cannot be read: ", sError);
        ::SetLastError(dwError);
        return false;
    }
    if (!g_tsOptionsFileCalls.pfnMoveFileExA(sNew, sPath, MOVEFILE_WRITE_THROUGH)) {
        dwError = ::GetLastError();
        TsLogNote("File missing, and the copy of an interrupted replace cannot be put in place: ",
                  sNew + "\nReason: " + ErrorTextOf(dwError));
        ::SetLastError(dwError);
        return false;
    }
    TsLogNote("File missing; the copy of an interrupted replace was put in its place: ", sPath);
    return true;
}

bool CTsOptions::Save(CString& sError)
{
    if (m_sPath.IsEmpty()) {
        sError = "CTsOptions::Save: empty file name";
        return false;
    }
    if (m_loadState == NotLoaded) {
        TsTrace("OSF: options was not loaded\n", "CTsOptions::Save: options file was not loaded\n");
        // A file that could not be read, or that was never read and may be there (the file
        // or the copy of an interrupted save, on a drive that answers or not): what it holds
        // is unknown and would be lost with everything but the values set since.
        if (m_bUnreadable || !IsProvablyMissing(m_sPath) || !IsProvablyMissing(m_sPath + ".tmp")) {
            sError = "The options file '" + m_sPath + "' could not be read; it is not overwritten";
            TsTrace("OSNR: %s\n", "CTsOptions::Save: %s\n", sError.c_str());
            return false;
        }
    } else if (m_loadState == Corrupt) {
        TsTrace("OSF: options file is corrupt\n", "CTsOptions::Save: options file is corrupt\n");
        // What could not be read is kept beside it, for the user or the support to mend.
        if (IsFile(m_sReadFrom) && !::CopyFileA(m_sReadFrom, m_sPath + ".bak", FALSE)) {
            sError = "Cannot keep a copy of the corrupt options file '" + m_sReadFrom + "'\nReason: " +
                     ErrorTextOf(::GetLastError());
            TsTrace("OSBK: %s\n", "CTsOptions::Save: %s\n", sError.c_str());
            return false;
        }
    } else if (m_sReadFrom != m_sPath) {
        // The set came from the copy of an interrupted save: it is the only one, and is put
        // in place before anything is written beside it.
        if (!TsRestoreReplacedFile(m_sPath)) {
            sError = "Cannot replace file '" + m_sPath + "'\nReason: " + ErrorTextOf(::GetLastError());
            return false;
        }
        m_sReadFrom = m_sPath;
    }

    CString sText;
    if (!BuildText(sText, sError))
        return false;
    DWORD dwError = 0;
    if (!TsWriteFileSafely(m_sPath, sText, true, sError, dwError))
        return false;
    m_bModified = false;
    // The file now holds exactly this set: a later save must neither refuse it nor keep it
    // as the copy of a corrupt file.
    m_loadState = Loaded;
    m_bUnreadable = false;
    m_sReadFrom = m_sPath;
    // Low-integrity processes of the product (the browser add-on) write this file too.
    HRESULT hr = TsSetFileSecurity(nullptr, m_sPath, true);
    if (hr != 0)
        TsTrace("OSL: %lx\n", "CTsOptions::Save: cannot label the file: %lx\n", static_cast<unsigned long>(hr));
    return true;
}
