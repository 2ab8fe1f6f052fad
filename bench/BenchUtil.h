#pragma once
// Small helpers shared by the benchmark programs.
#include <windows.h>

#include <string>

namespace bench {

// Deletes a folder and everything below it. A linked folder is removed as a link; what it
// points to is left alone.
inline void RemoveTree(const std::string& sPath)
{
    WIN32_FIND_DATAA fd;
    HANDLE h = ::FindFirstFileA((sPath + "\\*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            std::string sName = fd.cFileName;
            if (sName == "." || sName == "..")
                continue;
            std::string sChild = sPath + "\\" + sName;
            if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                ::DeleteFileA(sChild.c_str());
            else if (fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
                ::RemoveDirectoryA(sChild.c_str());
            else
                RemoveTree(sChild);
        } while (::FindNextFileA(h, &fd));
        ::FindClose(h);
    }
    ::RemoveDirectoryA(sPath.c_str());
}

}  // namespace bench
