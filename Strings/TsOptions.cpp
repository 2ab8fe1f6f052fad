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

bool CTsOptions::Save(CString& sError)
{
    if (m_sPath.IsEmpty()) {
        sError = "CTsOptions::Save: empty file name";
        return false;
    }
    if (m_loadState == NotLoaded)
        TsTrace("OSF: options was not loaded\n", "CTsOptions::Save: options file was not loaded\n");
    else if (m_loadState == Corrupt)
        TsTrace("OSF: options file is corrupt\n", "CTsOptions::Save: options file is corrupt\n");

    CString sText;
    if (!BuildText(sText, sError))
        return false;

    auto writeAll = [&]() {
        TsTextFile file;
        return file.Open(m_sPath, "wb", sError) &&
               file.Write(sText.c_str(), static_cast<size_t>(sText.GetLength()), sError);
    };
    if (!writeAll()) {
        // A read-only (or hidden or system) file is made normal and written once more.
        if (IsMissingOrFolder(m_sPath))
            return false;
        if (!::SetFileAttributesA(m_sPath, FILE_ATTRIBUTE_NORMAL)) {
            GetLastErrorText(sError);
            return false;
        }
        if (!writeAll())
            return false;
    }
    m_bModified = false;
    // Low-integrity processes of the product (the browser add-on) write this file too.
    HRESULT hr = TsSetFileSecurity(nullptr, m_sPath, true);
    if (hr != 0)
        TsTrace("OSL: %lx\n", "CTsOptions::Save: cannot label the file: %lx\n", static_cast<unsigned long>(hr));
    return true;
}
