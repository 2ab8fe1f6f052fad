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

bool WriteFileBytes(const std::string& path, const std::string& bytes);  // creates parent folders
bool ReadFileBytes(const std::string& path, std::string& bytes);
std::string ReadFileOrEmpty(const std::string& path);
bool FileExists(const std::string& path);
bool FolderExists(const std::string& path);
void RemoveTree(const std::string& path);     // never follows reparse points
bool CreateFolders(const std::string& path);

// Folder of the running test program.
std::string ModuleFolder();

// Starts a command line and waits; returns the exit code, or -1 when it could not start
// and -2 on timeout (the process is then killed).
int RunAndWait(const std::string& cmdLine, DWORD dwTimeoutMs = 60000, const char* pszCurrentDir = nullptr);

}  // namespace testutil
