#include "sfx/format/FilePack.h"

#include <algorithm>
#include <cstring>

#include "sfx/format/SfxBlock.h"

namespace {

char UpperAscii(char ch) { return (ch >= 'a' && ch <= 'z') ? static_cast<char>(ch - 'a' + 'A') : ch; }

bool EqualsNoCase(const char* p, size_t n, const char* pszWord)
{
    size_t nWord = std::strlen(pszWord);
    if (n != nWord)
        return false;
    for (size_t i = 0; i < n; ++i)
        if (UpperAscii(p[i]) != pszWord[i])
            return false;
    return true;
}

// Windows opens a device for these names whatever extension follows, and ignores blanks
// before the extension. The superscript digits are those of the ANSI code page 1252.
bool IsDeviceName(const char* p, size_t n)
{
    size_t nBase = 0;
    while (nBase < n && p[nBase] != '.')
        ++nBase;
    while (nBase > 0 && p[nBase - 1] == ' ')
        --nBase;
    static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "CLOCK$"};
    for (const char* pszDevice : kDevices)
        if (EqualsNoCase(p, nBase, pszDevice))
            return true;
    if (nBase == 4 && (EqualsNoCase(p, 3, "COM") || EqualsNoCase(p, 3, "LPT"))) {
        unsigned char d = static_cast<unsigned char>(p[3]);
        return (d >= '0' && d <= '9') || d == 0xB9 || d == 0xB2 || d == 0xB3;
    }
    return false;
}

bool IsSafeComponent(const char* p, size_t n)
{
    if (n == 0)
        return false;                       // "a\\b", "a\", and the empty name
    char chLast = p[n - 1];
    if (chLast == '.' || chLast == ' ')     // ".", "..", "name." and "name " all alias elsewhere
        return false;
    return !IsDeviceName(p, n);
}

}  // namespace

bool IsSafePackEntryName(const char* pszName, FilePackLeadByte pfnIsLeadByte)
{
    if (!pszName || !*pszName)
        return false;
    // A lead byte of a double-byte code page and the byte after it are one character: that
    // trail byte may look like a backslash or a bar and is neither.
    auto IsPair = [pfnIsLeadByte](const char* p) {
        return pfnIsLeadByte && pfnIsLeadByte(static_cast<unsigned char>(p[0])) && p[1] != '\0';
    };
    const char* pStart = pszName;
    for (const char* p = pszName;; ++p) {
        if (*p && IsPair(p)) {
            ++p;
            continue;
        }
        unsigned char ch = static_cast<unsigned char>(*p);
        if (ch != 0 && ch != '\\') {
            if (ch < 0x20 || std::strchr("<>:\"/|?*", ch))
                return false;
            continue;
        }
        if (!IsSafeComponent(pStart, static_cast<size_t>(p - pStart)))
            return false;
        if (!ch)
            return true;
        pStart = p + 1;
    }
}

CFilePackParser::CFilePackParser(IFilePackSink& sink, size_t nFolderLength)
    : m_sink(sink), m_nFolderLength(nFolderLength)
{
}

SfxStatus CFilePackParser::Fail(FilePackError error, const FilePackEntry* pEntry, SfxStatus status)
{
    m_failure = SfxFailed(status) ? status : kSfxFail;
    m_sink.OnPackError(error, pEntry);
    return m_failure;
}

SfxStatus CFilePackParser::BuildEntryTable()
{
    m_nFileCount = SfxLoad16(m_header.data() + 2);
    m_entries.reserve(m_nFileCount);
    uint32_t nOffset = 4;
    for (uint32_t i = 0; i < m_nFileCount; ++i) {
        FilePackEntry e;
        e.nIndex = i;
        if (nOffset + 5 > m_nHeaderSize)
            return Fail(FilePackError::EntryPastHeader, nullptr);
        e.dwSize = SfxLoad32(&m_header[nOffset]);
        e.nNameLength = m_header[nOffset + 4];
        if (nOffset + 5 + e.nNameLength > m_nHeaderSize)
            return Fail(FilePackError::EntryPastHeader, nullptr);
        const char* pName = reinterpret_cast<const char*>(&m_header[nOffset + 5]);
        // The name must end with its zero and hold no other: the header is then a list of
        // C strings the sink can use as they are.
        bool bTerminated = e.nNameLength > 0 && pName[e.nNameLength - 1] == 0 &&
                           std::memchr(pName, 0, e.nNameLength) == pName + e.nNameLength - 1;
        e.pszName = bTerminated ? pName : "";
        m_entries.push_back(e);
        if (!bTerminated || !IsSafePackEntryName(pName, m_pfnIsLeadByte))
            return Fail(FilePackError::UnsafeName, &m_entries.back());
        if (m_nFolderLength && m_nFolderLength + 1 + (e.nNameLength - 1u) > kSfxMaxPath)
            return Fail(FilePackError::PathTooLong, &m_entries.back());
        nOffset += 5 + e.nNameLength;
    }
    m_bHeaderComplete = true;
    return kSfxOk;
}

SfxStatus CFilePackParser::TakeHeader(const uint8_t*& p, size_t& n)
{
    // The first two bytes give the size to allocate.
    while (m_nHeaderReceived < 2 && n > 0) {
        m_sizeBytes[m_nHeaderReceived++] = *p++;
        --n;
    }
    if (m_nHeaderReceived < 2)
        return kSfxOk;
    if (m_header.empty()) {
        m_nHeaderSize = SfxLoad16(m_sizeBytes);
        if (m_nHeaderSize < 4)
            return Fail(FilePackError::HeaderTooSmall, nullptr);
        m_header.resize(m_nHeaderSize);
        m_header[0] = m_sizeBytes[0];
        m_header[1] = m_sizeBytes[1];
    }
    size_t nTake = std::min<size_t>(n, m_nHeaderSize - m_nHeaderReceived);
    std::memcpy(&m_header[m_nHeaderReceived], p, nTake);
    m_nHeaderReceived += static_cast<uint32_t>(nTake);
    p += nTake;
    n -= nTake;
    if (m_nHeaderReceived < m_nHeaderSize)
        return kSfxOk;
    return BuildEntryTable();
}

SfxStatus CFilePackParser::TakeFiles(const uint8_t*& p, size_t& n)
{
    while (n > 0 && m_nIndex < m_nFileCount) {
        const FilePackEntry& e = m_entries[m_nIndex];
        if (!m_bFileBegun) {
            SfxStatus s = m_sink.OnFileBegin(e);
            if (SfxFailed(s)) {
                m_failure = s;
                return s;
            }
            m_bFileBegun = true;
        }
        if (m_dwConsumed < e.dwSize) {
            size_t nTake = std::min<size_t>(n, e.dwSize - m_dwConsumed);
            m_crc.Update(p, nTake);
            SfxStatus s = m_sink.OnFileData(e, p, nTake);
            if (SfxFailed(s)) {
                m_failure = s;
                return s;
            }
            m_dwConsumed += static_cast<uint32_t>(nTake);
            p += nTake;
            n -= nTake;
            continue;
        }
        // Content complete: the four CRC bytes may arrive split over several chunks.
        while (m_nCrcReceived < 4 && n > 0) {
            m_crcBytes[m_nCrcReceived++] = *p++;
            --n;
        }
        if (m_nCrcReceived < 4)
            break;
        uint32_t dwStored = SfxLoad32(m_crcBytes);
        bool bMatch = m_crc.Digest() == dwStored;
        m_crc.Reset();
        if (!bMatch)
            return Fail(FilePackError::CrcMismatch, &e);
        SfxStatus s = m_sink.OnFileEnd(e, dwStored);
        if (SfxFailed(s)) {
            m_failure = s;
            return s;
        }
        m_nCrcReceived = 0;
        m_dwConsumed = 0;
        m_bFileBegun = false;
        ++m_nIndex;
    }
    return kSfxOk;
}

SfxStatus CFilePackParser::Write(const uint8_t* pData, size_t nSize)
{
    if (SfxFailed(m_failure))
        return m_failure;
    if (nSize && !pData)
        return kSfxInvalidArg;
    const uint8_t* p = pData;
    size_t n = nSize;
    if (!m_bHeaderComplete) {
        SfxStatus s = TakeHeader(p, n);
        if (SfxFailed(s) || !m_bHeaderComplete)
            return s;
    }
    SfxStatus s = TakeFiles(p, n);
    // Whatever follows the last file's CRC is taken and ignored.
    return s;
}

SfxStatus CFilePackParser::Finish()
{
    if (SfxFailed(m_failure))
        return m_failure;
    if (IsComplete())
        return kSfxOk;
    const FilePackEntry* pEntry = m_bHeaderComplete ? &m_entries[m_nIndex] : nullptr;
    return Fail(FilePackError::Truncated, pEntry);
}

bool EncodeFilePack(const std::vector<FilePackItem>& items, std::string& sOut, std::string& sError, bool bCheckNames)
{
    sOut.clear();
    if (items.size() > kFilePackMaxFiles) {
        sError = "too many files for one block (" + std::to_string(items.size()) + ", at most 65535)";
        return false;
    }
    size_t nHeader = 4;
    size_t nBody = 0;
    for (const FilePackItem& item : items) {
        if (bCheckNames && item.sName.size() > kFilePackMaxName) {
            sError = "file name longer than 254 characters: " + item.sName;
            return false;
        }
        if (bCheckNames && !IsSafePackEntryName(item.sName.c_str())) {
            sError = "file name not allowed in a package: " + item.sName;
            return false;
        }
        if (item.sName.size() + 1 > 0xFF) {
            sError = "file name longer than 254 characters: " + item.sName;
            return false;
        }
        if (item.sContent.size() > 0xFFFFFFFFu) {
            sError = "file of 4 GB or more: " + item.sName;
            return false;
        }
        nHeader += 5 + item.sName.size() + 1;
        nBody += item.sContent.size() + 4;
    }
    if (nHeader > kFilePackMaxHeader) {
        sError = "file list too long for one block (" + std::to_string(nHeader) +
                 " bytes of names and sizes, at most 65535)";
        return false;
    }
    sOut.reserve(nHeader + nBody);
    uint8_t b[4];
    SfxStore16(b, static_cast<uint16_t>(nHeader));
    SfxStore16(b + 2, static_cast<uint16_t>(items.size()));
    sOut.append(reinterpret_cast<const char*>(b), 4);
    for (const FilePackItem& item : items) {
        SfxStore32(b, static_cast<uint32_t>(item.sContent.size()));
        sOut.append(reinterpret_cast<const char*>(b), 4);
        sOut += static_cast<char>(item.sName.size() + 1);
        sOut.append(item.sName.c_str(), item.sName.size() + 1);
    }
    for (const FilePackItem& item : items) {
        sOut += item.sContent;
        SfxStore32(b, Crc32::Of(item.sContent.data(), item.sContent.size()));
        sOut.append(reinterpret_cast<const char*>(b), 4);
    }
    return true;
}
