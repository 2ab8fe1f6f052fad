#include "sfx/SafeRemove.h"

#include <winternl.h>

#include <algorithm>
#include <cstring>

#include "Strings/TsLog.h"
#include "sfx/ReportSetupError.h"

namespace {

// ntdll's file calls, present on every NT system and looked up at run time so that the
// program still loads where they are missing.
using NtOpenFileFn = LONG(NTAPI*)(HANDLE*, ACCESS_MASK, OBJECT_ATTRIBUTES*, IO_STATUS_BLOCK*, ULONG, ULONG);
using NtQueryDirectoryFileFn = LONG(NTAPI*)(HANDLE, HANDLE, void*, void*, IO_STATUS_BLOCK*, void*, ULONG, ULONG,
                                            BOOLEAN, UNICODE_STRING*, BOOLEAN);
using NtFileInformationFn = LONG(NTAPI*)(HANDLE, IO_STATUS_BLOCK*, void*, ULONG, ULONG);
using RtlNtStatusToDosErrorFn = ULONG(NTAPI*)(LONG);

struct NtFileApi {
    NtOpenFileFn pfnOpen = nullptr;
    NtQueryDirectoryFileFn pfnQueryDirectory = nullptr;
    NtFileInformationFn pfnQueryInformation = nullptr;
    NtFileInformationFn pfnSetInformation = nullptr;
    RtlNtStatusToDosErrorFn pfnToError = nullptr;
    bool bComplete = false;
};

template <class F> F Lookup(HMODULE h, const char* pszName)
{
    return reinterpret_cast<F>(reinterpret_cast<void*>(::GetProcAddress(h, pszName)));
}

const NtFileApi& Nt()
{
    static const NtFileApi s_api = [] {
        NtFileApi api;
        HMODULE h = ::GetModuleHandleA("ntdll.dll");
        if (!h)
            return api;
        api.pfnOpen = Lookup<NtOpenFileFn>(h, "NtOpenFile");
        api.pfnQueryDirectory = Lookup<NtQueryDirectoryFileFn>(h, "NtQueryDirectoryFile");
        api.pfnQueryInformation = Lookup<NtFileInformationFn>(h, "NtQueryInformationFile");
        api.pfnSetInformation = Lookup<NtFileInformationFn>(h, "NtSetInformationFile");
        api.pfnToError = Lookup<RtlNtStatusToDosErrorFn>(h, "RtlNtStatusToDosError");
        api.bComplete = api.pfnOpen && api.pfnQueryDirectory && api.pfnQueryInformation && api.pfnSetInformation &&
                        api.pfnToError;
        return api;
    }();
    return s_api;
}

constexpr ULONG kDirectoryFile = 0x00000001;
constexpr ULONG kSynchronousIo = 0x00000020;
constexpr ULONG kNonDirectoryFile = 0x00000040;
constexpr ULONG kBackupIntent = 0x00004000;
constexpr ULONG kOpenReparsePoint = 0x00200000;
constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

constexpr ULONG kFileBothDirectoryInformation = 3;
constexpr ULONG kFileBasicInformation = 4;
constexpr ULONG kFileInternalInformation = 6;
constexpr ULONG kFileDispositionInformation = 13;
constexpr ULONG kFileIdBothDirectoryInformation = 37;

constexpr LONG kStatusNoMoreFiles = static_cast<LONG>(0x80000006);
constexpr LONG kStatusNoSuchFile = static_cast<LONG>(0xC000000F);
constexpr LONG kStatusInvalidInfoClass = static_cast<LONG>(0xC0000003);
constexpr LONG kStatusInvalidParameter = static_cast<LONG>(0xC000000D);
constexpr LONG kStatusNotImplemented = static_cast<LONG>(0xC0000002);
constexpr LONG kStatusAccessDenied = static_cast<LONG>(0xC0000022);

// The entry is no longer what was listed, or is a link this system only opens by following.
constexpr DWORD kErrorNotTheListedEntry = ERROR_CANT_RESOLVE_FILENAME;

struct DirEntryHead {   // FILE_BOTH_DIR_INFORMATION up to its short name
    ULONG NextEntryOffset;
    ULONG FileIndex;
    LARGE_INTEGER Times[4];
    LARGE_INTEGER EndOfFile;
    LARGE_INTEGER AllocationSize;
    ULONG FileAttributes;
    ULONG FileNameLength;
    ULONG EaSize;
    CCHAR ShortNameLength;
    WCHAR ShortName[12];
};
struct BothDirEntry {
    DirEntryHead head;
    WCHAR FileName[1];
};
struct IdBothDirEntry {
    DirEntryHead head;
    LARGE_INTEGER FileId;
    WCHAR FileName[1];
};
struct BasicInformation {
    LARGE_INTEGER Times[4];
    ULONG FileAttributes;
};

DWORD ErrorOf(LONG status)
{
    if (status == kStatusNoSuchFile)
        return ERROR_FILE_NOT_FOUND;
    return Nt().pfnToError(status);
}

std::wstring Wide(const std::string& s)
{
    if (s.empty())
        return std::wstring();
    int n = ::MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring ws(n > 0 ? n : 0, L'\0');
    if (n > 0)
        ::MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), &ws[0], n);
    return ws;
}

std::string Ansi(const WCHAR* p, size_t nChars)
{
    if (nChars == 0)
        return std::string();
    int n = ::WideCharToMultiByte(CP_ACP, 0, p, static_cast<int>(nChars), nullptr, 0, nullptr, nullptr);
    std::string s(n > 0 ? n : 0, '\0');
    if (n > 0)
        ::WideCharToMultiByte(CP_ACP, 0, p, static_cast<int>(nChars), &s[0], n, nullptr, nullptr);
    return s;
}

std::wstring Upper(std::wstring ws)
{
    if (!ws.empty())
        ::CharUpperBuffW(&ws[0], static_cast<DWORD>(ws.size()));
    return ws;
}

LONG OpenRelative(HANDLE hFolder, const std::wstring& wsName, ACCESS_MASK access, ULONG dwOptions, HANDLE& h)
{
    h = INVALID_HANDLE_VALUE;
    UNICODE_STRING name;
    name.Buffer = const_cast<PWSTR>(wsName.c_str());
    name.Length = name.MaximumLength = static_cast<USHORT>(wsName.size() * sizeof(WCHAR));
    OBJECT_ATTRIBUTES oa = {};
    oa.Length = sizeof(oa);
    oa.RootDirectory = hFolder;
    oa.ObjectName = &name;
    oa.Attributes = OBJ_CASE_INSENSITIVE;
    IO_STATUS_BLOCK io = {};
    HANDLE hOpened = nullptr;
    LONG status = Nt().pfnOpen(&hOpened, access | SYNCHRONIZE, &oa, &io, kShareAll,
                               dwOptions | kOpenReparsePoint | kSynchronousIo | kBackupIntent);
    if (status >= 0)
        h = hOpened;
    return status;
}

// What an opened handle is: its attributes and its id.
bool QueryOpened(HANDLE h, DWORD& dwAttributes, LONGLONG& nId, DWORD& dwError)
{
    IO_STATUS_BLOCK io = {};
    BasicInformation basic = {};
    LONG status = Nt().pfnQueryInformation(h, &io, &basic, sizeof(basic), kFileBasicInformation);
    if (status < 0) {
        dwError = ErrorOf(status);
        return false;
    }
    dwAttributes = basic.FileAttributes;
    LARGE_INTEGER id = {};
    nId = Nt().pfnQueryInformation(h, &io, &id, sizeof(id), kFileInternalInformation) >= 0 ? id.QuadPart : 0;
    return true;
}

// Whether an entry opened by name is the one the listing showed. The open never follows a
// link on Windows; Wine follows symbolic links whatever it is asked, so a link in the
// listing whose handle shows no link is the link's target, and must not be touched.
bool IsTheListedEntry(HANDLE h, const CSafeItem& item, DWORD& dwError)
{
    DWORD dwAttributes = 0;
    LONGLONG nId = 0;
    if (!QueryOpened(h, dwAttributes, nId, dwError))
        return false;
    bool bLink = (dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    bool bFolder = (dwAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    bool bSame = bLink == item.IsLink() && (bLink || bFolder == item.IsFolder()) &&
                 (item.nId == 0 || nId == 0 || item.nId == nId);
    if (!bSame)
        dwError = kErrorNotTheListedEntry;
    return bSame;
}

bool MarkForDeletion(HANDLE h, DWORD& dwError)
{
    IO_STATUS_BLOCK io = {};
    BOOLEAN bDelete = TRUE;
    LONG status = Nt().pfnSetInformation(h, &io, &bDelete, sizeof(bDelete), kFileDispositionInformation);
    if (status < 0) {
        dwError = ErrorOf(status);
        return false;
    }
    return true;
}

// Lists through the handle. The id listing is asked for first; systems before it give
// the listing without ids.
bool ListHandle(HANDLE h, UNICODE_STRING* pMask, bool bSingle, std::vector<CSafeItem>& items, DWORD& dwError)
{
    static ULONG s_class = kFileIdBothDirectoryInformation;
    std::vector<LONGLONG> buffer(8192);   // 64 KB, aligned for the entries
    bool bFirst = true;
    for (;;) {
        IO_STATUS_BLOCK io = {};
        LONG status = Nt().pfnQueryDirectory(h, nullptr, nullptr, nullptr, &io, buffer.data(),
                                             static_cast<ULONG>(buffer.size() * sizeof(LONGLONG)), s_class,
                                             bSingle ? TRUE : FALSE, pMask, bFirst ? TRUE : FALSE);
        if (bFirst && s_class == kFileIdBothDirectoryInformation &&
            (status == kStatusInvalidInfoClass || status == kStatusInvalidParameter ||
             status == kStatusNotImplemented)) {
            s_class = kFileBothDirectoryInformation;
            continue;
        }
        bFirst = false;
        if (status == kStatusNoMoreFiles)
            return true;
        if (status < 0) {
            dwError = ErrorOf(status);
            return false;
        }
        const BYTE* p = reinterpret_cast<const BYTE*>(buffer.data());
        for (;;) {
            const DirEntryHead* pHead = reinterpret_cast<const DirEntryHead*>(p);
            const WCHAR* pName;
            LONGLONG nId = 0;
            if (s_class == kFileIdBothDirectoryInformation) {
                const IdBothDirEntry* pEntry = reinterpret_cast<const IdBothDirEntry*>(p);
                pName = pEntry->FileName;
                nId = pEntry->FileId.QuadPart;
            } else {
                pName = reinterpret_cast<const BothDirEntry*>(p)->FileName;
            }
            size_t nChars = pHead->FileNameLength / sizeof(WCHAR);
            bool bDots = (nChars == 1 && pName[0] == L'.') || (nChars == 2 && pName[0] == L'.' && pName[1] == L'.');
            if (!bDots) {
                CSafeItem item;
                item.wsName.assign(pName, nChars);
                item.sName = Ansi(pName, nChars);
                item.dwAttributes = pHead->FileAttributes;
                item.nId = nId;
                items.push_back(item);
            }
            if (!pHead->NextEntryOffset)
                break;
            p += pHead->NextEntryOffset;
        }
        if (bSingle)
            return true;
    }
}

HANDLE OpenFolderByPath(const char* pszPath, DWORD& dwError)
{
    HANDLE h = ::CreateFileA(pszPath, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE, kShareAll, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        dwError = ::GetLastError();
    return h;
}

}  // namespace

bool SafeRemoveUsesHandles()
{
    return Nt().bComplete;
}

CSafeFolder::CSafeFolder(CSafeFolder&& o) noexcept
{
    *this = std::move(o);
}

CSafeFolder& CSafeFolder::operator=(CSafeFolder&& o) noexcept
{
    if (this != &o) {
        Close();
        m_h = o.m_h;
        o.m_h = INVALID_HANDLE_VALUE;
        m_sPath = std::move(o.m_sPath);
        m_bPathOnly = o.m_bPathOnly;
        m_bListed = o.m_bListed;
        m_listing = std::move(o.m_listing);
        o.Close();
    }
    return *this;
}

void CSafeFolder::Close()
{
    if (m_h != INVALID_HANDLE_VALUE)
        ::CloseHandle(m_h);
    m_h = INVALID_HANDLE_VALUE;
    m_sPath.clear();
    m_bPathOnly = false;
    m_bListed = false;
    m_listing.clear();
}

bool CSafeFolder::OpenPath(const char* pszPath, DWORD& dwError, CSafeItem* pItem, CSafeFolder* pParent)
{
    Close();
    std::string sPath = pszPath ? pszPath : "";
    while (sPath.size() > 3 && sPath.back() == '\\')
        sPath.pop_back();
    if (sPath.empty()) {
        dwError = ERROR_PATH_NOT_FOUND;
        return false;
    }
    size_t nSlash = sPath.find_last_of('\\');
    std::string sName = nSlash == std::string::npos ? std::string() : sPath.substr(nSlash + 1);
    if (!SafeRemoveUsesHandles()) {
        DWORD dwAttributes = ::GetFileAttributesA(sPath.c_str());
        if (dwAttributes == INVALID_FILE_ATTRIBUTES) {
            dwError = ::GetLastError();
            return false;
        }
        CSafeItem item;
        item.sName = sName;
        item.dwAttributes = dwAttributes;
        if (!item.IsFolder()) {
            if (pItem)
                *pItem = item;
            if (pParent && nSlash != std::string::npos) {
                pParent->m_sPath = sPath.substr(0, nSlash);
                pParent->m_bPathOnly = true;
            }
            dwError = ERROR_DIRECTORY;
            return false;
        }
        m_sPath = sPath;
        m_bPathOnly = true;
        return true;
    }
    if (sName.empty() || sPath.back() == '\\' || (sPath.size() == 2 && sPath[1] == ':')) {
        // A root has no folder above it and is never a link.
        HANDLE h = OpenFolderByPath(sPath.c_str(), dwError);
        if (h == INVALID_HANDLE_VALUE)
            return false;
        m_h = h;
        m_sPath = sPath;
        return true;
    }
    // The folder above is opened by its path; the folder itself is looked up and opened
    // through that handle, so that a link in its place is seen as a link.
    CSafeFolder parent;
    std::string sParent = sPath.substr(0, nSlash);
    if (sParent.size() == 2 && sParent[1] == ':')
        sParent += '\\';
    HANDLE h = OpenFolderByPath(sParent.c_str(), dwError);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    parent.m_h = h;
    parent.m_sPath = sPath.substr(0, nSlash);
    std::wstring wsName = Wide(sName);
    UNICODE_STRING mask;
    mask.Buffer = &wsName[0];
    mask.Length = mask.MaximumLength = static_cast<USHORT>(wsName.size() * sizeof(WCHAR));
    std::vector<CSafeItem> found;
    // The handle is fresh: the name filter holds on its first listing.
    if (!ListHandle(parent.m_h, &mask, true, found, dwError)) {
        if (dwError == ERROR_NO_MORE_FILES)
            dwError = ERROR_FILE_NOT_FOUND;
        return false;
    }
    if (found.empty()) {
        dwError = ERROR_FILE_NOT_FOUND;
        return false;
    }
    const CSafeItem& item = found[0];
    if (!item.IsFolder()) {
        if (pItem)
            *pItem = item;
        if (pParent)
            *pParent = std::move(parent);
        dwError = ERROR_DIRECTORY;
        return false;
    }
    return parent.OpenChild(item, *this, dwError);
}

bool CSafeFolder::List(std::vector<CSafeItem>& items, DWORD& dwError) const
{
    items.clear();
    if (m_bPathOnly) {
        WIN32_FIND_DATAA fd;
        HANDLE hFind = ::FindFirstFileA((m_sPath + "\\*.*").c_str(), &fd);
        if (hFind == INVALID_HANDLE_VALUE) {
            dwError = ::GetLastError();
            return false;
        }
        do {
            if (!std::strcmp(fd.cFileName, ".") || !std::strcmp(fd.cFileName, ".."))
                continue;
            CSafeItem item;
            item.sName = fd.cFileName;
            item.dwAttributes = fd.dwFileAttributes;
            items.push_back(item);
        } while (::FindNextFileA(hFind, &fd));
        dwError = ::GetLastError();
        ::FindClose(hFind);
        return dwError == ERROR_NO_MORE_FILES;
    }
    if (m_h == INVALID_HANDLE_VALUE) {
        dwError = ERROR_INVALID_HANDLE;
        return false;
    }
    return ListHandle(m_h, nullptr, false, items, dwError);
}

bool CSafeFolder::Find(const std::string& sName, CSafeItem& item, DWORD& dwError)
{
    if (!m_bListed) {
        if (!List(m_listing, dwError))
            return false;
        m_bListed = true;
    }
    std::wstring wsWanted = Upper(Wide(sName));
    for (const CSafeItem& candidate : m_listing) {
        bool bMatch = m_bPathOnly ? ::lstrcmpiA(candidate.sName.c_str(), sName.c_str()) == 0
                                  : Upper(candidate.wsName) == wsWanted;
        if (bMatch) {
            item = candidate;
            return true;
        }
    }
    dwError = ERROR_FILE_NOT_FOUND;
    return false;
}

bool CSafeFolder::OpenChild(const CSafeItem& item, CSafeFolder& child, DWORD& dwError) const
{
    child.Close();
    if (!item.IsFolder()) {
        dwError = item.IsLink() ? kErrorNotTheListedEntry : ERROR_DIRECTORY;
        return false;
    }
    if (m_bPathOnly) {
        child.m_sPath = m_sPath + "\\" + item.sName;
        child.m_bPathOnly = true;
        return true;
    }
    HANDLE h;
    LONG status = OpenRelative(m_h, item.wsName, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | DELETE, kDirectoryFile, h);
    if (status == kStatusAccessDenied)   // still worth walking to empty it
        status = OpenRelative(m_h, item.wsName, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, kDirectoryFile, h);
    if (status < 0) {
        dwError = ErrorOf(status);
        return false;
    }
    if (!IsTheListedEntry(h, item, dwError)) {
        ::CloseHandle(h);
        return false;
    }
    child.m_h = h;
    child.m_sPath = m_sPath + "\\" + item.sName;
    return true;
}

bool CSafeFolder::Remove(const CSafeItem& item, DWORD& dwError) const
{
    if (m_bPathOnly) {
        std::string sPath = m_sPath + "\\" + item.sName;
        BOOL bOk = (item.dwAttributes & FILE_ATTRIBUTE_DIRECTORY) ? ::RemoveDirectoryA(sPath.c_str())
                                                                  : ::DeleteFileA(sPath.c_str());
        if (!bOk)
            dwError = ::GetLastError();
        return bOk != FALSE;
    }
    HANDLE h;
    LONG status = OpenRelative(m_h, item.wsName, DELETE | FILE_READ_ATTRIBUTES, 0, h);
    if (status < 0) {
        dwError = ErrorOf(status);
        return false;
    }
    bool bOk = IsTheListedEntry(h, item, dwError) && MarkForDeletion(h, dwError);
    ::CloseHandle(h);
    return bOk;
}

bool CSafeFolder::RemoveSelf(DWORD& dwError)
{
    if (m_bPathOnly) {
        bool bOk = ::RemoveDirectoryA(m_sPath.c_str()) != FALSE;
        if (!bOk)
            dwError = ::GetLastError();
        Close();
        return bOk;
    }
    if (m_h == INVALID_HANDLE_VALUE) {
        dwError = ERROR_INVALID_HANDLE;
        return false;
    }
    bool bOk = MarkForDeletion(m_h, dwError);
    Close();   // the folder goes with the last handle
    return bOk;
}

bool CSafeFolder::ReadFileEntry(const CSafeItem& item, DWORD nMaxSize, std::string& sContent, DWORD& dwError) const
{
    sContent.clear();
    HANDLE h;
    if (m_bPathOnly) {
        h = ::CreateFileA((m_sPath + "\\" + item.sName).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          0, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            dwError = ::GetLastError();
            return false;
        }
    } else {
        LONG status = OpenRelative(m_h, item.wsName, FILE_READ_DATA | FILE_READ_ATTRIBUTES, kNonDirectoryFile, h);
        if (status < 0) {
            dwError = ErrorOf(status);
            return false;
        }
        if (!IsTheListedEntry(h, item, dwError)) {
            ::CloseHandle(h);
            return false;
        }
    }
    bool bOk = true;
    DWORD dwHigh = 0;
    DWORD dwSize = ::GetFileSize(h, &dwHigh);
    if (dwSize == INVALID_FILE_SIZE && ::GetLastError() != NO_ERROR) {
        dwError = ::GetLastError();
        bOk = false;
    } else if (dwHigh || dwSize > nMaxSize) {
        dwError = ERROR_FILE_TOO_LARGE;
        bOk = false;
    } else {
        sContent.resize(dwSize);
        DWORD dwRead = 0;
        if (dwSize && (!::ReadFile(h, &sContent[0], dwSize, &dwRead, nullptr) || dwRead != dwSize)) {
            dwError = dwRead != dwSize && ::GetLastError() == NO_ERROR ? ERROR_HANDLE_EOF : ::GetLastError();
            bOk = false;
        }
    }
    ::CloseHandle(h);
    return bOk;
}

bool EmptySafeFolder(CSafeFolder& folder, bool bLog)
{
    std::string sMask = folder.Path() + "\\*.*";
    if (bLog)
        TsLogWrite("ForEachFile() - by mask ", sMask.c_str(), 0, TRUE);
    std::vector<CSafeItem> items;
    DWORD dwError = 0;
    bool bOk = folder.List(items, dwError);
    if (!bOk && bLog)
        ReportSetupError("File operation failed for ", sMask.c_str(), dwError);
    for (const CSafeItem& item : items) {
        std::string sPath = folder.Path() + "\\" + item.sName;
        dwError = 0;
        if (item.IsFolder()) {
            CSafeFolder child;
            bool bGone = folder.OpenChild(item, child, dwError);
            if (bGone) {
                bool bEmptied = EmptySafeFolder(child, bLog);
                bGone = child.RemoveSelf(dwError) && bEmptied;
            }
            if (!bGone) {
                bOk = false;
                if (bLog)
                    TsLogWrite("ActDelFile() - can't remove directory", sPath.c_str(), dwError, TRUE);
            }
        } else if (!folder.Remove(item, dwError)) {
            bOk = false;
            if (bLog)
                TsLogWrite(item.IsLink() ? "ActDelFile() - can't remove link" : "ActDelFile() - can't delete file",
                           sPath.c_str(), dwError, TRUE);
        }
    }
    if (bLog)
        TsLogWrite("ForEachFile() - ", bOk ? "OK" : "FAIL", 0, TRUE);
    return bOk;
}
