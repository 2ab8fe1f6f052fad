#pragma once
// The text rules of the bad-error report: encoding for the requests, the shortened form the
// question shows, and the modules known to crash other programs. Strings in, strings out,
// no windows.h: built and tested on the host too.
#include <cstddef>
#include <string>

// The longest request the report sends (what old browsers and proxies pass through).
const size_t kTsReportRequestLimit = 2020;

// Digits, ASCII letters and  : / ? - _ . $ ( ) @  stay as they are; without bEncodeBlanks also
// blank, line feed and backslash; every other byte becomes "%XX" (upper-case hex). With
// bLimitLength a longer result is cut to its first 2020 characters.
std::string UrlEncode(const std::string& sText, bool bEncodeBlanks, bool bLimitLength);

// The report as the question shows it: its first 15 lines followed by an empty line, each
// line cut to 80 characters (a cut line does not count among the 15).
std::string ShortenReportForDisplay(const std::string& sReport);

// The part of an encoded trace that goes beside a request of nRequestLength characters: all
// of it when both fit within 2019 characters, else its newest (last) characters, so many
// that request and trace make exactly 2020.
std::string NewestPartThatFits(const std::string& sEncodedTrace, size_t nRequestLength);

// A message shown instead of the question when the report names a known trouble-maker.
struct TsKnownTrouble {
    const char* pszText;
    const char* pszCaption;
};
extern const TsKnownTrouble kTsOutOfMemoryTrouble;
// The trouble named by the report's module list (module names compared in exact case),
// else null.
const TsKnownTrouble* FindKnownTrouble(const std::string& sReport);
