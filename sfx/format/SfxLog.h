#pragma once
// Where the format code reports what it finds. The programs route it into the setup log;
// the package tool and the tests collect or print it.
#include <cstdint>

class ISfxLog {
public:
    // One stamped line: a fixed text, an optional detail and a code (0 when none).
    virtual void Write(const char* pszText, const char* pszDetail, uint32_t dwCode) = 0;
protected:
    ~ISfxLog() = default;
};

// Drops every line.
class CSfxNullLog : public ISfxLog {
public:
    void Write(const char*, const char*, uint32_t) override {}
};
