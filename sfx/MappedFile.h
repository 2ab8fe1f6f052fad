#pragma once
// A whole file mapped read-only into memory: how the package is read, never copied.
#include <windows.h>

#include <string>

#include "framework/Unique.h"

class CMappedFile {
public:
    CMappedFile() = default;
    ~CMappedFile() { Close(); }
    CMappedFile(const CMappedFile&) = delete;
    CMappedFile& operator=(const CMappedFile&) = delete;

    // Opens pszPath with the given access and disposition (read sharing) and maps all of it.
    // False at once when a file is already held; false, with nothing held, when the file
    // cannot be opened, is empty or 4 GB and more, or cannot be mapped: GetLastError()
    // then tells why.
    bool Open(const char* pszPath, DWORD dwAccess, DWORD dwDisposition);
    // Releases view, mapping and file; true only when every release succeeded.
    bool Close();

    bool IsOpen() const { return m_pView != nullptr; }
    const BYTE* GetView() const { return m_pView; }
    DWORD GetSize() const { return m_dwSize; }
    // The path it was opened with, for messages.
    const std::string& GetPath() const { return m_sPath; }

private:
    HANDLE m_hFile = INVALID_HANDLE_VALUE;
    HANDLE m_hMapping = nullptr;
    const BYTE* m_pView = nullptr;
    DWORD m_dwSize = 0;
    std::string m_sPath;
};
