#include "sfx/UnpackRecord.h"

#include <algorithm>
#include <map>

#include "Strings/TsLog.h"
#include "Strings/TsSafeFs.h"
#include "sfx/format/FilePack.h"

const char kUnpackRecordName[] = "_ts_unpack.lst";

namespace {

// A record is a few lines per file; anything far bigger is not one of ours.
const DWORD kMaxRecordSize = 16 * 1024 * 1024;

std::string Upper(std::string s)
{
    if (!s.empty())
        ::CharUpperBuffA(&s[0], static_cast<DWORD>(s.size()));
    return s;
}

void SplitLast(const std::string& sRel, std::string& sParent, std::string& sName)
{
    // Split by characters: in a double-byte code page a trail byte may be 0x5C.
    size_t nSlash = std::string::npos;
    for (const char* p = sRel.c_str(); *p; p = ::CharNextA(p))
        if (*p == '\\')
            nSlash = static_cast<size_t>(p - sRel.c_str());
    sParent = nSlash == std::string::npos ? std::string() : sRel.substr(0, nSlash);
    sName = nSlash == std::string::npos ? sRel : sRel.substr(nSlash + 1);
}

size_t Depth(const std::string& s)
{
    size_t n = 0;
    for (const char* p = s.c_str(); *p; p = ::CharNextA(p))
        n += *p == '\\';
    return n;
}

}  // namespace

CUnpackRecord::CUnpackRecord(const char* pszFolder)
    : m_sPath(std::string(pszFolder ? pszFolder : "") + "\\" + kUnpackRecordName)
{
}

CUnpackRecord::~CUnpackRecord()
{
    if (m_h != INVALID_HANDLE_VALUE)
        ::CloseHandle(m_h);
}

bool CUnpackRecord::WriteText(const std::string& s, DWORD& dwError)
{
    DWORD dwWritten = 0;
    if (!::WriteFile(m_h, s.data(), static_cast<DWORD>(s.size()), &dwWritten, nullptr) || dwWritten != s.size()) {
        dwError = dwWritten != s.size() && ::GetLastError() == NO_ERROR ? ERROR_DISK_FULL : ::GetLastError();
        return false;
    }
    return true;
}

bool CUnpackRecord::Open(DWORD& dwError)
{
    // A link in the record's place would have us append to some other file.
    DWORD dwAttributes = ::GetFileAttributesA(m_sPath.c_str());
    if (dwAttributes != INVALID_FILE_ATTRIBUTES &&
        (dwAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))) {
        dwError = ERROR_CANT_RESOLVE_FILENAME;
        return false;
    }
    HANDLE h = ::CreateFileA(m_sPath.c_str(), GENERIC_READ | FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        dwError = ::GetLastError();
        return false;
    }
    m_h = h;
    // An earlier record stays: the files it lists are ours whether or not this run
    // writes them again.
    DWORD dwHigh = 0;
    DWORD dwSize = ::GetFileSize(h, &dwHigh);
    if (dwSize == INVALID_FILE_SIZE && ::GetLastError() != NO_ERROR) {
        dwError = ::GetLastError();
        return false;
    }
    if (dwHigh || dwSize > kMaxRecordSize) {
        dwError = ERROR_FILE_TOO_LARGE;
        return false;
    }
    std::string sText(dwSize, '\0');
    DWORD dwRead = 0;
    if (dwSize && (!::ReadFile(h, &sText[0], dwSize, &dwRead, nullptr) || dwRead != dwSize)) {
        dwError = ::GetLastError() != NO_ERROR ? ::GetLastError() : ERROR_HANDLE_EOF;
        return false;
    }
    std::vector<std::string> files, folders;
    ParseUnpackRecord(sText, files, folders);
    for (const std::string& s : files)
        m_known.insert(Upper(s));
    for (const std::string& s : folders)
        m_known.insert(Upper(s) + "\\");
    // A line cut off by a crash is closed with a colon, which no entry name may hold, so
    // that it never joins the next entry nor reads as one itself.
    if (!sText.empty() && sText.back() != '\n')
        return WriteText(":\r\n", dwError);
    return true;
}

bool CUnpackRecord::Add(const char* pszName, bool bFolder, DWORD& dwError)
{
    std::string sEntry = std::string(pszName ? pszName : "") + (bFolder ? "\\" : "");
    if (m_h == INVALID_HANDLE_VALUE && !Open(dwError)) {
        if (m_h != INVALID_HANDLE_VALUE)
            ::CloseHandle(m_h);
        m_h = INVALID_HANDLE_VALUE;
        return false;
    }
    if (!m_known.insert(Upper(sEntry)).second)
        return true;
    // One write per line: a process that dies leaves whole lines, the system keeps them.
    return WriteText(sEntry + "\r\n", dwError);
}

void ParseUnpackRecord(const std::string& sText, std::vector<std::string>& files, std::vector<std::string>& folders)
{
    files.clear();
    folders.clear();
    size_t nPos = 0;
    for (size_t nEnd; (nEnd = sText.find('\n', nPos)) != std::string::npos; nPos = nEnd + 1) {
        std::string sLine = sText.substr(nPos, nEnd - nPos);
        if (!sLine.empty() && sLine.back() == '\r')
            sLine.pop_back();
        bool bFolder = !sLine.empty() && sLine.back() == '\\';
        if (bFolder)
            sLine.pop_back();
        if (sLine.size() > kFilePackMaxName || sLine.find('\0') != std::string::npos ||
            !IsSafePackEntryName(sLine.c_str(), TsIsAnsiLeadByte))
            continue;
        (bFolder ? folders : files).push_back(sLine);
    }
}

namespace {

// The folders below the unpack folder, each opened once through the one above it and
// kept open while their entries go. A folder reached through a link is never opened.
class CFolderCache {
public:
    explicit CFolderCache(CSafeFolder& top) : m_top(top) {}

    enum class Reach { Open, Missing, Blocked, BehindLink };

    // The folder sRel ("" for the top); Missing when it or one above it is not there,
    // BehindLink when a link stands in the place of one of them (sLink names it),
    // Blocked when a file stands in the way or the system refuses.
    Reach Get(const std::string& sRel, CSafeFolder*& pFolder, DWORD& dwError, std::string& sLink)
    {
        pFolder = nullptr;
        if (sRel.empty()) {
            pFolder = &m_top;
            return Reach::Open;
        }
        auto it = m_open.find(Upper(sRel));
        if (it != m_open.end()) {
            pFolder = &it->second;
            return Reach::Open;
        }
        std::string sParent, sName;
        SplitLast(sRel, sParent, sName);
        CSafeFolder* pParent;
        Reach reach = Get(sParent, pParent, dwError, sLink);
        if (reach != Reach::Open)
            return reach;
        CSafeItem item;
        if (!pParent->Find(sName, item, dwError))
            return dwError == ERROR_FILE_NOT_FOUND ? Reach::Missing : Reach::Blocked;
        if (item.IsLink()) {
            sLink = sRel;
            dwError = kTsErrorNotTheListedEntry;
            return Reach::BehindLink;
        }
        if (!item.IsFolder()) {
            dwError = ERROR_DIRECTORY;
            return Reach::Blocked;
        }
        CSafeFolder child;
        if (!pParent->OpenChild(item, child, dwError))
            return Reach::Blocked;
        pFolder = &(m_open[Upper(sRel)] = std::move(child));
        return Reach::Open;
    }

    void Forget(const std::string& sRel) { m_open.erase(Upper(sRel)); }

private:
    CSafeFolder& m_top;
    std::map<std::string, CSafeFolder> m_open;
};

void LogFailure(const char* pszWhat, const CSafeFolder& top, const std::string& sRel, DWORD dwError)
{
    TsLogWrite(pszWhat, (top.Path() + "\\" + sRel).c_str(), dwError, TRUE);
}

// What the removal by the record met: entries it could not reach because a link stood in
// the place of a folder above them, and the links it removed as links.
struct RecordWalk {
    std::map<std::string, std::string> behindLink;   // entry -> the link in its way (upper case)
    std::set<std::string> linksRemoved;              // upper case
};

// Removes one listed file; true when it is gone (or was gone already, or its folder is
// missing), or when it lies behind a link (then noted in the walk).
bool RemoveRecordedFile(CFolderCache& cache, const CSafeFolder& top, const std::string& sRel, RecordWalk& walk)
{
    std::string sParent, sName;
    SplitLast(sRel, sParent, sName);
    CSafeFolder* pFolder;
    DWORD dwError = 0;
    std::string sLink;
    CFolderCache::Reach reach = cache.Get(sParent, pFolder, dwError, sLink);
    if (reach == CFolderCache::Reach::Missing)
        return true;
    if (reach == CFolderCache::Reach::BehindLink) {
        walk.behindLink[sRel] = Upper(sLink);
        return true;
    }
    if (reach == CFolderCache::Reach::Open) {
        CSafeItem item;
        if (!pFolder->Find(sName, item, dwError)) {
            if (dwError == ERROR_FILE_NOT_FOUND)
                return true;
        } else if (item.IsFolder()) {
            dwError = ERROR_DIRECTORY;   // a folder in a file's place is not what we wrote
        } else if (pFolder->Remove(item, dwError)) {
            return true;                 // a link in its place goes as the link
        }
    }
    LogFailure("Can't remove unpacked file ", top, sRel, dwError);
    return false;
}

bool RemoveRecordedFolder(CFolderCache& cache, const CSafeFolder& top, const std::string& sRel, RecordWalk& walk)
{
    std::string sParent, sName;
    SplitLast(sRel, sParent, sName);
    CSafeFolder* pParent;
    DWORD dwError = 0;
    std::string sLink;
    CFolderCache::Reach reach = cache.Get(sParent, pParent, dwError, sLink);
    if (reach == CFolderCache::Reach::Missing)
        return true;
    if (reach == CFolderCache::Reach::BehindLink) {
        walk.behindLink[sRel + "\\"] = Upper(sLink);
        return true;
    }
    CSafeItem item;
    if (reach == CFolderCache::Reach::Open) {
        if (!pParent->Find(sName, item, dwError)) {
            if (dwError == ERROR_FILE_NOT_FOUND)
                return true;
        } else if (item.IsFolder()) {
            CSafeFolder* pFolder;
            reach = cache.Get(sRel, pFolder, dwError, sLink);
            if (reach == CFolderCache::Reach::Open) {
                bool bGone = pFolder->RemoveSelf(dwError);
                cache.Forget(sRel);
                if (bGone)
                    return true;
            }
        } else if (pParent->Remove(item, dwError)) {
            // A link put in the place of our folder goes as the link; what the record lists
            // below it was never reached through it.
            if (item.IsLink())
                walk.linksRemoved.insert(Upper(sRel));
            return true;
        }
    }
    LogFailure("Can't remove unpacked folder ", top, sRel, dwError);
    return false;
}

bool RemoveRecorded(CSafeFolder& top, bool& bHadRecord)
{
    bHadRecord = false;
    CSafeItem record;
    DWORD dwError = 0;
    if (!top.Find(kUnpackRecordName, record, dwError)) {
        if (dwError == ERROR_FILE_NOT_FOUND) {
            // Without a record nothing is known to be ours: nothing is deleted.
            TsLogWrite("No unpack record, nothing removed in ", top.Path().c_str(), 0, TRUE);
            return true;
        }
        TsLogWrite("Can't list ", top.Path().c_str(), dwError, TRUE);
        bHadRecord = true;   // unknown: better nothing removed than the user's files
        return false;
    }
    bHadRecord = true;
    std::string sText;
    if (record.IsFolder() || record.IsLink() || !top.ReadFileEntry(record, kMaxRecordSize, sText, dwError)) {
        LogFailure("Can't read unpack record ", top, kUnpackRecordName,
                   record.IsFolder() ? ERROR_DIRECTORY : record.IsLink() ? kTsErrorNotTheListedEntry : dwError);
        return false;
    }
    std::vector<std::string> files, folders;
    ParseUnpackRecord(sText, files, folders);
    TsLogWrite("Remove unpacked files ", top.Path().c_str(), static_cast<DWORD>(files.size()), TRUE);
    bool bOk = true;
    RecordWalk walk;
    {
        CFolderCache cache(top);
        for (const std::string& s : files)
            if (!RemoveRecordedFile(cache, top, s, walk))
                bOk = false;
        // Innermost first, so that each folder is empty of ours when its turn comes.
        std::stable_sort(folders.begin(), folders.end(),
                         [](const std::string& a, const std::string& b) { return Depth(a) > Depth(b); });
        for (const std::string& s : folders)
            if (!RemoveRecordedFolder(cache, top, s, walk))
                bOk = false;
    }
    // An entry behind a link is done with when that link went as a link; behind any other
    // link (one in the place of a folder the unpack did not make) it is not.
    for (const auto& entry : walk.behindLink) {
        if (!walk.linksRemoved.count(entry.second)) {
            LogFailure("Can't reach unpacked file behind a link ", top, entry.first, kTsErrorNotTheListedEntry);
            bOk = false;
        }
    }
    // What could not go stays listed for the next attempt.
    if (bOk && !top.Remove(record, dwError)) {
        LogFailure("Can't remove unpack record ", top, kUnpackRecordName, dwError);
        bOk = false;
    }
    return bOk;
}

}  // namespace

bool RemoveRecordedFiles(CSafeFolder& folder, bool* pbHadRecord)
{
    bool bHadRecord = false;
    bool bOk = RemoveRecorded(folder, bHadRecord);
    if (pbHadRecord)
        *pbHadRecord = bHadRecord;
    return bOk;
}

bool RemoveRecordedFiles(const char* pszFolder, bool* pbHadRecord)
{
    if (pbHadRecord)
        *pbHadRecord = false;
    CSafeFolder top;
    DWORD dwError = 0;
    CSafeItem item;
    std::string sAt;
    if (!top.OpenPath(pszFolder, dwError, &item, nullptr, &sAt)) {
        if (dwError == ERROR_FILE_NOT_FOUND || dwError == ERROR_PATH_NOT_FOUND)
            return true;
        TsLogWrite(dwError == kTsErrorNotTheListedEntry ? "Unpack folder is reached through a link, nothing removed "
                                                        : "Can't open unpack folder ",
                   sAt.c_str(), dwError, TRUE);
        return false;
    }
    return RemoveRecordedFiles(top, pbHadRecord);
}
