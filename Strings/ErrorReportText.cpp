#include "Strings/ErrorReportText.h"

#include <cstring>

namespace {

const char kOthersCaption[] = "Exception in Tessaly caused by Others";

const TsKnownTrouble kMouseWorks = {
    "You have Kensington Mouse Works software\nthat was reported to crash other processes.\n"
    "Such crash just occurred and KMW_DLL.DLL or SHW95DLL.DLL is in memory.\n"
    "Uninstall KMW -- you mouse will work without it.",
    kOthersCaption};

const TsKnownTrouble kGdiWxp = {
    "You have GDIWXP.DLL which is password stealing software\nthat was reported to crash other processes.\n"
    "Such crash just occurred and GDIWXP.DLL is in memory.\n"
    "Remove GDIWXP.DLL using spyware removal tool or manually.",
    kOthersCaption};

bool StaysAsIs(unsigned char ch, bool bEncodeBlanks)
{
    if ((ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z'))
        return true;
    if (ch != 0 && std::strchr(":/?-_.$()@", ch))
        return true;
    return !bEncodeBlanks && (ch == ' ' || ch == '\n' || ch == '\\');
}

}  // namespace

const TsKnownTrouble kTsOutOfMemoryTrouble = {
    "NOT ENOUGH system RESOURCES or MEMORY.\nTo reduce memory requirements, CLOSE unused windows.\n"
    "We strongly recomment to REBOOT now, because after\n"
    "resource/memory overflow many programs will become unstable.",
    "Out of Resources/Memory"};

std::string UrlEncode(const std::string& sText, bool bEncodeBlanks, bool bLimitLength)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string sOut;
    sOut.reserve(sText.size() * 3);
    for (char c : sText) {
        unsigned char ch = static_cast<unsigned char>(c);
        if (StaysAsIs(ch, bEncodeBlanks)) {
            sOut += c;
        } else {
            sOut += '%';
            sOut += kHex[ch >> 4];
            sOut += kHex[ch & 15];
        }
    }
    if (bLimitLength && sOut.size() > kTsReportRequestLimit)
        sOut.resize(kTsReportRequestLimit);
    return sOut;
}

std::string ShortenReportForDisplay(const std::string& sReport)
{
    const int kMaxLines = 15;
    const size_t kMaxLineLength = 80;
    std::string sOut;
    int nLines = 0;
    size_t nColumn = 0;
    size_t i = 0;
    while (i < sReport.size()) {
        char ch = sReport[i];
        if (ch == '\n') {
            sOut += ch;
            ++i;
            nColumn = 0;
            if (++nLines == kMaxLines) {
                sOut += '\n';
                break;
            }
            continue;
        }
        if (nColumn == kMaxLineLength) {
            size_t nEnd = sReport.find('\n', i);
            if (nEnd == std::string::npos)
                break;
            sOut += '\n';
            i = nEnd + 1;
            nColumn = 0;
            continue;
        }
        sOut += ch;
        ++nColumn;
        ++i;
    }
    return sOut;
}

std::string NewestPartThatFits(const std::string& sEncodedTrace, size_t nRequestLength)
{
    if (nRequestLength + sEncodedTrace.size() <= kTsReportRequestLimit - 1)
        return sEncodedTrace;
    if (nRequestLength >= kTsReportRequestLimit)
        return std::string();
    size_t nKeep = kTsReportRequestLimit - nRequestLength;
    return sEncodedTrace.substr(sEncodedTrace.size() - nKeep);
}

const TsKnownTrouble* FindKnownTrouble(const std::string& sReport)
{
    if (sReport.find("kmw_dll.dll") != std::string::npos || sReport.find("shw95dll.dll") != std::string::npos)
        return &kMouseWorks;
    if (sReport.find("gdiwxp.dll") != std::string::npos)
        return &kGdiWxp;
    return nullptr;
}
