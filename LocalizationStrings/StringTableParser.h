#pragma once
// The language file format (".tsi"): the pure reading part, without any system call,
// shared by the built-in table, language files and their tests.
#include <cstddef>
#include <map>
#include <string>

// Ids of the string table run from 0 to kStringTableSize - 1.
constexpr int kStringTableSize = 1982;

using StringTableMap = std::map<int, std::string>;

// Reads the lines of pData[0..nSize) into map (a later line with the same id replaces an
// earlier one), stopping at the first bad line. Lines read before a bad line stay in map.
// Returns false on a format error (sError then holds the message, naming pszPath and the
// line) and on an id outside the table (sError stays empty). When pKeys is given, a
// comment line "#: Key" names the key of the entry that follows it.
bool ParseStringTableText(const char* pData, size_t nSize, const char* pszPath, StringTableMap& map,
                          std::string& sError, StringTableMap* pKeys = nullptr);

// Backslash-n becomes a line break and backslash-t a tab, scanning from the left; any other
// backslash stays as it is.
std::string ConvertStringTableEscapes(const std::string& sText);
