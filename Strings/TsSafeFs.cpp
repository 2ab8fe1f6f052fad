#include "Strings/TsSafeFs.h"

#include <winternl.h>

#include <algorithm>
#include <cstring>

#include "Strings/TsLog.h"

namespace {

// ntdll's file calls, present on every NT system and looked up at run time so that the
// program still loads where they are missing.
using NtOpenFileFn = LONG(NTAPI*)(HANDLE*, ACCESS_MASK, OBJECT_ATTRIBUTES*, IO_STATUS_BLOCK*, ULONG, ULONG);
using NtCreateFileFn = LONG(NTAPI*)(HANDLE*, ACCESS_MASK, OBJECT_ATTRIBUTES*, IO_STATUS_BLOCK*, LARGE_INTEGER*, ULONG,
                                   ULONG, ULONG, ULONG, void*, ULONG);
using NtQueryDirectoryFileFn = LONG(NTAPI*)(HANDLE, HANDLE, void*, void*, IO_STATUS_BLOCK*, void*, ULONG, ULONG,
                                            BOOLEAN, UNICODE_STRING*, BOOLEAN);
using NtFileInformationFn = LONG(NTAPI*)(HANDLE, IO_STATUS_BLOCK*, void*, ULONG, ULONG);
using RtlNtStatusToDosErrorFn = ULONG(NTAPI*)(LONG);

struct NtFileApi {
    NtOpenFileFn pfnOpen = nullptr;
    NtCreateFileFn pfnCreate = nullptr;
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
        api.pfnCreate = Lookup<NtCreateFileFn>(h, "NtCreateFile");
        api.pfnQueryDirectory = Lookup<NtQueryDirectoryFileFn>(h, "NtQueryDirectoryFile");
        api.pfnQueryInformation = Lookup<NtFileInformationFn>(h, "NtQueryInformationFile");
        api.pfnSetInformation = Lookup<NtFileInformationFn>(h, "NtSetInformationFile");
        api.pfnToError = Lookup<RtlNtStatusToDosErrorFn>(h, "RtlNtStatusToDosError");
        api.bComplete = api.pfnOpen && api.pfnCreate && api.pfnQueryDirectory && api.pfnQueryInformation && api.pfnSetInformation &&
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
constexpr LONG kStatusSharingViolation = static_cast<LONG>(0xC0000043);
constexpr LONG kStatusObjectNameCollision = static_cast<LONG>(0xC0000035);

constexpr DWORD kErrorNotTheListedEntry = kTsErrorNotTheListedEntry;
// A held folder may be read and written in by others, never renamed or removed.
constexpr ULONG kShareHeld = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr ACCESS_MASK kHeldFolderAccess = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES;

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

LONG OpenRelative(HANDLE hFolder, const std::wstring& wsName, ACCESS_MASK access, ULONG dwOptions, HANDLE& h,
                  ULONG dwShare = kShareAll)
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
    LONG status = Nt().pfnOpen(&hOpened, access | SYNCHRONIZE, &oa, &io, dwShare,
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

// Opens a listed folder relative to its parent, held: others may read and write in it but
// neither rename nor remove it. With bDelete the handle may also delete the folder itself
// (when this process may, and nobody else holds it so).
bool OpenListedFolder(HANDLE hParent, const CSafeItem& item, bool bDelete, HANDLE& h, DWORD& dwError,
                      ACCESS_MASK extra = 0)
{
    LONG status = kStatusAccessDenied;
    if (bDelete)
        status = OpenRelative(hParent, item.wsName, kHeldFolderAccess | extra | DELETE, kDirectoryFile, h, kShareHeld);
    if (status == kStatusAccessDenied || status == kStatusSharingViolation)   // still worth holding and walking
        status = OpenRelative(hParent, item.wsName, kHeldFolderAccess | extra, kDirectoryFile, h, kShareHeld);
    if (status < 0) {
        dwError = ErrorOf(status);
        return false;
    }
    if (!IsTheListedEntry(h, item, dwError)) {
        ::CloseHandle(h);
        h = INVALID_HANDLE_VALUE;
        return false;
    }
    return true;
}

// Makes the folder wsName in hParent, never opening anything that was there: FILE_CREATE
// fails when a name (a link included) is taken.
LONG CreateFolderRelative(HANDLE hParent, const std::wstring& wsName, PSECURITY_DESCRIPTOR pSD, ACCESS_MASK access,
                          HANDLE& h)
{
    h = INVALID_HANDLE_VALUE;
    UNICODE_STRING name;
    name.Buffer = const_cast<PWSTR>(wsName.c_str());
    name.Length = name.MaximumLength = static_cast<USHORT>(wsName.size() * sizeof(WCHAR));
    OBJECT_ATTRIBUTES oa = {};
    oa.Length = sizeof(oa);
    oa.RootDirectory = hParent;
    oa.ObjectName = &name;
    oa.Attributes = OBJ_CASE_INSENSITIVE;
    oa.SecurityDescriptor = pSD;
    IO_STATUS_BLOCK io = {};
    HANDLE hMade = nullptr;
    constexpr ULONG kFileCreate = 2;
    LONG status = Nt().pfnCreate(&hMade, access | SYNCHRONIZE, &oa, &io, nullptr, FILE_ATTRIBUTE_NORMAL, kShareHeld,
                                 kFileCreate, kDirectoryFile | kOpenReparsePoint | kSynchronousIo | kBackupIntent,
                                 nullptr, 0);
    if (status >= 0)
        h = hMade;
    return status;
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
                size_t nShort = static_cast<size_t>(pHead->ShortNameLength) / sizeof(WCHAR);
                if (nShort > 0 && nShort <= 12)
                    item.wsShortName.assign(pHead->ShortName, nShort);
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

// The volume part of a full path ("X:\" or "\\server\share\") and its components, split by
// characters: in a double-byte code page a trail byte may be 0x5C and is no separator.
// Doubled separators name no component. False for a path that is no full one, or that
// holds "." or ".." or a wildcard as a component.
bool SplitFullPath(const std::string& sPath, std::string& sVolume, std::vector<std::string>& parts)
{
    sVolume.clear();
    parts.clear();
    const char* p = sPath.c_str();
    if (IsCharAlphaA(p[0]) && p[1] == ':' && p[2] == '\\') {
        sVolume.assign(p, 3);
        p += 3;
    } else if (p[0] == '\\' && p[1] == '\\') {
        // \\server\share\: two components that belong to the volume.
        const char* q = p + 2;
        int nFound = 0;
        while (*q && nFound < 2) {
            const char* pStart = q;
            while (*q && *q != '\\')
                q = ::CharNextA(q);
            if (q == pStart || (std::string(pStart, q) == "." || std::string(pStart, q) == ".."))
                return false;
            ++nFound;
            if (*q == '\\')
                q = ::CharNextA(q);
        }
        if (nFound < 2)
            return false;
        sVolume.assign(p, q);
        if (sVolume.back() != '\\')
            sVolume += '\\';
        p = q;
    } else {
        return false;
    }
    while (*p) {
        const char* pStart = p;
        while (*p && *p != '\\')
            p = ::CharNextA(p);
        std::string sPart(pStart, p);
        if (*p == '\\')
            p = ::CharNextA(p);
        if (sPart.empty())
            continue;
        if (sPart == "." || sPart == ".." || sPart.find_first_of("*?<>\"/:|") != std::string::npos)
            return false;
        parts.push_back(sPart);
    }
    return true;
}

std::string Joined(const std::string& sVolume, const std::vector<std::string>& parts, size_t nCount)
{
    std::string s = sVolume;
    for (size_t i = 0; i < nCount; ++i)
        s += (i ? "\\" : "") + parts[i];
    return s;
}

HANDLE OpenVolumeRoot(const std::string& sVolume, DWORD& dwError)
{
    HANDLE h = ::CreateFileA(sVolume.c_str(), kHeldFolderAccess | SYNCHRONIZE, kShareAll, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        dwError = ::GetLastError();
    return h;
}

// The long form of a path, when the system gives one.
std::string LongForm(const char* pszPath)
{
    using GetLongPathFn = DWORD(WINAPI*)(LPCSTR, LPSTR, DWORD);
    HMODULE hKernel = ::GetModuleHandleA("kernel32.dll");
    auto pfnLong = hKernel ? reinterpret_cast<GetLongPathFn>(
                                 reinterpret_cast<void*>(::GetProcAddress(hKernel, "GetLongPathNameA")))
                           : nullptr;
    char szLong[MAX_PATH] = "";
    if (pfnLong) {
        DWORD n = pfnLong(pszPath, szLong, MAX_PATH);
        if (n > 0 && n < MAX_PATH)
            return szLong;
    }
    return pszPath;
}

std::string WithoutTrailingBackslashes(std::string s)
{
    while (s.size() > 3 && s.back() == '\\')
        s.pop_back();
    return s;
}

}  // namespace

bool CSafeItem::IsNamed(const std::string& sWanted) const
{
    if (wsName.empty())   // listed by the plain calls
        return ::lstrcmpiA(sName.c_str(), sWanted.c_str()) == 0;
    std::wstring wsWanted = Upper(Wide(sWanted));
    return Upper(wsName) == wsWanted || (!wsShortName.empty() && Upper(wsShortName) == wsWanted);
}

bool TsIsAnsiLeadByte(unsigned char ch)
{
    return ::IsDBCSLeadByte(ch) != FALSE;
}

bool TsSafeFsUsesHandles()
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
        m_above = std::move(o.m_above);
        m_sPath = std::move(o.m_sPath);
        m_sListedPath = std::move(o.m_sListedPath);
        m_sVolume = std::move(o.m_sVolume);
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
    m_above.clear();
    m_sPath.clear();
    m_sListedPath.clear();
    m_sVolume.clear();
    m_bPathOnly = false;
    m_bListed = false;
    m_listing.clear();
}

std::string CSafeFolder::Name() const
{
    size_t n = m_sListedPath.size();
    if (n <= m_sVolume.size())
        return std::string();
    const char* p = m_sListedPath.c_str() + m_sVolume.size();
    const char* pName = p;
    for (; *p; p = ::CharNextA(p))
        if (*p == '\\')
            pName = p + 1;
    return pName;
}

bool CSafeFolder::OpenPath(const char* pszPath, DWORD& dwError, CSafeItem* pItem, CSafeFolder* pParent,
                           std::string* psFailedAt)
{
    bool bCreated = false;
    return Walk(pszPath, false, nullptr, 0, true, bCreated, dwError, pItem, pParent, psFailedAt);
}

bool CSafeFolder::OpenPathToFill(const char* pszPath, DWORD& dwError, std::string* psFailedAt)
{
    bool bCreated = false;
    return Walk(pszPath, false, nullptr, 0, false, bCreated, dwError, nullptr, nullptr, psFailedAt);
}

bool CSafeFolder::CreatePath(const char* pszPath, PSECURITY_DESCRIPTOR pSD, ACCESS_MASK extraAccess,
                             bool& bCreatedLast, DWORD& dwError, std::string* psFailedAt)
{
    return Walk(pszPath, true, pSD, extraAccess, true, bCreatedLast, dwError, nullptr, nullptr, psFailedAt);
}

bool CSafeFolder::Walk(const char* pszPath, bool bCreate, PSECURITY_DESCRIPTOR pSD, ACCESS_MASK extraAccess,
                       bool bDeleteLast, bool& bCreatedLast, DWORD& dwError, CSafeItem* pItem, CSafeFolder* pParent,
                       std::string* psFailedAt)
{
    bCreatedLast = false;
    Close();
    std::string sFailedAt;
    auto Fail = [&](DWORD dwCode, const std::string& sAt) {
        dwError = dwCode;
        if (psFailedAt)
            *psFailedAt = sAt;
        Close();
        return false;
    };
    const std::string sPath = pszPath ? pszPath : "";
    std::string sVolume;
    std::vector<std::string> parts;
    if (!SplitFullPath(sPath, sVolume, parts))
        return Fail(ERROR_BAD_PATHNAME, sPath);

    if (!TsSafeFsUsesHandles()) {
        // No links on these systems: the path is taken as it is, one component at a time.
        std::string sListed = sVolume;
        for (size_t i = 0; i < parts.size(); ++i) {
            const std::string sAt = Joined(sVolume, parts, i + 1);
            DWORD dwAttributes = ::GetFileAttributesA(sAt.c_str());
            if (dwAttributes == INVALID_FILE_ATTRIBUTES && bCreate && ::CreateDirectoryA(sAt.c_str(), nullptr)) {
                bCreatedLast = i + 1 == parts.size();
                continue;
            }
            if (dwAttributes == INVALID_FILE_ATTRIBUTES) {
                DWORD dwCode = ::GetLastError();
                if (dwCode == ERROR_FILE_NOT_FOUND && i + 1 < parts.size())
                    dwCode = ERROR_PATH_NOT_FOUND;
                return Fail(dwCode, sAt);
            }
            if (!(dwAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
                if (i + 1 == parts.size()) {
                    if (pItem) {
                        *pItem = CSafeItem();
                        pItem->sName = parts[i];
                        pItem->dwAttributes = dwAttributes;
                    }
                    if (pParent) {
                        pParent->Close();
                        pParent->m_sPath = pParent->m_sListedPath = Joined(sVolume, parts, i);
                        pParent->m_sVolume = sVolume;
                        pParent->m_bPathOnly = true;
                    }
                }
                return Fail(ERROR_DIRECTORY, sAt);
            }
        }
        m_sPath = m_sListedPath = WithoutTrailingBackslashes(Joined(sVolume, parts, parts.size()));
        m_sVolume = sVolume;
        m_bPathOnly = true;
        return true;
    }

    HANDLE hRoot = OpenVolumeRoot(sVolume, dwError);
    if (hRoot == INVALID_HANDLE_VALUE)
        return Fail(dwError, sVolume);
    m_h = hRoot;
    m_sVolume = sVolume;
    m_sPath = m_sListedPath = sVolume;
    for (size_t i = 0; i < parts.size(); ++i) {
        const std::string sAt = Joined(sVolume, parts, i + 1);
        const bool bLast = i + 1 == parts.size();
        CSafeItem item;
        if (!Find(parts[i], item, dwError)) {
            if (bCreate && dwError == ERROR_FILE_NOT_FOUND) {
                HANDLE h;
                LONG status = CreateFolderRelative(m_h, Wide(parts[i]), pSD,
                                                   kHeldFolderAccess | (bLast ? extraAccess : 0) |
                                                       (bLast && bDeleteLast ? DELETE : 0),
                                                   h);
                if (status < 0)
                    return Fail(ErrorOf(status), sAt);
                m_above.emplace_back(m_h);
                m_h = h;
                m_sPath = sAt;
                m_sListedPath += (i ? "\\" : "") + parts[i];
                m_bListed = false;
                m_listing.clear();
                bCreatedLast = bLast;
                continue;
            }
            if (dwError == ERROR_FILE_NOT_FOUND && !bLast)
                dwError = ERROR_PATH_NOT_FOUND;
            return Fail(dwError, sAt);
        }
        if (!item.IsFolder()) {
            if (bLast) {
                if (pItem)
                    *pItem = item;
                if (pParent)
                    *pParent = std::move(*this);
            }
            return Fail(item.IsLink() ? kErrorNotTheListedEntry : ERROR_DIRECTORY, sAt);
        }
        // The folders above the last one are only held: another chain through them (the
        // next file's, say) may hold them too.
        HANDLE h;
        if (!OpenListedFolder(m_h, item, bLast && bDeleteLast, h, dwError, bLast ? extraAccess : 0))
            return Fail(dwError, sAt);
        m_above.emplace_back(m_h);
        m_h = h;
        m_sPath = sAt;
        m_sListedPath += (i ? "\\" : "") + item.sName;
        m_bListed = false;
        m_listing.clear();
    }
    return true;
}

bool CSafeFolder::List(std::vector<CSafeItem>& items, DWORD& dwError) const
{
    items.clear();
    if (m_bPathOnly) {
        WIN32_FIND_DATAA fd;
        std::string sMask = m_sPath + (m_sPath.back() == '\\' ? "*.*" : "\\*.*");
        HANDLE hFind = ::FindFirstFileA(sMask.c_str(), &fd);
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
    for (const CSafeItem& candidate : m_listing) {
        if (candidate.IsNamed(sName)) {
            item = candidate;
            return true;
        }
    }
    // Systems that make 8.3 aliases up as they are asked (Wine) list none: the alias is
    // resolved by the system and matched to the listing by the file id.
    if (!m_bPathOnly && m_h != INVALID_HANDLE_VALUE && sName.find('~') != std::string::npos) {
        HANDLE h;
        if (OpenRelative(m_h, Wide(sName), FILE_READ_ATTRIBUTES, 0, h) >= 0) {
            DWORD dwAttributes = 0, dwIgnored = 0;
            LONGLONG nId = 0;
            bool bQueried = QueryOpened(h, dwAttributes, nId, dwIgnored);
            ::CloseHandle(h);
            for (const CSafeItem& candidate : m_listing) {
                if (bQueried && nId != 0 && candidate.nId == nId) {
                    item = candidate;
                    return true;
                }
            }
        }
    }
    dwError = ERROR_FILE_NOT_FOUND;
    return false;
}

bool CSafeFolder::OpenChild(const CSafeItem& item, CSafeFolder& child, DWORD& dwError, ACCESS_MASK extraAccess) const
{
    child.Close();
    if (!item.IsFolder()) {
        dwError = item.IsLink() ? kErrorNotTheListedEntry : ERROR_DIRECTORY;
        return false;
    }
    const std::string sSep = !m_sPath.empty() && m_sPath.back() == '\\' ? "" : "\\";
    if (m_bPathOnly) {
        child.m_sPath = m_sPath + sSep + item.sName;
        child.m_sListedPath = child.m_sPath;
        child.m_bPathOnly = true;
        return true;
    }
    HANDLE h;
    if (!OpenListedFolder(m_h, item, true, h, dwError, extraAccess))
        return false;
    child.m_h = h;
    child.m_sPath = m_sPath + sSep + item.sName;
    child.m_sListedPath = m_sListedPath + (m_sListedPath.empty() || m_sListedPath.back() == '\\' ? "" : "\\") +
                          item.sName;
    child.m_sVolume = m_sVolume;
    return true;
}

bool CSafeFolder::Remove(const CSafeItem& item, DWORD& dwError) const
{
    if (m_bPathOnly) {
        std::string sPath = m_sPath + (m_sPath.back() == '\\' ? "" : "\\") + item.sName;
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
    CUniqueFile file(h);
    DWORD dwHigh = 0;
    DWORD dwSize = ::GetFileSize(h, &dwHigh);
    if (dwSize == INVALID_FILE_SIZE && ::GetLastError() != NO_ERROR) {
        dwError = ::GetLastError();
        return false;
    }
    if (dwHigh || dwSize > nMaxSize) {
        dwError = ERROR_FILE_TOO_LARGE;
        return false;
    }
    sContent.resize(dwSize);
    DWORD dwRead = 0;
    if (dwSize && (!::ReadFile(h, &sContent[0], dwSize, &dwRead, nullptr) || dwRead != dwSize)) {
        dwError = dwRead != dwSize && ::GetLastError() == NO_ERROR ? ERROR_HANDLE_EOF : ::GetLastError();
        sContent.clear();
        return false;
    }
    return true;
}

bool CSafeFolder::CreateChildFolder(const std::string& sName, CSafeFolder& child, bool& bCreated, DWORD& dwError)
{
    bCreated = false;
    child.Close();
    CSafeItem item;
    if (Find(sName, item, dwError))
        return OpenChild(item, child, dwError, READ_CONTROL);
    if (dwError != ERROR_FILE_NOT_FOUND)
        return false;
    const std::string sSep = !m_sPath.empty() && m_sPath.back() == '\\' ? "" : "\\";
    if (m_bPathOnly) {
        const std::string sPath = m_sPath + sSep + sName;
        if (!::CreateDirectoryA(sPath.c_str(), nullptr)) {
            dwError = ::GetLastError();
            return false;
        }
        child.m_sPath = child.m_sListedPath = sPath;
        child.m_bPathOnly = true;
        bCreated = true;
        m_bListed = false;
        return true;
    }
    HANDLE h;
    LONG status = CreateFolderRelative(m_h, Wide(sName), nullptr, kHeldFolderAccess | DELETE | READ_CONTROL, h);
    if (status < 0) {
        dwError = ErrorOf(status);
        return false;
    }
    m_bListed = false;   // the kept listing lacks it now
    child.m_h = h;
    child.m_sPath = m_sPath + sSep + sName;
    child.m_sListedPath = m_sListedPath + (m_sListedPath.empty() || m_sListedPath.back() == '\\' ? "" : "\\") + sName;
    child.m_sVolume = m_sVolume;
    bCreated = true;
    return true;
}

bool CSafeFolder::CreateNewFile(const std::string& sName, HANDLE& h, DWORD& dwError)
{
    h = INVALID_HANDLE_VALUE;
    if (m_bPathOnly) {
        const std::string sPath = m_sPath + (m_sPath.back() == '\\' ? "" : "\\") + sName;
        h = ::CreateFileA(sPath.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                          nullptr);
        if (h == INVALID_HANDLE_VALUE)
            dwError = ::GetLastError();
        return h != INVALID_HANDLE_VALUE;
    }
    const std::wstring wsName = Wide(sName);
    for (int nTry = 0;; ++nTry) {
        UNICODE_STRING name;
        name.Buffer = const_cast<PWSTR>(wsName.c_str());
        name.Length = name.MaximumLength = static_cast<USHORT>(wsName.size() * sizeof(WCHAR));
        OBJECT_ATTRIBUTES oa = {};
        oa.Length = sizeof(oa);
        oa.RootDirectory = m_h;
        oa.ObjectName = &name;
        oa.Attributes = OBJ_CASE_INSENSITIVE;
        IO_STATUS_BLOCK io = {};
        HANDLE hMade = nullptr;
        constexpr ULONG kFileCreate = 2;
        LONG status = Nt().pfnCreate(&hMade, GENERIC_WRITE | DELETE | SYNCHRONIZE, &oa, &io, nullptr,
                                     FILE_ATTRIBUTE_NORMAL, 0, kFileCreate,
                                     kNonDirectoryFile | kOpenReparsePoint | kSynchronousIo, nullptr, 0);
        if (status >= 0) {
            m_bListed = false;
            h = hMade;
            return true;
        }
        if (status != kStatusObjectNameCollision || nTry > 0) {
            dwError = ErrorOf(status);
            return false;
        }
        // Something has the name: it goes through this folder, as itself (a link as the link,
        // a hard link as this name only), unless the name is another entry's alias.
        m_bListed = false;
        CSafeItem item;
        if (!Find(sName, item, dwError))
            return false;
        if (Upper(item.wsName) != Upper(wsName)) {
            dwError = ERROR_INVALID_NAME;
            return false;
        }
        if (item.IsFolder()) {
            dwError = ERROR_DIRECTORY;
            return false;
        }
        if (!Remove(item, dwError))
            return false;
        m_bListed = false;
    }
}

bool CSafeFolder::RemoveByName(const std::string& sName, DWORD& dwError)
{
    m_bListed = false;
    CSafeItem item;
    if (!Find(sName, item, dwError))
        return false;
    m_bListed = false;
    return Remove(item, dwError);
}

bool TsDeleteThroughHandle(HANDLE h, DWORD& dwError)
{
    if (!TsSafeFsUsesHandles()) {
        dwError = ERROR_NOT_SUPPORTED;
        return false;
    }
    return MarkForDeletion(h, dwError);
}

bool TsOpenFolderChain(const char* pszPath, CSafeFolder& folder, CString& sError)
{
    DWORD dwError = 0;
    std::string sAt;
    if (folder.OpenPath(pszPath, dwError, nullptr, nullptr, &sAt))
        return true;
    if (dwError == ERROR_BAD_PATHNAME) {
        sError = CString(pszPath ? pszPath : "") + " is not a full path";
    } else if (dwError == kErrorNotTheListedEntry) {
        sError = CString(sAt.c_str()) + " is a link";
    } else if (dwError == ERROR_DIRECTORY) {
        sError = CString(sAt.c_str()) + " is not a folder";
    } else {
        CString sText;
        GetErrorText(sText, dwError);
        sError = CString(sAt.c_str()) + ": " + sText;
    }
    return false;
}

bool TsOpenEntry(const char* pszPath, CSafeFolder& parent, CSafeItem& item, CString& sError)
{
    parent.Close();
    const std::string sPath = pszPath ? pszPath : "";
    std::string sVolume;
    std::vector<std::string> parts;
    if (!SplitFullPath(sPath, sVolume, parts) || parts.empty()) {
        sError = CString(sPath.c_str()) + " is not a full path";
        return false;
    }
    if (!TsOpenFolderChain(Joined(sVolume, parts, parts.size() - 1).c_str(), parent, sError))
        return false;
    DWORD dwError = 0;
    if (!parent.Find(parts.back(), item, dwError)) {
        CString sText;
        GetErrorText(sText, dwError);
        sError = CString(sPath.c_str()) + ": " + sText;
        parent.Close();
        return false;
    }
    return true;
}

bool TsFolderIsSameOrAbove(const CSafeFolder& folder, const char* pszOther)
{
    if (!pszOther || !*pszOther || folder.ListedPath().empty())
        return false;
    const std::string sFolder = WithoutTrailingBackslashes(folder.ListedPath());
    const std::string sOther = WithoutTrailingBackslashes(LongForm(WithoutTrailingBackslashes(pszOther).c_str()));
    if (sOther.size() < sFolder.size() || ::lstrcmpiA(sOther.substr(0, sFolder.size()).c_str(), sFolder.c_str()) != 0)
        return false;
    // The folder's path ends at a character boundary of the other's: its next byte is a
    // separator (or the folder is a root, which ends in one).
    return sOther.size() == sFolder.size() || sFolder.back() == '\\' || sOther[sFolder.size()] == '\\';
}

bool TsFolderIsSame(const CSafeFolder& folder, const char* pszOther)
{
    if (!pszOther || !*pszOther)
        return false;
    return ::lstrcmpiA(WithoutTrailingBackslashes(folder.ListedPath()).c_str(),
                       WithoutTrailingBackslashes(LongForm(WithoutTrailingBackslashes(pszOther).c_str())).c_str()) == 0;
}

UINT TsFolderDriveType(const CSafeFolder& folder)
{
    const std::string& sVolume = folder.Volume();
    if (sVolume.size() < 3)
        return DRIVE_UNKNOWN;
    if (sVolume[0] == '\\')
        return DRIVE_REMOTE;
    char szDevice[MAX_PATH] = "";
    const std::string sDrive = sVolume.substr(0, 2);
    // A SUBST drive is a folder of another drive under a letter: "\??\C:\folder".
    if (::QueryDosDeviceA(sDrive.c_str(), szDevice, MAX_PATH) && std::strncmp(szDevice, "\\??\\", 4) == 0)
        return DRIVE_REMOTE;
    return ::GetDriveTypeA(sVolume.c_str());
}

bool TsEmptySafeFolder(CSafeFolder& folder, const SafeWalkLog& log)
{
    if (log.pfnFolder)
        log.pfnFolder(folder.Path());
    std::vector<CSafeItem> items;
    DWORD dwError = 0;
    bool bOk = folder.List(items, dwError);
    if (!bOk && log.pfnListFailed)
        log.pfnListFailed(folder.Path(), dwError);
    for (const CSafeItem& item : items) {
        std::string sPath = folder.Path() + "\\" + item.sName;
        dwError = 0;
        if (item.IsFolder()) {
            CSafeFolder child;
            bool bGone = folder.OpenChild(item, child, dwError);
            if (bGone) {
                bool bEmptied = TsEmptySafeFolder(child, log);
                bGone = child.RemoveSelf(dwError) && bEmptied;
            }
            if (!bGone) {
                bOk = false;
                if (log.pfnEntryFailed)
                    log.pfnEntryFailed(sPath, item, dwError);
            }
        } else if (!folder.Remove(item, dwError)) {
            bOk = false;
            if (log.pfnEntryFailed)
                log.pfnEntryFailed(sPath, item, dwError);
        }
    }
    if (log.pfnFolderDone)
        log.pfnFolderDone(folder.Path(), bOk);
    return bOk;
}
