#include "sfx/MappedFile.h"

bool CMappedFile::Open(const char* pszPath, DWORD dwAccess, DWORD dwDisposition)
{
    if (m_hFile != INVALID_HANDLE_VALUE || m_hMapping || m_pView)
        return false;
    CUniqueFile file(::CreateFileA(pszPath, dwAccess, FILE_SHARE_READ, nullptr, dwDisposition, FILE_ATTRIBUTE_NORMAL,
                                   nullptr));
    if (!file)
        return false;
    DWORD dwHigh = 0;
    DWORD dwSize = ::GetFileSize(file.Get(), &dwHigh);
    if (dwSize == INVALID_FILE_SIZE && ::GetLastError() != NO_ERROR)
        return false;
    // Offsets in a package are 32-bit; a bigger file cannot be one, and an empty file
    // cannot be mapped.
    if (dwHigh != 0) {
        ::SetLastError(ERROR_FILE_TOO_LARGE);
        return false;
    }
    if (dwSize == 0) {
        ::SetLastError(ERROR_FILE_INVALID);
        return false;
    }
    CUniqueHandle mapping(::CreateFileMappingA(file.Get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
    if (!mapping)
        return false;
    void* pView = ::MapViewOfFile(mapping.Get(), FILE_MAP_READ, 0, 0, 0);
    if (!pView)
        return false;
    m_hFile = file.Release();
    m_hMapping = mapping.Release();
    m_pView = static_cast<const BYTE*>(pView);
    m_dwSize = dwSize;
    m_sPath = pszPath;
    return true;
}

bool CMappedFile::Close()
{
    bool bOk = true;
    if (m_pView && !::UnmapViewOfFile(m_pView))
        bOk = false;
    if (m_hMapping && !::CloseHandle(m_hMapping))
        bOk = false;
    if (m_hFile != INVALID_HANDLE_VALUE && !::CloseHandle(m_hFile))
        bOk = false;
    m_pView = nullptr;
    m_hMapping = nullptr;
    m_hFile = INVALID_HANDLE_VALUE;
    m_dwSize = 0;
    m_sPath.clear();
    return bOk;
}
