#include "sfx/UnpackRecord.h"

#include <algorithm>
#include <map>

#include "Strings/TsLog.h"
#include "sfx/SafeRemove.h"
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

size_t Depth(const std::string& s)
{
    return static_cast<size_t>(std::count(s.begin(), s.end(), '\\'));
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
            !IsSafePackEntryName(sLine.c_str()))
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

    enum class Reach { Open, Missing, Blocked };

    // The folder sRel ("" for the top); Missing when it or one above it is not there,
    // Blocked when a link or a file stands in the way or the system refuses.
    Reach Get(const std::string& sRel, CSafeFolder*& pFolder, DWORD& dwError)
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
        size_t nSlash = sRel.find_last_of('\\');
        std::string sParent = nSlash == std::string::npos ? std::string() : sRel.substr(0, nSlash);
        std::string sName = nSlash == std::string::npos ? sRel : sRel.substr(nSlash + 1);
        CSafeFolder* pParent;
        Reach reach = Get(sParent, pParent, dwError);
        if (reach != Reach::Open)
            return reach;
        CSafeItem item;
        if (!pParent->Find(sName, item, dwError))
            return dwError == ERROR_FILE_NOT_FOUND ? Reach::Missing : Reach::Blocked;
        if (!item.IsFolder()) {
            dwError = ERROR_CANT_RESOLVE_FILENAME;
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

void SplitLast(const std::string& sRel, std::string& sParent, std::string& sName)
{
    size_t nSlash = sRel.find_last_of('\\');
    sParent = nSlash == std::string::npos ? std::string() : sRel.substr(0, nSlash);
    sName = nSlash == std::string::npos ? sRel : sRel.substr(nSlash + 1);
}

void LogFailure(const char* pszWhat, const CSafeFolder& top, const std::string& sRel, DWORD dwError)
{
    TsLogWrite(pszWhat, (top.Path() + "\\" + sRel).c_str(), dwError, TRUE);
}

// Removes one listed file; true when it is gone (or was gone already).
bool RemoveRecordedFile(CFolderCache& cache, const CSafeFolder& top, const std::string& sRel)
{
    std::string sParent, sName;
    SplitLast(sRel, sParent, sName);
    CSafeFolder* pFolder;
    DWORD dwError = 0;
    CFolderCache::Reach reach = cache.Get(sParent, pFolder, dwError);
    if (reach == CFolderCache::Reach::Missing)
        return true;
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

bool RemoveRecordedFolder(CFolderCache& cache, const CSafeFolder& top, const std::string& sRel)
{
    std::string sParent, sName;
    SplitLast(sRel, sParent, sName);
    CSafeFolder* pParent;
    DWORD dwError = 0;
    CFolderCache::Reach reach = cache.Get(sParent, pParent, dwError);
    if (reach == CFolderCache::Reach::Missing)
        return true;
    CSafeItem item;
    if (reach == CFolderCache::Reach::Open) {
        if (!pParent->Find(sName, item, dwError)) {
            if (dwError == ERROR_FILE_NOT_FOUND)
                return true;
        } else if (item.IsFolder()) {
            CSafeFolder* pFolder;
            reach = cache.Get(sRel, pFolder, dwError);
            if (reach == CFolderCache::Reach::Open) {
                bool bGone = pFolder->RemoveSelf(dwError);
                cache.Forget(sRel);
                if (bGone)
                    return true;
            }
        } else if (pParent->Remove(item, dwError)) {
            return true;   // a link put in the place of our folder
        }
    }
    LogFailure("Can't remove unpacked folder ", top, sRel, dwError);
    return false;
}

// The files directly in a folder, links among them as links; subfolders are not entered.
bool DeleteFilesIn(const CSafeFolder& folder)
{
    std::vector<CSafeItem> items;
    DWORD dwError = 0;
    if (!folder.List(items, dwError)) {
        TsLogWrite("Can't list ", folder.Path().c_str(), dwError, TRUE);
        return false;
    }
    bool bOk = true;
    for (const CSafeItem& item : items) {
        if (item.IsFolder())
            continue;
        if (!folder.Remove(item, dwError)) {
            TsLogWrite("Can't remove unpacked file ", (folder.Path() + "\\" + item.sName).c_str(), dwError, TRUE);
            bOk = false;
        }
    }
    return bOk;
}

// Opens the subfolder pszName of parent into sub; a link or file in its place is removed
// (a link as the link). True when that worked or nothing is there.
bool OpenOldSubfolder(CSafeFolder& parent, const char* pszName, CSafeFolder& sub)
{
    CSafeItem item;
    DWORD dwError = 0;
    if (!parent.Find(pszName, item, dwError))
        return dwError == ERROR_FILE_NOT_FOUND;
    std::string sPath = parent.Path() + "\\" + pszName;
    if (item.IsFolder() ? parent.OpenChild(item, sub, dwError) : parent.Remove(item, dwError))
        return true;
    TsLogWrite(item.IsFolder() ? "Can't remove unpacked folder " : "Can't remove unpacked file ", sPath.c_str(),
               dwError, TRUE);
    return false;
}

bool EmptyAndRemove(CSafeFolder& folder)
{
    if (!folder.IsOpen())
        return true;
    std::string sPath = folder.Path();
    if (!DeleteFilesIn(folder))
        return false;
    DWORD dwError = 0;
    if (folder.RemoveSelf(dwError))
        return true;
    TsLogWrite("Can't remove unpacked folder ", sPath.c_str(), dwError, TRUE);
    return false;
}

// What starters before the record left: the browser add-on folders and the files.
bool RemoveWithoutRecord(CSafeFolder& top)
{
    TsLogWrite("No unpack record in ", top.Path().c_str(), 0, TRUE);
    CSafeFolder firefox;
    bool bOk = OpenOldSubfolder(top, "Firefox", firefox);
    if (firefox.IsOpen()) {
        for (const char* pszName : {"components", "chrome"}) {
            CSafeFolder sub;
            if (!OpenOldSubfolder(firefox, pszName, sub) || !EmptyAndRemove(sub))
                bOk = false;
        }
        if (!EmptyAndRemove(firefox))
            bOk = false;
    }
    if (!DeleteFilesIn(top))
        bOk = false;
    return bOk;
}

bool OpenTop(const char* pszFolder, CSafeFolder& top, bool& bMissing)
{
    bMissing = false;
    DWORD dwError = 0;
    CSafeItem item;
    if (top.OpenPath(pszFolder, dwError, &item))
        return true;
    bMissing = dwError == ERROR_FILE_NOT_FOUND || dwError == ERROR_PATH_NOT_FOUND;
    if (!bMissing)
        TsLogWrite(item.IsLink() ? "Unpack folder is a link, nothing removed " : "Can't open unpack folder ",
                   pszFolder, dwError, TRUE);
    return false;
}

bool RemoveRecorded(CSafeFolder& top, bool& bHadRecord)
{
    bHadRecord = false;
    CSafeItem record;
    DWORD dwError = 0;
    if (!top.Find(kUnpackRecordName, record, dwError)) {
        if (dwError == ERROR_FILE_NOT_FOUND)
            return true;
        TsLogWrite("Can't list ", top.Path().c_str(), dwError, TRUE);
        bHadRecord = true;   // unknown: better nothing removed than the user's files
        return false;
    }
    bHadRecord = true;
    std::string sText;
    if (record.IsFolder() || !top.ReadFileEntry(record, kMaxRecordSize, sText, dwError)) {
        LogFailure("Can't read unpack record ", top, kUnpackRecordName, record.IsFolder() ? ERROR_DIRECTORY : dwError);
        return false;
    }
    std::vector<std::string> files, folders;
    ParseUnpackRecord(sText, files, folders);
    TsLogWrite("Remove unpacked files ", top.Path().c_str(), static_cast<DWORD>(files.size()), TRUE);
    bool bOk = true;
    {
        CFolderCache cache(top);
        for (const std::string& s : files)
            if (!RemoveRecordedFile(cache, top, s))
                bOk = false;
        // Innermost first, so that each folder is empty of ours when its turn comes.
        std::stable_sort(folders.begin(), folders.end(),
                         [](const std::string& a, const std::string& b) { return Depth(a) > Depth(b); });
        for (const std::string& s : folders)
            if (!RemoveRecordedFolder(cache, top, s))
                bOk = false;
    }
    // What could not go stays listed for the next attempt.
    if (bOk && !top.Remove(record, dwError)) {
        LogFailure("Can't remove unpack record ", top, kUnpackRecordName, dwError);
        bOk = false;
    }
    return bOk;
}

}  // namespace

bool RemoveRecordedFiles(const char* pszFolder, bool* pbHadRecord)
{
    if (pbHadRecord)
        *pbHadRecord = false;
    CSafeFolder top;
    bool bMissing;
    if (!OpenTop(pszFolder, top, bMissing))
        return bMissing;
    bool bHadRecord;
    bool bOk = RemoveRecorded(top, bHadRecord);
    if (pbHadRecord)
        *pbHadRecord = bHadRecord;
    return bOk;
}

bool RemoveUnpackedFiles(const char* pszFolder)
{
    CSafeFolder top;
    bool bMissing;
    if (!OpenTop(pszFolder, top, bMissing))
        return bMissing;
    bool bHadRecord;
    bool bOk = RemoveRecorded(top, bHadRecord);
    return bHadRecord ? bOk : RemoveWithoutRecord(top);
}
