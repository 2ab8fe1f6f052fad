#include "sfx/ReportSetupError.h"

#include <cstdio>
#include <cstring>

#include "Strings/TsLog.h"

void FormatSetupError(char* pszOut, size_t nOutSize, const char* pszText, const char* pszDetail, DWORD dwCode)
{
    if (!pszOut || nOutSize == 0)
        return;
    int n = std::snprintf(pszOut, nOutSize, "%s\n%s", pszText ? pszText : "", pszDetail ? pszDetail : "");
    size_t nLen = n < 0 ? 0 : static_cast<size_t>(n) < nOutSize ? static_cast<size_t>(n) : nOutSize - 1;
    if (dwCode != 0 && nLen + 2 < nOutSize) {
        pszOut[nLen++] = '\n';
        pszOut[nLen] = 0;
        DWORD dwChars = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, dwCode,
                                         MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), pszOut + nLen,
                                         static_cast<DWORD>(nOutSize - nLen), nullptr);
        nLen += dwChars;
        pszOut[nLen] = 0;
    }
    if (nLen + 2 < nOutSize) {
        std::memcpy(pszOut + nLen, "\r\n", 3);
    }
}

void ReportSetupError(const char* pszText, const char* pszDetail, DWORD dwCode)
{
    char szMessage[4096];
    FormatSetupError(szMessage, sizeof(szMessage), pszText, pszDetail, dwCode);
    TsLogWrite(szMessage, "", dwCode, TRUE);
    ::MessageBoxA(nullptr, szMessage, pszDetail, MB_ICONEXCLAMATION | MB_SYSTEMMODAL);
}
