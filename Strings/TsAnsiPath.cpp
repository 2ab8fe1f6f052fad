#include "Strings/TsAnsiPath.h"

#include <vector>

namespace {

// The ANSI text of a wide text, or false when some character has no exact equal. The
// converter is told not to pick look-alikes and to say when it had to use its default
// character; code pages that refuse those requests (UTF-8 as the ANSI page) convert plainly.
// The way back must give the same text in every case.
bool ToAnsiExactly(const wchar_t* pwsz, CString& sOut)
{
    BOOL bUsedDefault = FALSE;
    int n = ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, pwsz, -1, nullptr, 0, nullptr, &bUsedDefault);
    const bool bFlags = n > 0;
    if (!bFlags)
        n = ::WideCharToMultiByte(CP_ACP, 0, pwsz, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0)
        return false;
    std::vector<char> ansi(static_cast<size_t>(n), '\0');
    bUsedDefault = FALSE;
    n = bFlags ? ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, pwsz, -1, ansi.data(), n, nullptr, &bUsedDefault)
               : ::WideCharToMultiByte(CP_ACP, 0, pwsz, -1, ansi.data(), n, nullptr, nullptr);
    if (n <= 0 || bUsedDefault)
        return false;

    int nBack = ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, ansi.data(), -1, nullptr, 0);
    if (nBack <= 0)
        return false;
    std::vector<wchar_t> back(static_cast<size_t>(nBack), L'\0');
    ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, ansi.data(), -1, back.data(), nBack);
    if (std::wstring(back.data()) != std::wstring(pwsz))
        return false;
    sOut = ansi.data();
    return true;
}

bool IsWideCallMissing()
{
    return ::GetLastError() == ERROR_CALL_NOT_IMPLEMENTED;
}

}  // namespace

bool TsExactAnsiPath(const wchar_t* pwszPath, CString& sPath)
{
    if (!pwszPath || !*pwszPath)
        return false;
    if (ToAnsiExactly(pwszPath, sPath))
        return true;
    DWORD n = ::GetShortPathNameW(pwszPath, nullptr, 0);
    if (n == 0)
        return false;
    std::vector<wchar_t> shortPath(n + 1, L'\0');
    DWORD n2 = ::GetShortPathNameW(pwszPath, shortPath.data(), n + 1);
    if (n2 == 0 || n2 > n)
        return false;
    return ToAnsiExactly(shortPath.data(), sPath);
}

bool TsGetTempPathExact(CString& sPath, std::wstring* pwsWide)
{
    wchar_t wsz[MAX_PATH + 1] = L"";
    DWORD n = ::GetTempPathW(MAX_PATH + 1, wsz);
    if (n == 0 && IsWideCallMissing()) {
        char sz[MAX_PATH + 1] = "";
        n = ::GetTempPathA(MAX_PATH + 1, sz);
        if (n == 0 || n > MAX_PATH)
            return false;
        sPath = sz;
        return true;
    }
    if (n == 0 || n > MAX_PATH)
        return false;
    if (pwsWide)
        *pwsWide = wsz;
    return TsExactAnsiPath(wsz, sPath);
}

CString TsUtf8Of(const wchar_t* pwsz)
{
    if (!pwsz)
        return CString();
    int n = ::WideCharToMultiByte(CP_UTF8, 0, pwsz, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0)
        return CString();
    std::vector<char> utf8(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, pwsz, -1, utf8.data(), n, nullptr, nullptr);
    return CString(utf8.data());
}
