#include "framework/CString.h"

#include <windows.h>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {
bool IsTrimSpace(char ch)
{
    return ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n' || ch == '\v' || ch == '\f';
}
int ClampIndex(int n, int nLength)
{
    return n < 0 ? 0 : (n > nLength ? nLength : n);
}
}

int CString::Compare(const char* psz) const
{
    return std::strcmp(m_s.c_str(), psz ? psz : "");
}

int CString::CompareNoCase(const char* psz) const
{
    return lstrcmpiA(m_s.c_str(), psz ? psz : "");
}

int CString::Find(char ch, int nStart) const
{
    if (nStart < 0 || nStart > GetLength())
        return -1;
    size_t pos = m_s.find(ch, static_cast<size_t>(nStart));
    return pos == std::string::npos ? -1 : static_cast<int>(pos);
}

int CString::Find(const char* psz, int nStart) const
{
    if (!psz || nStart < 0 || nStart > GetLength())
        return -1;
    size_t pos = m_s.find(psz, static_cast<size_t>(nStart));
    return pos == std::string::npos ? -1 : static_cast<int>(pos);
}

int CString::ReverseFind(char ch) const
{
    size_t pos = m_s.rfind(ch);
    return pos == std::string::npos ? -1 : static_cast<int>(pos);
}

int CString::FindOneOf(const char* pszSet) const
{
    size_t pos = m_s.find_first_of(pszSet ? pszSet : "");
    return pos == std::string::npos ? -1 : static_cast<int>(pos);
}

CString CString::Mid(int nFirst) const
{
    return Mid(nFirst, GetLength());
}

CString CString::Mid(int nFirst, int nCount) const
{
    nFirst = ClampIndex(nFirst, GetLength());
    nCount = ClampIndex(nCount, GetLength() - nFirst);
    return CString(m_s.substr(static_cast<size_t>(nFirst), static_cast<size_t>(nCount)));
}

CString CString::Left(int nCount) const
{
    return Mid(0, nCount);
}

CString CString::Right(int nCount) const
{
    nCount = ClampIndex(nCount, GetLength());
    return Mid(GetLength() - nCount, nCount);
}

void CString::MakeLower()
{
    if (!m_s.empty())
        CharLowerBuffA(&m_s[0], static_cast<DWORD>(m_s.size()));
}

void CString::MakeUpper()
{
    if (!m_s.empty())
        CharUpperBuffA(&m_s[0], static_cast<DWORD>(m_s.size()));
}

CString& CString::Trim()
{
    return TrimRight().TrimLeft();
}

CString& CString::TrimLeft()
{
    size_t n = 0;
    while (n < m_s.size() && IsTrimSpace(m_s[n]))
        ++n;
    m_s.erase(0, n);
    return *this;
}

CString& CString::TrimRight()
{
    while (!m_s.empty() && IsTrimSpace(m_s.back()))
        m_s.pop_back();
    return *this;
}

CString& CString::Trim(char ch)
{
    return TrimRight(ch).TrimLeft(ch);
}

CString& CString::TrimLeft(char ch)
{
    size_t n = 0;
    while (n < m_s.size() && m_s[n] == ch)
        ++n;
    m_s.erase(0, n);
    return *this;
}

CString& CString::TrimRight(char ch)
{
    while (!m_s.empty() && m_s.back() == ch)
        m_s.pop_back();
    return *this;
}

int CString::Delete(int nIndex, int nCount)
{
    if (nIndex >= 0 && nIndex < GetLength() && nCount > 0)
        m_s.erase(static_cast<size_t>(nIndex), static_cast<size_t>(nCount));
    return GetLength();
}

int CString::Insert(int nIndex, const char* psz)
{
    m_s.insert(static_cast<size_t>(ClampIndex(nIndex, GetLength())), psz ? psz : "");
    return GetLength();
}

int CString::Replace(const char* pszOld, const char* pszNew)
{
    if (!pszOld || !*pszOld)
        return 0;
    const size_t nOld = std::strlen(pszOld);
    const std::string sNew = pszNew ? pszNew : "";
    int nCount = 0;
    for (size_t pos = m_s.find(pszOld); pos != std::string::npos; pos = m_s.find(pszOld, pos + sNew.size())) {
        m_s.replace(pos, nOld, sNew);
        ++nCount;
    }
    return nCount;
}

int CString::Replace(char chOld, char chNew)
{
    int nCount = 0;
    for (char& ch : m_s) {
        if (ch == chOld) {
            ch = chNew;
            ++nCount;
        }
    }
    return nCount;
}

void CString::FormatV(const char* pszFormat, va_list args)
{
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, pszFormat, copy);
    va_end(copy);
    if (n < 0) {
        m_s.clear();
        return;
    }
    std::vector<char> buf(static_cast<size_t>(n) + 1);
    std::vsnprintf(buf.data(), buf.size(), pszFormat, args);
    m_s.assign(buf.data(), static_cast<size_t>(n));
}

void CString::Format(const char* pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    FormatV(pszFormat, args);
    va_end(args);
}

void CString::AppendFormat(const char* pszFormat, ...)
{
    CString s;
    va_list args;
    va_start(args, pszFormat);
    s.FormatV(pszFormat, args);
    va_end(args);
    m_s += s.m_s;
}

char* CString::GetBuffer(int nMinLength)
{
    if (nMinLength > GetLength())
        m_s.resize(static_cast<size_t>(nMinLength));
    return &m_s[0];
}

void CString::ReleaseBuffer(int nNewLength)
{
    if (nNewLength < 0)
        nNewLength = static_cast<int>(std::strlen(m_s.c_str()));
    m_s.resize(static_cast<size_t>(ClampIndex(nNewLength, GetLength())));
}
