#pragma once
// The product's own wide-character (UTF-16) string, used for texts placed in the shared
// data block. A value type: copies share one reference-counted buffer, and any change
// first makes a private copy. A locked buffer (negative count) is never shared.
#include <windows.h>

#include "framework/CString.h"

// Precedes the characters in memory.
struct TsStringData {
    LONG nRefs;          // sharers; negative: locked, copies of it are deep
    int nDataLength;     // characters, without the terminating zero
    int nAllocLength;    // room for characters, without the terminating zero
    WCHAR* Chars() { return reinterpret_cast<WCHAR*>(this + 1); }
};
static_assert(sizeof(TsStringData) == 12, "the header is three 32-bit fields");

class TsString {
public:
    TsString();
    TsString(const WCHAR* psz);                 // null gives the empty string
    TsString(const WCHAR* pch, int nLength);    // null data with a length is a hard assertion
    TsString(const TsString& s);
    TsString(TsString&& s) noexcept;
    ~TsString();
    TsString& operator=(const TsString& s);
    TsString& operator=(TsString&& s) noexcept;
    TsString& operator=(const WCHAR* psz);

    // Converts from or to the ANSI code page.
    static TsString FromAnsi(const char* psz);
    CString ToAnsi() const;

    int GetLength() const { return GetData()->nDataLength; }
    bool IsEmpty() const { return GetLength() == 0; }
    void Empty();
    const WCHAR* GetString() const { return m_pchData; }
    operator const WCHAR*() const { return m_pchData; }

    // Indexes outside the string are a hard assertion.
    WCHAR GetAt(int nIndex) const;
    WCHAR operator[](int nIndex) const { return GetAt(nIndex); }
    void SetAt(int nIndex, WCHAR ch);

    TsString& operator+=(const TsString& s);
    TsString& operator+=(const WCHAR* psz);
    TsString& operator+=(WCHAR ch);
    void Append(const WCHAR* pch, int nLength);
    friend TsString operator+(const TsString& a, const TsString& b);

    friend bool operator==(const TsString& a, const TsString& b);
    friend bool operator!=(const TsString& a, const TsString& b) { return !(a == b); }

    // A private buffer with room for nMinLength characters and a terminator;
    // ReleaseBuffer(-1) takes the length from the terminator.
    WCHAR* GetBuffer(int nMinLength);
    void ReleaseBuffer(int nNewLength = -1);
    // Makes the buffer private and keeps it so: copies made while locked are deep.
    WCHAR* LockBuffer();
    void UnlockBuffer();

    // The sharing count of the buffer (negative while locked), for diagnostics.
    LONG GetRefCount() const { return GetData()->nRefs; }

private:
    TsStringData* GetData() const;
    bool IsEmptyRep() const;
    void Release();
    void AllocBuffer(int nLength);
    void AssignCopy(const WCHAR* pch, int nLength);
    void CopyBeforeWrite();
    void AllocBeforeWrite(int nLength);

    WCHAR* m_pchData;
};
