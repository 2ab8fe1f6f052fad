#pragma once
// The one way onto a host's or a stick's file system where a path must not be redirected:
// the program folders the starter makes and runs from, the files the stop deletes, the user
// data wfclean deletes.
//
// A path is a question asked again at every use; a handle is the answer kept. So:
// - A folder is opened as a chain from its volume root ("X:\" or "\\server\share\"): each
//   component is looked up in the listing of the folder above it, by what the system lists
//   (its long or its 8.3 name), and opened relative to that folder's handle as itself, never
//   as what it points to. A link or junction anywhere on the chain refuses the folder, and
//   the refusal names the component ("C:\_ts is a link").
// - Every folder of the chain stays open, with FILE_LIST_DIRECTORY and without delete
//   sharing, for as long as the CSafeFolder lives: none of them can be renamed, removed or
//   replaced meanwhile, so what was checked is what is worked on.
// - Below the chain everything is reached through the held handles: entries are listed,
//   opened, created and deleted relative to their folder, by the exact names the system
//   listed; what was opened is compared with what was listed (attributes, file id) before
//   anything is done to it, and an entry is deleted through its own handle (a link goes as
//   the link, its target stays).
// - The checks callers make on a folder (where it lies, what it is named, which drive) are
//   made on the opened chain, with the names the system listed.
// Wine follows symbolic links in some calls even when asked not to: a listed link is never
// opened, and an entry whose handle shows another file than the one listed is left alone.
// Systems without the handle-relative calls (the Windows 9x family, which has no links
// either) get the plain path calls.
#include <windows.h>

#include <string>
#include <vector>

#include "framework/CString.h"
#include "framework/Unique.h"

// The error of an entry that is a link, or no longer the entry that was listed.
constexpr DWORD kTsErrorNotTheListedEntry = ERROR_CANT_RESOLVE_FILENAME;

struct CSafeItem {
    std::string sName;       // as listed, in the ANSI code page
    std::wstring wsName;     // as the system spells it
    std::wstring wsShortName;   // the 8.3 alias, empty when the system keeps none
    DWORD dwAttributes = 0;
    LONGLONG nId = 0;        // the file system's id of the entry, 0 when it gives none
    bool IsLink() const { return (dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }
    bool IsFolder() const { return (dwAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && !IsLink(); }
    // Whether sName (ANSI) names this entry: its long or its 8.3 name, not case-sensitive.
    bool IsNamed(const std::string& sName) const;
};

class CSafeFolder {
public:
    CSafeFolder() = default;
    ~CSafeFolder() { Close(); }
    CSafeFolder(const CSafeFolder&) = delete;
    CSafeFolder& operator=(const CSafeFolder&) = delete;
    CSafeFolder(CSafeFolder&& o) noexcept;
    CSafeFolder& operator=(CSafeFolder&& o) noexcept;

    // Opens the folder pszPath as a chain from its volume root, holding every folder of it.
    // False with the system's error: ERROR_FILE_NOT_FOUND when the folder is missing,
    // ERROR_PATH_NOT_FOUND when a folder above it is, ERROR_BAD_PATHNAME for a path that is
    // no full one, kTsErrorNotTheListedEntry for a link on the chain (or a component swapped
    // while it was opened), ERROR_DIRECTORY for a file on it. When the last component is
    // there but no folder (a file, a link), *pItem tells what is there and *pParent holds
    // the chain down to the folder it lies in. sFailedAt (when given) names the component
    // the open failed at.
    bool OpenPath(const char* pszPath, DWORD& dwError, CSafeItem* pItem = nullptr, CSafeFolder* pParent = nullptr,
                  std::string* psFailedAt = nullptr);

    // Opens pszPath like OpenPath, making every missing folder on the way relative to the one
    // above it (never opening what another made meanwhile), each new one with the security
    // descriptor pSD (null: the default). The last folder is held with extraAccess too
    // (READ_CONTROL | WRITE_DAC to set its access list on the handle). bCreatedLast tells
    // whether the last folder was made now.
    bool CreatePath(const char* pszPath, PSECURITY_DESCRIPTOR pSD, ACCESS_MASK extraAccess, bool& bCreatedLast,
                    DWORD& dwError, std::string* psFailedAt = nullptr);

    // Opens the folder like OpenPath, but holds it without the right to delete it, so that
    // other chains may reach it meanwhile (the folder an unpack fills).
    bool OpenPathToFill(const char* pszPath, DWORD& dwError, std::string* psFailedAt = nullptr);

    // The subfolder sName, opened (held, with READ_CONTROL) when it is there, made when it
    // is not (bCreated); a link or a file in its place fails like OpenChild.
    bool CreateChildFolder(const std::string& sName, CSafeFolder& child, bool& bCreated, DWORD& dwError);
    // Creates the file sName anew for writing (and deleting through its handle); the caller
    // owns h. An entry already there is removed through this folder first (a link as the
    // link, a hard link as this name alone), so nothing is ever written into a file that
    // was there. False with ERROR_INVALID_NAME when sName is the 8.3 alias of another
    // entry, ERROR_DIRECTORY for a folder in its place, or the system's error.
    bool CreateNewFile(const std::string& sName, HANDLE& h, DWORD& dwError);
    // Removes the entry sName as it is listed now (checked like Remove).
    bool RemoveByName(const std::string& sName, DWORD& dwError);

    // The handle of this folder (for calls on it such as SetSecurityInfo); invalid on the
    // plain path calls.
    HANDLE Handle() const { return m_h; }

    // Every entry but "." and "..", fresh from the system.
    bool List(std::vector<CSafeItem>& items, DWORD& dwError) const;
    // Looks an entry up by its long or 8.3 name, not case-sensitive; the folder is listed the
    // first time and that listing is kept. False (ERROR_FILE_NOT_FOUND) when there is none.
    bool Find(const std::string& sName, CSafeItem& item, DWORD& dwError);
    // Opens a listed folder entry for walking into it, held like the chain. Fails for a link,
    // and when the entry is no longer the one listed (swapped since), with
    // kTsErrorNotTheListedEntry.
    // extraAccess: more rights on the child's handle (READ_CONTROL to read its owner).
    bool OpenChild(const CSafeItem& item, CSafeFolder& child, DWORD& dwError, ACCESS_MASK extraAccess = 0) const;
    // Deletes a listed entry: a file, a link as the link, or an empty folder. Fails like
    // OpenChild when the entry changed since it was listed, and for a link that this
    // system can only open by following it (Wine's symbolic links).
    bool Remove(const CSafeItem& item, DWORD& dwError) const;
    // Deletes this folder itself when it is empty, through its own handle; closes it.
    bool RemoveSelf(DWORD& dwError);
    // Reads a listed file entry of at most nMaxSize bytes (checked like Remove).
    bool ReadFileEntry(const CSafeItem& item, DWORD nMaxSize, std::string& sContent, DWORD& dwError) const;

    // The path as the caller gave it (for the log, and the only way in without handles).
    const std::string& Path() const { return m_sPath; }
    // The path in the names the system listed for each component (long names).
    const std::string& ListedPath() const { return m_sListedPath; }
    // The last component as the system listed it.
    std::string Name() const;
    // The volume root the chain starts from, with its backslash ("C:\"); empty below a
    // folder opened by OpenChild alone.
    const std::string& Volume() const { return m_sVolume; }
    bool IsOpen() const { return m_h != INVALID_HANDLE_VALUE || (!m_sPath.empty() && m_bPathOnly); }
    void Close();

private:
    bool Walk(const char* pszPath, bool bCreate, PSECURITY_DESCRIPTOR pSD, ACCESS_MASK extraAccess, bool bDeleteLast,
              bool& bCreatedLast,
              DWORD& dwError, CSafeItem* pItem, CSafeFolder* pParent, std::string* psFailedAt);

    HANDLE m_h = INVALID_HANDLE_VALUE;
    std::vector<CUniqueFile> m_above;   // the chain's folders above this one, held
    std::string m_sPath;
    std::string m_sListedPath;
    std::string m_sVolume;
    bool m_bPathOnly = false;
    bool m_bListed = false;
    std::vector<CSafeItem> m_listing;
};

// Whether ch is the first byte of a double-byte character in the ANSI code page.
bool TsIsAnsiLeadByte(unsigned char ch);

// Whether the handle-relative calls are there (they are on every NT system).
bool TsSafeFsUsesHandles();

// Deletes the file or folder of h (opened with DELETE) when its last handle closes.
bool TsDeleteThroughHandle(HANDLE h, DWORD& dwError);

// Opens the folder like CSafeFolder::OpenPath; false with a reason that names the component:
// "<path> is not a full path", "<component> is a link", "<component> is not a folder" or
// "<component>: <system text>".
bool TsOpenFolderChain(const char* pszPath, CSafeFolder& folder, CString& sError);

// Whether the opened folder is pszOther or holds it (compared in long names, not
// case-sensitive). False for an empty pszOther.
bool TsFolderIsSameOrAbove(const CSafeFolder& folder, const char* pszOther);

// Whether the opened folder is pszOther itself (long names, not case-sensitive).
bool TsFolderIsSame(const CSafeFolder& folder, const char* pszOther);

// The drive type of the opened folder's volume (GetDriveType), DRIVE_REMOTE for a share,
// and DRIVE_REMOTE too for a drive letter that SUBST made of a folder.
UINT TsFolderDriveType(const CSafeFolder& folder);

// Hooks through which a caller hears of the walk of TsEmptySafeFolder; any may be null.
struct SafeWalkLog {
    void (*pfnFolder)(const std::string& sFolder) = nullptr;                         // a folder is listed
    void (*pfnListFailed)(const std::string& sFolder, DWORD dwError) = nullptr;
    void (*pfnEntryFailed)(const std::string& sPath, const CSafeItem& item, DWORD dwError) = nullptr;
    void (*pfnFolderDone)(const std::string& sFolder, bool bOk) = nullptr;
};

// Deletes everything below an opened folder, links as links; a folder that cannot be
// emptied stays, and so does a link that the system cannot remove without following it.
// True when everything below went.
bool TsEmptySafeFolder(CSafeFolder& folder, const SafeWalkLog& log);

// Opens the folder that holds pszPath and finds the entry named by the last component in it.
// False with a reason like TsOpenFolderChain's ("<path>: <system text>" when the entry is missing).
bool TsOpenEntry(const char* pszPath, CSafeFolder& parent, CSafeItem& item, CString& sError);
