#include "tools/wfpack/HostFiles.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace hostfs {

#ifdef _WIN32
const char kSeparator = '\\';

namespace {

std::string SystemText(DWORD dwError)
{
    char szText[512] = "";
    DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, dwError, 0, szText,
                               sizeof(szText), nullptr);
    while (n > 0 && (szText[n - 1] == '\r' || szText[n - 1] == '\n' || szText[n - 1] == ' '))
        szText[--n] = 0;
    return n ? std::string(szText) : "error " + std::to_string(dwError);
}

}  // namespace

bool ReadWholeFile(const std::string& sPath, std::string& sOut, std::string& sError)
{
    HANDLE h = ::CreateFileA(sPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        sError = sPath + ": " + SystemText(::GetLastError());
        return false;
    }
    LARGE_INTEGER size;
    bool bOk = ::GetFileSizeEx(h, &size) != FALSE;
    if (bOk && size.QuadPart > 0xFFFFFFFFLL) {
        ::CloseHandle(h);
        sError = sPath + ": file of 4 GB or more";
        return false;
    }
    sOut.assign(bOk ? static_cast<size_t>(size.QuadPart) : 0, '\0');
    size_t nDone = 0;
    while (bOk && nDone < sOut.size()) {
        DWORD n = 0;
        DWORD dwWant = static_cast<DWORD>(std::min<size_t>(sOut.size() - nDone, 1u << 24));
        bOk = ::ReadFile(h, &sOut[nDone], dwWant, &n, nullptr) && n > 0;
        nDone += n;
    }
    DWORD dwError = ::GetLastError();
    ::CloseHandle(h);
    if (!bOk) {
        sError = sPath + ": " + SystemText(dwError);
        return false;
    }
    return true;
}

static bool ListTreeBelow(const std::string& sRoot, const std::string& sRel, std::vector<std::string>& out,
                          std::string& sError)
{
    std::string sFolder = sRel.empty() ? sRoot : sRoot + "\\" + sRel;
    WIN32_FIND_DATAA fd;
    HANDLE h = ::FindFirstFileA((sFolder + "\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) {
        sError = sFolder + ": " + SystemText(::GetLastError());
        return false;
    }
    std::vector<std::pair<std::string, DWORD>> names;
    do {
        if (std::strcmp(fd.cFileName, ".") && std::strcmp(fd.cFileName, ".."))
            names.emplace_back(fd.cFileName, fd.dwFileAttributes);
    } while (::FindNextFileA(h, &fd));
    ::FindClose(h);
    std::sort(names.begin(), names.end());
    for (const auto& n : names) {
        std::string sChild = sRel.empty() ? n.first : sRel + "\\" + n.first;
        if (n.second & FILE_ATTRIBUTE_REPARSE_POINT) {
            sError = sRoot + "\\" + sChild + ": links are not packed";
            return false;
        }
        if (n.second & FILE_ATTRIBUTE_DIRECTORY) {
            if (!ListTreeBelow(sRoot, sChild, out, sError))
                return false;
        } else {
            out.push_back(sChild);
        }
    }
    return true;
}

bool ListTree(const std::string& sRoot, std::vector<std::string>& relPaths, std::string& sError)
{
    relPaths.clear();
    if (!IsFolder(sRoot)) {
        sError = sRoot + ": no such folder";
        return false;
    }
    return ListTreeBelow(sRoot, "", relPaths, sError);
}

std::string JoinPackPath(const std::string& sRoot, const std::string& sPackPath)
{
    return sRoot + "\\" + sPackPath;
}

bool IsFolder(const std::string& sPath)
{
    DWORD dw = ::GetFileAttributesA(sPath.c_str());
    return dw != INVALID_FILE_ATTRIBUTES && (dw & FILE_ATTRIBUTE_DIRECTORY);
}

bool MakeFolder(const std::string& sPath, std::string& sError)
{
    if (::CreateDirectoryA(sPath.c_str(), nullptr))
        return true;
    DWORD dwError = ::GetLastError();
    DWORD dw = ::GetFileAttributesA(sPath.c_str());
    if (dwError == ERROR_ALREADY_EXISTS && dw != INVALID_FILE_ATTRIBUTES && (dw & FILE_ATTRIBUTE_DIRECTORY) &&
        !(dw & FILE_ATTRIBUTE_REPARSE_POINT))
        return true;
    sError = sPath + ": " + (dw & FILE_ATTRIBUTE_REPARSE_POINT && dw != INVALID_FILE_ATTRIBUTES
                                 ? std::string("a link is in the way")
                                 : SystemText(dwError));
    return false;
}

COutFile::~COutFile() { Close(); }

bool COutFile::Create(const std::string& sPath, std::string& sError)
{
    Close();
    DWORD dw = ::GetFileAttributesA(sPath.c_str());
    if (dw != INVALID_FILE_ATTRIBUTES && (dw & FILE_ATTRIBUTE_REPARSE_POINT)) {
        sError = sPath + ": a link is in the way";
        return false;
    }
    m_h = ::CreateFileA(sPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (m_h == INVALID_HANDLE_VALUE) {
        sError = sPath + ": " + SystemText(::GetLastError());
        return false;
    }
    return true;
}

bool COutFile::Write(const void* pData, size_t nSize, std::string& sError)
{
    const char* p = static_cast<const char*>(pData);
    while (nSize > 0) {
        DWORD n = 0;
        DWORD dwWant = static_cast<DWORD>(std::min<size_t>(nSize, 1u << 24));
        if (!::WriteFile(m_h, p, dwWant, &n, nullptr) || n != dwWant) {
            sError = SystemText(::GetLastError());
            return false;
        }
        p += n;
        nSize -= n;
    }
    return true;
}

void COutFile::Close()
{
    if (m_h != INVALID_HANDLE_VALUE)
        ::CloseHandle(m_h);
    m_h = INVALID_HANDLE_VALUE;
}

bool RemoveFile(const std::string& sPath) { return ::DeleteFileA(sPath.c_str()) != FALSE; }

#else  // POSIX

const char kSeparator = '/';

namespace {

std::string ErrnoText(int nError) { return std::strerror(nError); }

}  // namespace

bool ReadWholeFile(const std::string& sPath, std::string& sOut, std::string& sError)
{
    int fd = ::open(sPath.c_str(), O_RDONLY);
    if (fd < 0) {
        sError = sPath + ": " + ErrnoText(errno);
        return false;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        sError = sPath + ": not a regular file";
        return false;
    }
    if (static_cast<uint64_t>(st.st_size) > 0xFFFFFFFFull) {
        ::close(fd);
        sError = sPath + ": file of 4 GB or more";
        return false;
    }
    sOut.assign(static_cast<size_t>(st.st_size), '\0');
    size_t nDone = 0;
    while (nDone < sOut.size()) {
        ssize_t n = ::read(fd, &sOut[nDone], sOut.size() - nDone);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            int nError = n < 0 ? errno : EIO;
            ::close(fd);
            sError = sPath + ": " + ErrnoText(nError);
            return false;
        }
        nDone += static_cast<size_t>(n);
    }
    ::close(fd);
    return true;
}

static bool ListTreeBelow(const std::string& sRoot, const std::string& sRel, std::vector<std::string>& out,
                          std::string& sError)
{
    std::string sFolder = sRel.empty() ? sRoot : sRoot + "/" + sRel;
    DIR* d = ::opendir(sFolder.c_str());
    if (!d) {
        sError = sFolder + ": " + ErrnoText(errno);
        return false;
    }
    std::vector<std::string> names;
    while (struct dirent* e = ::readdir(d))
        if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, ".."))
            names.emplace_back(e->d_name);
    ::closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string& n : names) {
        std::string sChildRel = sRel.empty() ? n : sRel + "/" + n;
        std::string sChild = sRoot + "/" + sChildRel;
        struct stat st;
        if (::lstat(sChild.c_str(), &st) != 0) {
            sError = sChild + ": " + ErrnoText(errno);
            return false;
        }
        if (S_ISDIR(st.st_mode)) {
            if (!ListTreeBelow(sRoot, sChildRel, out, sError))
                return false;
        } else if (S_ISREG(st.st_mode)) {
            std::string sPackPath = sChildRel;
            std::replace(sPackPath.begin(), sPackPath.end(), '/', '\\');
            out.push_back(sPackPath);
        } else {
            sError = sChild + ": only folders and regular files are packed (links and devices are not)";
            return false;
        }
    }
    return true;
}

bool ListTree(const std::string& sRoot, std::vector<std::string>& relPaths, std::string& sError)
{
    relPaths.clear();
    if (!IsFolder(sRoot)) {
        sError = sRoot + ": no such folder";
        return false;
    }
    return ListTreeBelow(sRoot, "", relPaths, sError);
}

std::string JoinPackPath(const std::string& sRoot, const std::string& sPackPath)
{
    std::string s = sPackPath;
    std::replace(s.begin(), s.end(), '\\', '/');
    return sRoot + "/" + s;
}

bool IsFolder(const std::string& sPath)
{
    struct stat st;
    return ::stat(sPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool MakeFolder(const std::string& sPath, std::string& sError)
{
    if (::mkdir(sPath.c_str(), 0755) == 0)
        return true;
    int nError = errno;
    struct stat st;
    if (nError == EEXIST && ::lstat(sPath.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return true;
        sError = sPath + (S_ISLNK(st.st_mode) ? ": a link is in the way" : ": a file is in the way");
        return false;
    }
    sError = sPath + ": " + ErrnoText(nError);
    return false;
}

COutFile::~COutFile() { Close(); }

bool COutFile::Create(const std::string& sPath, std::string& sError)
{
    Close();
    m_fd = ::open(sPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0644);
    if (m_fd < 0) {
        sError = sPath + (errno == ELOOP ? ": a link is in the way" : ": " + ErrnoText(errno));
        return false;
    }
    return true;
}

bool COutFile::Write(const void* pData, size_t nSize, std::string& sError)
{
    const char* p = static_cast<const char*>(pData);
    while (nSize > 0) {
        ssize_t n = ::write(m_fd, p, nSize);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            sError = ErrnoText(n < 0 ? errno : EIO);
            return false;
        }
        p += n;
        nSize -= static_cast<size_t>(n);
    }
    return true;
}

void COutFile::Close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool RemoveFile(const std::string& sPath) { return ::unlink(sPath.c_str()) == 0; }

#endif

bool WriteWholeFile(const std::string& sPath, const std::string& sData, std::string& sError)
{
    COutFile file;
    if (!file.Create(sPath, sError))
        return false;
    if (!file.Write(sData.data(), sData.size(), sError)) {
        sError = sPath + ": " + sError;
        return false;
    }
    return true;
}

bool MakeFolders(const std::string& sPath, std::string& sError)
{
    if (IsFolder(sPath))
        return true;
    size_t nPos = sPath.find_last_of(kSeparator == '\\' ? "\\/" : "/");
    if (nPos != std::string::npos && nPos > 0) {
        std::string sParent = sPath.substr(0, nPos);
        // "C:" and "/" need no creating.
        if (!(sParent.size() == 2 && sParent[1] == ':') && !MakeFolders(sParent, sError))
            return false;
    }
    return MakeFolder(sPath, sError);
}

}  // namespace hostfs
