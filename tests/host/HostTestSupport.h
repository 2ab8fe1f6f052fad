#pragma once
// Helpers for the native tests of the package format.
#include <cstdint>
#include <string>
#include <vector>

#include "sfx/format/FilePack.h"
#include "sfx/format/SfxLog.h"

struct LogLine {
    std::string sText;
    std::string sDetail;
    uint32_t dwCode;
};

class CRecordLog : public ISfxLog {
public:
    void Write(const char* pszText, const char* pszDetail, uint32_t dwCode) override
    {
        m_lines.push_back({pszText, pszDetail ? pszDetail : "", dwCode});
    }
    // Lines as "text|detail|code", one per entry.
    std::vector<std::string> Lines() const
    {
        std::vector<std::string> out;
        for (const LogLine& l : m_lines)
            out.push_back(l.sText + "|" + l.sDetail + "|" + std::to_string(l.dwCode));
        return out;
    }
    std::vector<LogLine> m_lines;
};

// Deterministic bytes that compress a little (text-like) or not at all.
std::string PseudoRandomBytes(size_t n, uint32_t dwSeed, bool bText = false);

// A package of the given blocks of files, built with default options; fails the test on error.
std::string MakePackage(const std::vector<std::pair<std::string, std::vector<FilePackItem>>>& blocks,
                        std::vector<uint32_t>* pOffsets = nullptr);

inline const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }
inline uint32_t Size32(const std::string& s) { return static_cast<uint32_t>(s.size()); }
