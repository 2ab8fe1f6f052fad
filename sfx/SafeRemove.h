#pragma once
// Removing files and folders without ever going through a link. A folder is opened once and
// then listed, entered and emptied through that handle only, so a folder swapped for a link
// (junction, symbolic link) while the walk is inside it still leads nowhere else; each entry
// is opened relative to its folder's handle as itself, never as what it points to, and is
// deleted through its own handle. Systems without the handle-relative calls (the Windows 9x
// family, which has no links either) get the plain path calls.
#include <windows.h>

#include <string>
#include <vector>

struct CSafeItem {
    std::string sName;       // as listed, in the ANSI code page
    std::wstring wsName;     // as the system spells it
    DWORD dwAttributes = 0;
    LONGLONG nId = 0;        // the file system's id of the entry, 0 when it gives none
    bool IsLink() const { return (dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }
    bool IsFolder() const { return (dwAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && !IsLink(); }
};

class CSafeFolder {
public:
    CSafeFolder() = default;
    ~CSafeFolder() { Close(); }
    CSafeFolder(const CSafeFolder&) = delete;
    CSafeFolder& operator=(const CSafeFolder&) = delete;
    CSafeFolder(CSafeFolder&& o) noexcept;
    CSafeFolder& operator=(CSafeFolder&& o) noexcept;

    // Opens the folder pszPath as it is; a link in its place is opened as the link, never
    // followed. False with the system's error (ERROR_FILE_NOT_FOUND or ERROR_PATH_NOT_FOUND
    // when missing); for anything that is not a folder (a link included) *pItem still
    // tells what is there, and pParent (when given) holds the folder it lies in.
    bool OpenPath(const char* pszPath, DWORD& dwError, CSafeItem* pItem = nullptr, CSafeFolder* pParent = nullptr);

    // Every entry but "." and "..", fresh from the system.
    bool List(std::vector<CSafeItem>& items, DWORD& dwError) const;
    // Looks an entry up by name, not case-sensitive; the folder is listed the first time
    // and that listing is kept. False (dwError ERROR_FILE_NOT_FOUND) when there is none.
    bool Find(const std::string& sName, CSafeItem& item, DWORD& dwError);
    // Opens a listed folder entry for walking into it. Fails for a link, and when the entry
    // is no longer the one listed (swapped since), with ERROR_CANT_RESOLVE_FILENAME.
    bool OpenChild(const CSafeItem& item, CSafeFolder& child, DWORD& dwError) const;
    // Deletes a listed entry: a file, a link as the link, or an empty folder. Fails like
    // OpenChild when the entry changed since it was listed, and for a link that this
    // system can only open by following it (Wine's symbolic links).
    bool Remove(const CSafeItem& item, DWORD& dwError) const;
    // Deletes this folder itself when it is empty, through its own handle; closes it.
    bool RemoveSelf(DWORD& dwError);
    // Reads a listed file entry of at most nMaxSize bytes (checked like Remove).
    bool ReadFileEntry(const CSafeItem& item, DWORD nMaxSize, std::string& sContent, DWORD& dwError) const;

    const std::string& Path() const { return m_sPath; }
    bool IsOpen() const { return m_h != INVALID_HANDLE_VALUE || (!m_sPath.empty() && m_bPathOnly); }
    void Close();

private:
    HANDLE m_h = INVALID_HANDLE_VALUE;
    std::string m_sPath;     // for the log, and the only way in without the handle calls
    bool m_bPathOnly = false;
    bool m_bListed = false;
    std::vector<CSafeItem> m_listing;
};

// Whether the handle-relative calls are there (they are on every NT system).
bool SafeRemoveUsesHandles();

// Deletes everything below an opened folder, links as links; a folder that cannot be
// emptied stays, and so does a link that the system cannot remove without following it.
// With bLog each folder's walk and each failure go to the setup log, and a folder that
// cannot be listed is reported to the user. True when everything below went.
bool EmptySafeFolder(CSafeFolder& folder, bool bLog);
