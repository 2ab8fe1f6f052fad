#pragma once
// The few file-system operations the package tool needs, for POSIX hosts and for Windows.
// Paths inside packs use backslashes; these functions take host paths.
#include <cstdint>
#include <string>
#include <vector>

namespace hostfs {

extern const char kSeparator;

bool ReadWholeFile(const std::string& sPath, std::string& sOut, std::string& sError);
bool WriteWholeFile(const std::string& sPath, const std::string& sData, std::string& sError);

// Every regular file below sRoot as a path relative to it with backslashes, folders and
// names in byte order, so that a package does not depend on the order the system lists.
// Links and special files are refused.
bool ListTree(const std::string& sRoot, std::vector<std::string>& relPaths, std::string& sError);

// sRoot joined with a pack path (backslashes turned into the host's separator).
std::string JoinPackPath(const std::string& sRoot, const std::string& sPackPath);

bool IsFolder(const std::string& sPath);
// Creates one folder; an existing real folder is fine, a link or a file in its place is not.
bool MakeFolder(const std::string& sPath, std::string& sError);
// Creates sPath and its missing parents.
bool MakeFolders(const std::string& sPath, std::string& sError);

// A file opened for writing that replaces an existing file but never writes through a
// link in its place.
class COutFile {
public:
    COutFile() = default;
    ~COutFile();
    COutFile(const COutFile&) = delete;
    COutFile& operator=(const COutFile&) = delete;
    bool Create(const std::string& sPath, std::string& sError);
    bool Write(const void* pData, size_t nSize, std::string& sError);
    void Close();
private:
#ifdef _WIN32
    void* m_h = reinterpret_cast<void*>(static_cast<intptr_t>(-1));
#else
    int m_fd = -1;
#endif
};

bool RemoveFile(const std::string& sPath);

}  // namespace hostfs
