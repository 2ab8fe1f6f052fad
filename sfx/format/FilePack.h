#pragma once
// The file pack: the decoded content of a compressed block. A header lists every file
// (size, name length, backslash path with its zero), then each file's bytes follow with
// their CRC-32. The parser takes the decoded stream in chunks of any size and hands the
// files to a sink; it is pure, so the programs, the package tool and the fuzzers share it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sfx/format/Crc32.h"
#include "sfx/format/SfxStatus.h"

constexpr uint32_t kFilePackMaxHeader = 0xFFFF;
constexpr uint32_t kFilePackMaxFiles = 0xFFFF;
constexpr uint32_t kFilePackMaxName = 254;   // characters, without the terminating zero
constexpr uint32_t kSfxMaxPath = 259;        // an output path, folder and name, in characters

struct FilePackEntry {
    uint32_t nIndex = 0;
    uint32_t dwSize = 0;
    uint8_t nNameLength = 0;      // name bytes in the header, the terminator included
    const char* pszName = "";     // inside the parser's header buffer; always terminated
};

enum class FilePackError {
    HeaderTooSmall,    // the header size field is below 4
    EntryPastHeader,   // an entry runs past the end of the header
    UnsafeName,        // a name could lead outside the output folder (see IsSafePackEntryName)
    PathTooLong,       // output folder, backslash and name exceed kSfxMaxPath
    CrcMismatch,       // a file's content does not match its stored CRC
    Truncated,         // the stream ended before the last file and its CRC
};

class IFilePackSink {
public:
    // A file begins (before its first byte, also for an empty file).
    virtual SfxStatus OnFileBegin(const FilePackEntry& entry) = 0;
    virtual SfxStatus OnFileData(const FilePackEntry& entry, const uint8_t* pData, size_t nSize) = 0;
    // The file's content and its stored CRC are complete and the CRC matches.
    virtual SfxStatus OnFileEnd(const FilePackEntry& entry, uint32_t dwStoredCrc) = 0;
    // The pack is refused; the parser fails from here on. pEntry names the entry when
    // there is one (a file in progress stays open until this call).
    virtual void OnPackError(FilePackError error, const FilePackEntry* pEntry) = 0;
protected:
    ~IFilePackSink() = default;
};

// True when pszName is a relative path that cannot leave the folder it is joined to and
// names an ordinary file on Windows: not empty; no leading backslash (absolute, UNC,
// "\\?\", "\\.\"); no drive letter, colon (streams) or other character Windows refuses
// in names; no empty, "." or ".." component; no component ending in a dot or a blank;
// no device name (CON, NUL, COM1, ... with or without an extension).
// pfnIsLeadByte (the ANSI code page's IsDBCSLeadByte on Windows; null: single-byte names)
// tells the first bytes of double-byte characters, whose second byte may be 0x5C or 0x7C.
using FilePackLeadByte = bool (*)(unsigned char ch);
bool IsSafePackEntryName(const char* pszName, FilePackLeadByte pfnIsLeadByte = nullptr);

class CFilePackParser {
public:
    // nFolderLength: length of the output folder the names are joined to with one
    // backslash; 0 skips the length test (listing without writing).
    CFilePackParser(IFilePackSink& sink, size_t nFolderLength);
    // Names are taken in a double-byte code page whose lead bytes this tells.
    void SetLeadBytes(FilePackLeadByte pfnIsLeadByte) { m_pfnIsLeadByte = pfnIsLeadByte; }

    // Takes the whole chunk, or fails (and keeps failing) once the pack is refused.
    SfxStatus Write(const uint8_t* pData, size_t nSize);
    // The stream has ended: fails with Truncated unless every file and CRC arrived.
    SfxStatus Finish();

    bool Failed() const { return SfxFailed(m_failure); }
    bool HeaderComplete() const { return m_bHeaderComplete; }
    bool IsComplete() const { return m_bHeaderComplete && m_nIndex >= m_nFileCount; }
    uint32_t FileCount() const { return m_nFileCount; }
    const std::vector<FilePackEntry>& Entries() const { return m_entries; }
    uint32_t CurrentIndex() const { return m_nIndex; }
    uint32_t HeaderSize() const { return m_nHeaderSize; }

private:
    SfxStatus Fail(FilePackError error, const FilePackEntry* pEntry, SfxStatus status = kSfxFail);
    SfxStatus BuildEntryTable();
    SfxStatus TakeHeader(const uint8_t*& p, size_t& n);
    SfxStatus TakeFiles(const uint8_t*& p, size_t& n);

    IFilePackSink& m_sink;
    size_t m_nFolderLength;
    FilePackLeadByte m_pfnIsLeadByte = nullptr;
    std::vector<uint8_t> m_header;
    uint32_t m_nHeaderSize = 0;     // from the first two bytes
    uint32_t m_nHeaderReceived = 0;
    uint8_t m_sizeBytes[4] = {};
    bool m_bHeaderComplete = false;
    uint32_t m_nFileCount = 0;
    std::vector<FilePackEntry> m_entries;

    uint32_t m_nIndex = 0;          // current entry
    bool m_bFileBegun = false;
    uint32_t m_dwConsumed = 0;      // content bytes of the current file so far
    Crc32 m_crc;
    uint8_t m_crcBytes[4] = {};
    uint32_t m_nCrcReceived = 0;    // pending CRC bytes received so far
    SfxStatus m_failure = kSfxOk;
};

// --- building packs (the package tool and the tests) --------------------------------
struct FilePackItem {
    std::string sName;      // backslash path relative to the pack's root
    std::string sContent;
};

// The decoded bytes of a pack holding the items in the given order. Fails with a message
// for a name that is unsafe or too long, more than 65535 files or a header above 65535
// bytes, or a file of 4 GB or more. bCheckNames false builds hostile packs for tests.
bool EncodeFilePack(const std::vector<FilePackItem>& items, std::string& sOut, std::string& sError,
                    bool bCheckNames = true);
