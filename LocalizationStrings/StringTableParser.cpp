#include "LocalizationStrings/StringTableParser.h"

#include <cstdio>

namespace {

bool IsBlank(char ch)
{
    return ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n' || ch == '\v' || ch == '\f';
}

std::string TrimLeft(const std::string& s)
{
    size_t i = 0;
    while (i < s.size() && IsBlank(s[i]))
        ++i;
    return s.substr(i);
}

std::string TrimRight(const std::string& s)
{
    size_t n = s.size();
    while (n > 0 && IsBlank(s[n - 1]))
        --n;
    return s.substr(0, n);
}

// Leading decimal digits; anything else reads as 0. Values too large for the table are
// capped above it instead of overflowing.
int ReadId(const std::string& s)
{
    long nValue = 0;
    for (char ch : s) {
        if (ch < '0' || ch > '9')
            break;
        nValue = nValue * 10 + (ch - '0');
        if (nValue > kStringTableSize)
            return kStringTableSize;
    }
    return static_cast<int>(nValue);
}

std::string FormatError(const char* pszPath, int nLine, const std::string& sWhat)
{
    char szHead[64];
    std::snprintf(szHead, sizeof(szHead), ": %d\n", nLine);
    return std::string("Parse string table error: ") + (pszPath ? pszPath : "") + szHead + sWhat;
}

class CLineReader {
public:
    CLineReader(const char* pData, size_t nSize) : m_p(pData), m_nSize(pData ? nSize : 0) {}

    // The next line without its LF and trailing white space; false when nothing is left.
    bool Next(std::string& sLine)
    {
        if (m_nPos >= m_nSize)
            return false;
        size_t nEnd = m_nPos;
        while (nEnd < m_nSize && m_p[nEnd] != '\n')
            ++nEnd;
        sLine = TrimRight(std::string(m_p + m_nPos, nEnd - m_nPos));
        m_nPos = nEnd < m_nSize ? nEnd + 1 : nEnd;
        ++m_nLine;
        return true;
    }
    int Line() const { return m_nLine; }

private:
    const char* m_p;
    size_t m_nSize;
    size_t m_nPos = 0;
    int m_nLine = 0;
};

}  // namespace

std::string ConvertStringTableEscapes(const std::string& sText)
{
    std::string sOut;
    sOut.reserve(sText.size());
    for (size_t i = 0; i < sText.size(); ++i) {
        if (sText[i] == '\\' && i + 1 < sText.size() && (sText[i + 1] == 'n' || sText[i + 1] == 't')) {
            sOut += sText[i + 1] == 'n' ? '\n' : '\t';
            ++i;
        } else {
            sOut += sText[i];
        }
    }
    return sOut;
}

bool ParseStringTableText(const char* pData, size_t nSize, const char* pszPath, StringTableMap& map,
                          std::string& sError, StringTableMap* pKeys)
{
    sError.clear();
    CLineReader reader(pData, nSize);
    std::string sLine;
    std::string sKey;
    while (reader.Next(sLine)) {
        if (sLine.empty())
            continue;
        if (sLine[0] == '*' || sLine[0] == '#') {
            if (pKeys && sLine.compare(0, 2, "#:") == 0)
                sKey = TrimRight(TrimLeft(sLine.substr(2)));
            continue;
        }
        size_t nSpace = sLine.find(' ');
        if (nSpace == std::string::npos || nSpace == 0) {
            sError = FormatError(pszPath, reader.Line(), "There is no String Index in the beginning of the line");
            return false;
        }
        int nId = ReadId(TrimLeft(sLine.substr(0, nSpace)));
        std::string sText = TrimLeft(sLine.substr(nSpace + 1));
        if (sText.size() < 2 || sText.front() != '"' || sText.back() != '"') {
            sError = FormatError(pszPath, reader.Line(), "Bad string: '" + sText + "'");
            return false;
        }
        if (nId < 0 || nId >= kStringTableSize)
            return false;
        map[nId] = ConvertStringTableEscapes(sText.substr(1, sText.size() - 2));
        if (pKeys && !sKey.empty())
            (*pKeys)[nId] = sKey;
        sKey.clear();
    }
    return true;
}
