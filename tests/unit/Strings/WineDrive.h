#pragma once
// Maps a drive letter of the running Wine prefix to a folder, with a drive type, through
// Wine's mount manager (the way winecfg does it), so that no wineserver restart is needed.
// The letter is removed again on destruction.
#include <windows.h>
#include <winioctl.h>

#include <string>
#include <vector>

class CWineDrive {
public:
    CWineDrive(char chLetter, const std::string& sFolder, UINT uType) : m_chLetter(static_cast<char>(chLetter | 0x20))
    {
        using UnixNameFn = char*(CDECL*)(LPCWSTR);
        auto pfnUnixName = reinterpret_cast<UnixNameFn>(
            reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
        if (!pfnUnixName)
            return;
        std::wstring wFolder(sFolder.begin(), sFolder.end());
        char* pszUnix = pfnUnixName(wFolder.c_str());
        if (!pszUnix)
            return;
        std::string sUnix(pszUnix);
        ::HeapFree(::GetProcessHeap(), 0, pszUnix);
        m_bDefined = Define(sUnix.c_str(), uType);
    }
    ~CWineDrive()
    {
        if (m_bDefined)
            Define(nullptr, DRIVE_NO_ROOT_DIR);
    }
    CWineDrive(const CWineDrive&) = delete;
    CWineDrive& operator=(const CWineDrive&) = delete;

    bool Defined() const { return m_bDefined; }
    std::string Root() const { return std::string(1, static_cast<char>(m_chLetter & ~0x20)) + ":"; }

private:
    // The request of Wine's mount manager that defines (or, without a folder, removes) a letter.
    struct UnixDrive {
        ULONG size;
        ULONG type;
        ULONG fs_type;
        DWORD serial;
        ULONGLONG unix_dev;
        WCHAR letter;
        USHORT mount_point_offset;
        USHORT device_offset;
        USHORT label_offset;
    };

    bool Define(const char* pszUnixPath, UINT uType)
    {
        HANDLE hManager = ::CreateFileW(L"\\\\.\\MountPointManager", GENERIC_READ | GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        if (hManager == INVALID_HANDLE_VALUE)
            return false;
        size_t nPath = pszUnixPath ? std::string(pszUnixPath).size() + 1 : 0;
        std::vector<char> buffer(sizeof(UnixDrive) + nPath, '\0');
        auto* pDrive = reinterpret_cast<UnixDrive*>(buffer.data());
        pDrive->size = static_cast<ULONG>(buffer.size());
        pDrive->type = uType;
        pDrive->letter = static_cast<WCHAR>(m_chLetter);
        if (pszUnixPath) {
            pDrive->mount_point_offset = static_cast<USHORT>(sizeof(UnixDrive));
            std::copy(pszUnixPath, pszUnixPath + nPath, buffer.begin() + sizeof(UnixDrive));
        }
        const DWORD kDefineUnixDrive = CTL_CODE('m', 32, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS);
        DWORD cb = 0;
        BOOL bOk = ::DeviceIoControl(hManager, kDefineUnixDrive, buffer.data(), static_cast<DWORD>(buffer.size()),
                                     nullptr, 0, &cb, nullptr);
        ::CloseHandle(hManager);
        return bOk != FALSE;
    }

    char m_chLetter;
    bool m_bDefined = false;
};
