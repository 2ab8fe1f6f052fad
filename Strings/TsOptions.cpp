#include "Strings/TsOptions.h"

#include <windows.h>

#include <cerrno>
#include <cstring>

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

void CTsProfileSection::WriteString(const char* pszKey, const char* pszValue) const
{
    if (IsUsable(pszKey))
        ::WritePrivateProfileStringA(m_sSection, pszKey, pszValue, m_sFilePath);
}

void CTsProfileSection::WriteBool(const char* pszKey, bool bValue) const
{
    WriteString(pszKey, bValue ? "TRUE" : "FALSE");
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
bool IsMissingOrFolder(const char* pszPath)
{
    DWORD dwAttr = ::GetFileAttributesA(pszPath);
    return dwAttr == INVALID_FILE_ATTRIBUTES || (dwAttr & FILE_ATTRIBUTE_DIRECTORY);
}
}  // namespace

bool CTsOptions::Load(CString& sError)
{
    m_bModified = false;
    Clear();
    if (m_sPath.IsEmpty())
        return false;

    TsTextFile file;
    if (!file.Open(m_sPath, "rb", sError)) {
        if (IsMissingOrFolder(m_sPath)) {
            m_loadState = NoFile;
            return true;
        }
        m_loadState = NotLoaded;
        return false;
    }

    Section* pSection = nullptr;
    CString sLine;
    for (int nLine = 1; file.ReadLine(sLine); ++nLine) {
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
            file.Close();
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

CString SystemReason()
{
    CString s;
    GetLastErrorText(s);
    return s;
}

// Writes the whole text into a new file and makes sure it is on the disk: every write, the
// flush and the close are checked, since a full or pulled drive shows up at any of them.
bool WriteNewFile(const CString& sPath, const CString& sText, CString& sError)
{
    const TsOptionsFileCalls& calls = g_tsOptionsFileCalls;
    HANDLE h = ::CreateFileA(sPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        sError = "Cannot open file '" + sPath + "'\nReason: " + SystemReason();
        return false;
    }
    const char* p = sText.c_str();
    DWORD dwLeft = static_cast<DWORD>(sText.GetLength());
    bool bOk = true;
    while (bOk && dwLeft > 0) {
        DWORD dwWritten = 0;
        bOk = calls.pfnWriteFile(h, p, dwLeft, &dwWritten, nullptr) && dwWritten > 0;
        p += dwWritten;
        dwLeft -= dwWritten;
    }
    bOk = bOk && calls.pfnFlushFileBuffers(h);
    if (!bOk)
        sError = "File cannot be written: '" + sPath + "'\nReason: " + SystemReason();
    if (!calls.pfnCloseHandle(h) && bOk) {
        sError = "File cannot be written: '" + sPath + "'\nReason: " + SystemReason();
        bOk = false;
    }
    return bOk;
}

// Puts the new file in the old one's place in one step, so that the old file stays whole
// until the new one is complete.
bool ReplaceWith(const CString& sNew, const CString& sPath)
{
    const DWORD dwFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
    if (g_tsOptionsFileCalls.pfnMoveFileExA(sNew, sPath, dwFlags))
        return true;
    if (::GetLastError() != ERROR_CALL_NOT_IMPLEMENTED)
        return false;
    // Windows 9x cannot replace in one step.
    return (::DeleteFileA(sPath) || ::GetLastError() == ERROR_FILE_NOT_FOUND) && ::MoveFileA(sNew, sPath);
}

}  // namespace

const TsOptionsFileCalls kTsOptionsSystemFileCalls = {::WriteFile, ::FlushFileBuffers, ::CloseHandle, ::MoveFileExA};
TsOptionsFileCalls g_tsOptionsFileCalls = kTsOptionsSystemFileCalls;

bool CTsOptions::Save(CString& sError)
{
    if (m_sPath.IsEmpty()) {
        sError = "CTsOptions::Save: empty file name";
        return false;
    }
    const bool bFileExists = !IsMissingOrFolder(m_sPath);
    if (m_loadState == NotLoaded) {
        TsTrace("OSF: options was not loaded\n", "CTsOptions::Save: options file was not loaded\n");
        // It exists but could not be read (locked, unreadable): what it holds is unknown and
        // would be lost with everything but the values set since.
        if (bFileExists) {
            sError = "The options file '" + m_sPath + "' could not be read; it is not overwritten";
            TsTrace("OSNR: %s\n", "CTsOptions::Save: %s\n", sError.c_str());
            return false;
        }
    } else if (m_loadState == Corrupt) {
        TsTrace("OSF: options file is corrupt\n", "CTsOptions::Save: options file is corrupt\n");
        // What could not be read is kept beside it, for the user or the support to mend.
        if (bFileExists && !::CopyFileA(m_sPath, m_sPath + ".bak", FALSE)) {
            sError = "Cannot keep a copy of the corrupt options file '" + m_sPath + "'\nReason: " + SystemReason();
            TsTrace("OSBK: %s\n", "CTsOptions::Save: %s\n", sError.c_str());
            return false;
        }
    }

    CString sText;
    if (!BuildText(sText, sError))
        return false;

    const CString sNew = m_sPath + ".tmp";
    if (!WriteNewFile(sNew, sText, sError)) {
        ::DeleteFileA(sNew);
        return false;
    }
    bool bReplaced = ReplaceWith(sNew, m_sPath);
    // A read-only (or hidden or system) file is made normal and replaced once more.
    if (!bReplaced && !IsMissingOrFolder(m_sPath) && ::SetFileAttributesA(m_sPath, FILE_ATTRIBUTE_NORMAL))
        bReplaced = ReplaceWith(sNew, m_sPath);
    if (!bReplaced) {
        sError = "Cannot replace file '" + m_sPath + "'\nReason: " + SystemReason();
        ::DeleteFileA(sNew);
        return false;
    }
    m_bModified = false;
    // The file now holds exactly this set: a later save must neither refuse it nor keep it
    // as the copy of a corrupt file.
    m_loadState = Loaded;
    // Low-integrity processes of the product (the browser add-on) write this file too.
    HRESULT hr = TsSetFileSecurity(nullptr, m_sPath, true);
    if (hr != 0)
        TsTrace("OSL: %lx\n", "CTsOptions::Save: cannot label the file: %lx\n", static_cast<unsigned long>(hr));
    return true;
}
