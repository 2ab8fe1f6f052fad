#include "Strings/TsString.h"

#include <cstdlib>
#include <cstring>

#include "Strings/TsLog.h"
#include "framework/Exceptions.h"

namespace {

const char kSource[] = "Strings\\TsString";

// The one representation of every empty string; it is never counted nor freed.
struct EmptyRep {
    TsStringData hdr;
    WCHAR chNul;
};
EmptyRep g_emptyRep = {{-1, 0, 0}, 0};

WCHAR* EmptyChars()
{
    return g_emptyRep.hdr.Chars();
}

int SafeLength(const WCHAR* psz)
{
    return psz ? lstrlenW(psz) : 0;
}

}  // namespace

TsStringData* TsString::GetData() const
{
    return reinterpret_cast<TsStringData*>(m_pchData) - 1;
}

bool TsString::IsEmptyRep() const
{
    return m_pchData == EmptyChars();
}

TsString::TsString() : m_pchData(EmptyChars()) {}

TsString::TsString(const WCHAR* psz) : m_pchData(EmptyChars())
{
    AssignCopy(psz, SafeLength(psz));
}

TsString::TsString(const WCHAR* pch, int nLength) : m_pchData(EmptyChars())
{
    if (nLength < 0 || (!pch && nLength > 0))
        TsAssertFail(kSource, __LINE__, nLength, "TsString: no data");
    AssignCopy(pch, nLength);
}

TsString::TsString(const TsString& s) : m_pchData(EmptyChars())
{
    *this = s;
}

TsString::TsString(TsString&& s) noexcept : m_pchData(s.m_pchData)
{
    s.m_pchData = EmptyChars();
}

TsString::~TsString()
{
    Release();
}

void TsString::Release()
{
    if (!IsEmptyRep()) {
        TsStringData* pData = GetData();
        // A locked buffer has exactly one owner.
        if (pData->nRefs < 0 || ::InterlockedDecrement(&pData->nRefs) <= 0)
            std::free(pData);
    }
    m_pchData = EmptyChars();
}

void TsString::AllocBuffer(int nLength)
{
    if (nLength == 0) {
        m_pchData = EmptyChars();
        return;
    }
    if (nLength < 0 || static_cast<size_t>(nLength) > (0x7FFFFFF0u - sizeof(TsStringData)) / sizeof(WCHAR) - 1)
        AfxThrowMemoryException();
    auto* pData = static_cast<TsStringData*>(
        std::malloc(sizeof(TsStringData) + (static_cast<size_t>(nLength) + 1) * sizeof(WCHAR)));
    if (!pData)
        AfxThrowMemoryException();
    pData->nRefs = 1;
    pData->nDataLength = nLength;
    pData->nAllocLength = nLength;
    pData->Chars()[nLength] = 0;
    m_pchData = pData->Chars();
}

void TsString::AllocBeforeWrite(int nLength)
{
    TsStringData* pData = GetData();
    if (IsEmptyRep() || pData->nRefs > 1 || nLength > pData->nAllocLength) {
        const bool bLocked = !IsEmptyRep() && pData->nRefs < 0;
        Release();
        AllocBuffer(nLength);
        if (bLocked && !IsEmptyRep())
            GetData()->nRefs = -1;
    }
}

void TsString::AssignCopy(const WCHAR* pch, int nLength)
{
    if (nLength == 0) {
        if (GetData()->nRefs < 0 && !IsEmptyRep()) {
            // A locked buffer stays this string's own.
            GetData()->nDataLength = 0;
            m_pchData[0] = 0;
        } else {
            Release();
        }
        return;
    }
    // The source may lie inside our own buffer.
    if (pch >= m_pchData && pch < m_pchData + GetLength()) {
        TsString tmp(pch, nLength);
        *this = tmp;
        return;
    }
    AllocBeforeWrite(nLength);
    std::memcpy(m_pchData, pch, static_cast<size_t>(nLength) * sizeof(WCHAR));
    GetData()->nDataLength = nLength;
    m_pchData[nLength] = 0;
}

void TsString::CopyBeforeWrite()
{
    if (IsEmptyRep() || GetData()->nRefs <= 1)
        return;
    TsStringData* pOld = GetData();
    WCHAR* pchOld = m_pchData;
    AllocBuffer(pOld->nDataLength);
    std::memcpy(m_pchData, pchOld, static_cast<size_t>(pOld->nDataLength) * sizeof(WCHAR));
    if (::InterlockedDecrement(&pOld->nRefs) <= 0)
        std::free(pOld);   // the other sharers let go meanwhile
}

TsString& TsString::operator=(const TsString& s)
{
    if (m_pchData == s.m_pchData)
        return *this;
    TsStringData* pSrc = s.GetData();
    if (s.IsEmptyRep()) {
        AssignCopy(nullptr, 0);
    } else if (pSrc->nRefs < 0 || (GetData()->nRefs < 0 && !IsEmptyRep())) {
        // Either side locked: the characters are copied, never the buffer shared.
        AssignCopy(s.m_pchData, pSrc->nDataLength);
    } else {
        ::InterlockedIncrement(&pSrc->nRefs);
        Release();
        m_pchData = s.m_pchData;
    }
    return *this;
}

TsString& TsString::operator=(TsString&& s) noexcept
{
    if (this != &s) {
        if (GetData()->nRefs < 0 && !IsEmptyRep()) {
            *this = static_cast<const TsString&>(s);
        } else {
            Release();
            m_pchData = s.m_pchData;
            s.m_pchData = EmptyChars();
        }
    }
    return *this;
}

TsString& TsString::operator=(const WCHAR* psz)
{
    AssignCopy(psz, SafeLength(psz));
    return *this;
}

TsString TsString::FromAnsi(const char* psz)
{
    TsString s;
    if (!psz || !*psz)
        return s;
    int n = ::MultiByteToWideChar(CP_ACP, 0, psz, -1, nullptr, 0);
    if (n <= 1)
        return s;
    WCHAR* p = s.GetBuffer(n - 1);
    ::MultiByteToWideChar(CP_ACP, 0, psz, -1, p, n);
    s.ReleaseBuffer(n - 1);
    return s;
}

CString TsString::ToAnsi() const
{
    if (IsEmpty())
        return CString();
    int n = ::WideCharToMultiByte(CP_ACP, 0, m_pchData, GetLength(), nullptr, 0, nullptr, nullptr);
    if (n <= 0)
        return CString();
    CString s;
    char* p = s.GetBuffer(n);
    ::WideCharToMultiByte(CP_ACP, 0, m_pchData, GetLength(), p, n, nullptr, nullptr);
    s.ReleaseBuffer(n);
    return s;
}

void TsString::Empty()
{
    AssignCopy(nullptr, 0);
}

WCHAR TsString::GetAt(int nIndex) const
{
    if (nIndex < 0 || nIndex >= GetLength())
        TsAssertFail(kSource, __LINE__, nIndex, "TsString: index");
    return m_pchData[nIndex];
}

void TsString::SetAt(int nIndex, WCHAR ch)
{
    if (nIndex < 0 || nIndex >= GetLength())
        TsAssertFail(kSource, __LINE__, nIndex, "TsString: index");
    CopyBeforeWrite();
    m_pchData[nIndex] = ch;
}

void TsString::Append(const WCHAR* pch, int nLength)
{
    if (nLength < 0 || (!pch && nLength > 0))
        TsAssertFail(kSource, __LINE__, nLength, "TsString: no data");
    if (nLength == 0)
        return;
    const int nOld = GetLength();
    if (nLength > 0x3FFFFFF0 - nOld)
        AfxThrowMemoryException();
    const int nNew = nOld + nLength;
    TsStringData* pData = GetData();
    if (!IsEmptyRep() && pData->nRefs <= 1 && nNew <= pData->nAllocLength) {
        std::memmove(m_pchData + nOld, pch, static_cast<size_t>(nLength) * sizeof(WCHAR));
        pData->nDataLength = nNew;
        m_pchData[nNew] = 0;
        return;
    }
    // Grow geometrically; the source may lie in the old buffer, which lives until the end.
    const bool bLocked = !IsEmptyRep() && pData->nRefs < 0;
    WCHAR* pchOld = m_pchData;
    int nAlloc = nNew < 0x1FFFFFF0 ? nNew + nNew / 2 : nNew;
    AllocBuffer(nAlloc);
    std::memcpy(m_pchData, pchOld, static_cast<size_t>(nOld) * sizeof(WCHAR));
    std::memcpy(m_pchData + nOld, pch, static_cast<size_t>(nLength) * sizeof(WCHAR));
    GetData()->nDataLength = nNew;
    m_pchData[nNew] = 0;
    if (bLocked)
        GetData()->nRefs = -1;
    if (pchOld != EmptyChars()) {
        TsStringData* pOld = reinterpret_cast<TsStringData*>(pchOld) - 1;
        if (pOld->nRefs < 0 || ::InterlockedDecrement(&pOld->nRefs) <= 0)
            std::free(pOld);
    }
}

TsString& TsString::operator+=(const TsString& s)
{
    TsString keep(s);   // s may be this very string
    Append(keep.m_pchData, keep.GetLength());
    return *this;
}

TsString& TsString::operator+=(const WCHAR* psz)
{
    Append(psz, SafeLength(psz));
    return *this;
}

TsString& TsString::operator+=(WCHAR ch)
{
    Append(&ch, 1);
    return *this;
}

TsString operator+(const TsString& a, const TsString& b)
{
    TsString r(a);
    r += b;
    return r;
}

bool operator==(const TsString& a, const TsString& b)
{
    return a.GetLength() == b.GetLength() &&
           std::memcmp(a.m_pchData, b.m_pchData, static_cast<size_t>(a.GetLength()) * sizeof(WCHAR)) == 0;
}

WCHAR* TsString::GetBuffer(int nMinLength)
{
    if (nMinLength < 0)
        TsAssertFail(kSource, __LINE__, nMinLength, "TsString: buffer");
    TsStringData* pData = GetData();
    if (IsEmptyRep() || pData->nRefs > 1 || nMinLength > pData->nAllocLength) {
        const bool bLocked = !IsEmptyRep() && pData->nRefs < 0;
        const int nOld = GetLength();
        WCHAR* pchOld = m_pchData;
        const int nAlloc = nMinLength > nOld ? nMinLength : nOld;
        if (nAlloc == 0) {
            // Room for the terminator only still needs a buffer of our own to write into.
            AllocBuffer(1);
        } else {
            AllocBuffer(nAlloc);
        }
        std::memcpy(m_pchData, pchOld, static_cast<size_t>(nOld) * sizeof(WCHAR));
        GetData()->nDataLength = nOld;
        m_pchData[nOld] = 0;
        if (bLocked)
            GetData()->nRefs = -1;
        if (pchOld != EmptyChars()) {
            TsStringData* pOld = reinterpret_cast<TsStringData*>(pchOld) - 1;
            if (pOld->nRefs < 0 || ::InterlockedDecrement(&pOld->nRefs) <= 0)
                std::free(pOld);
        }
    }
    return m_pchData;
}

void TsString::ReleaseBuffer(int nNewLength)
{
    if (IsEmptyRep())
        return;
    TsStringData* pData = GetData();
    if (nNewLength < 0) {
        int n = 0;
        while (n < pData->nAllocLength && m_pchData[n])
            ++n;
        nNewLength = n;
    }
    if (nNewLength > pData->nAllocLength)
        TsAssertFail(kSource, __LINE__, nNewLength, "TsString: buffer");
    pData->nDataLength = nNewLength;
    m_pchData[nNewLength] = 0;
}

WCHAR* TsString::LockBuffer()
{
    WCHAR* p = GetBuffer(0);
    GetData()->nRefs = -1;
    return p;
}

void TsString::UnlockBuffer()
{
    if (!IsEmptyRep() && GetData()->nRefs < 0)
        GetData()->nRefs = 1;
}
