#pragma once
// The ANSI string of the framework layer: a value type (copies are independent),
// always null-terminated, with the operations the programs use.
#include <string>
#include <cstdarg>

class CString {
public:
    CString() = default;
    CString(const char* psz) : m_s(psz ? psz : "") {}
    CString(const char* p, int nLength) : m_s(p ? std::string(p, nLength > 0 ? nLength : 0) : std::string()) {}
    CString(char ch, int nRepeat = 1) : m_s(nRepeat > 0 ? nRepeat : 0, ch) {}
    CString(const std::string& s) : m_s(s) {}

    int GetLength() const { return static_cast<int>(m_s.size()); }
    bool IsEmpty() const { return m_s.empty(); }
    void Empty() { m_s.clear(); }
    operator const char*() const { return m_s.c_str(); }
    const char* c_str() const { return m_s.c_str(); }
    const std::string& str() const { return m_s; }
    char GetAt(int i) const { return m_s.at(static_cast<size_t>(i)); }
    char operator[](int i) const { return GetAt(i); }
    void SetAt(int i, char ch) { m_s.at(static_cast<size_t>(i)) = ch; }

    CString& operator=(const char* psz) { m_s = psz ? psz : ""; return *this; }
    CString& operator+=(const CString& s) { m_s += s.m_s; return *this; }
    CString& operator+=(const char* psz) { if (psz) m_s += psz; return *this; }
    CString& operator+=(char ch) { m_s += ch; return *this; }
    friend CString operator+(const CString& a, const CString& b) { return CString(a.m_s + b.m_s); }
    friend CString operator+(const CString& a, const char* b) { CString r(a); r += b; return r; }
    friend CString operator+(const char* a, const CString& b) { CString r(a); r += b; return r; }
    friend CString operator+(const CString& a, char b) { CString r(a); r += b; return r; }
    friend bool operator==(const CString& a, const CString& b) { return a.m_s == b.m_s; }
    friend bool operator==(const CString& a, const char* b) { return a.m_s == (b ? b : ""); }
    friend bool operator==(const char* a, const CString& b) { return b == a; }
    friend bool operator!=(const CString& a, const CString& b) { return !(a == b); }
    friend bool operator!=(const CString& a, const char* b) { return !(a == b); }
    friend bool operator<(const CString& a, const CString& b) { return a.m_s < b.m_s; }

    int Compare(const char* psz) const;        // byte-wise, <0, 0, >0
    int CompareNoCase(const char* psz) const;  // the system's case-insensitive comparison

    // Positions are character indexes; -1 means not found.
    int Find(char ch, int nStart = 0) const;
    int Find(const char* psz, int nStart = 0) const;
    int ReverseFind(char ch) const;
    int FindOneOf(const char* pszSet) const;

    CString Mid(int nFirst) const;
    CString Mid(int nFirst, int nCount) const;
    CString Left(int nCount) const;
    CString Right(int nCount) const;

    void MakeLower();   // code-page aware, as the system lowers text
    void MakeUpper();
    CString& Trim();    // white space: blank, tab, CR, LF, vertical tab, form feed
    CString& TrimLeft();
    CString& TrimRight();
    CString& Trim(char ch);
    CString& TrimLeft(char ch);
    CString& TrimRight(char ch);
    int Delete(int nIndex, int nCount = 1);   // returns the new length
    int Insert(int nIndex, const char* psz);  // returns the new length
    int Replace(const char* pszOld, const char* pszNew);  // returns the count replaced
    int Replace(char chOld, char chNew);

    void Format(const char* pszFormat, ...) __attribute__((format(printf, 2, 3)));
    void FormatV(const char* pszFormat, va_list args);
    void AppendFormat(const char* pszFormat, ...) __attribute__((format(printf, 2, 3)));

    // Direct buffer access for system calls: GetBuffer(n) gives room for n characters
    // and a terminator; ReleaseBuffer(-1) takes the length from the terminator.
    char* GetBuffer(int nMinLength);
    void ReleaseBuffer(int nNewLength = -1);

private:
    std::string m_s;
};
