#pragma once
// Small helpers for tests that touch real files, folders and processes under Wine.
#include <windows.h>
#include <string>

namespace testutil {

// A fresh folder below the temporary folder, removed with everything in it on destruction.
class CTempDir {
public:
    CTempDir();
    ~CTempDir();
    CTempDir(const CTempDir&) = delete;
    CTempDir& operator=(const CTempDir&) = delete;
    const std::string& Path() const { return m_path; }
    std::string operator/(const std::string& rel) const { return m_path + "\\" + rel; }
private:
    std::string m_path;
};

// A readable page followed by one that cannot be read: bytes placed so that they end at
// End() make any read beyond them fault. Released on destruction.
class CGuardedPage {
public:
    CGuardedPage();
    ~CGuardedPage();
    CGuardedPage(const CGuardedPage&) = delete;
    CGuardedPage& operator=(const CGuardedPage&) = delete;
    bool Valid() const { return m_pEnd != nullptr; }
    char* End() const { return m_pEnd; }   // the first byte that cannot be read
private:
    char* m_pBase = nullptr;
    char* m_pEnd = nullptr;
};

bool WriteFileBytes(const std::string& path, const std::string& bytes);  // creates parent folders
bool ReadFileBytes(const std::string& path, std::string& bytes);
std::string ReadFileOrEmpty(const std::string& path);
bool FileExists(const std::string& path);
bool FolderExists(const std::string& path);
void RemoveTree(const std::string& path);     // never follows reparse points
bool CreateFolders(const std::string& path);

// A folder link (a Unix symbolic link under Wine, a junction on Windows); waits until the
// system shows it as a reparse point.
bool MakeFolderLink(const std::string& sLink, const std::string& sTarget);
// Removes such a link without touching its target (Wine's own calls would follow it).
void RemoveFolderLink(const std::string& sLink);

// Runs a Unix command line (Wine only), waiting until it ended; its exit code, or -1.
int RunUnixCommand(const std::string& sCommand);
// The Unix path of a Windows path whose last part need not exist (Wine only, else empty).
std::string UnixPathOf(const std::string& sPath);

// A small file system (a tmpfs of the given size, "256k") mounted on an empty folder for the
// time of a test: a volume that fills up. Not mounted where that cannot be done.
class CSmallVolume {
public:
    CSmallVolume(const std::string& sFolder, const char* pszSize);
    ~CSmallVolume();
    CSmallVolume(const CSmallVolume&) = delete;
    CSmallVolume& operator=(const CSmallVolume&) = delete;
    bool Mounted() const { return !m_sUnix.empty(); }
    // Takes the room left with a file of that name, so that the next write finds none.
    bool Fill(const std::string& sFile) const;
private:
    std::string m_sUnix;
};

// Folder of the running test program.
std::string ModuleFolder();

// The Windows major version this program is told (winecfg -v sets it for a whole prefix):
// tests of roads that differ by version check what each version asks for.
DWORD WindowsMajor();

// Starts a command line and waits; returns the exit code, or -1 when it could not start
// and -2 on timeout (the process is then killed).
int RunAndWait(const std::string& cmdLine, DWORD dwTimeoutMs = 60000, const char* pszCurrentDir = nullptr);

}  // namespace testutil
