// A program for the process tests:
//   tsproc exit N            ends with exit code N
//   tsproc sleep MS          ends with 0 after MS milliseconds
//   tsproc record FILE ...   writes its command line and current folder into FILE, ends with 0
//   tsproc comctl            ends with 10 * (TsLoadLibrary took the side-by-side common controls)
//                            + (a plain LoadLibrary took them)
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Strings/TsFile.h"

namespace {

// Whether the loaded library is the side-by-side one that a manifest asks for. (Wine's two
// copies report the same DllGetVersion, so the file's place tells them apart.)
int IsSideBySide(HMODULE hModule)
{
    if (!hModule)
        return 0;
    char szPath[MAX_PATH] = "";
    ::GetModuleFileNameA(hModule, szPath, MAX_PATH);
    ::FreeLibrary(hModule);
    CharLowerA(szPath);
    return std::strstr(szPath, "\\winsxs\\") ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc >= 3 && std::strcmp(argv[1], "exit") == 0)
        return std::atoi(argv[2]);
    if (argc >= 3 && std::strcmp(argv[1], "sleep") == 0) {
        ::Sleep(static_cast<DWORD>(std::atoi(argv[2])));
        return 0;
    }
    if (argc >= 3 && std::strcmp(argv[1], "record") == 0) {
        char szFolder[MAX_PATH] = "";
        ::GetCurrentDirectoryA(MAX_PATH, szFolder);
        FILE* pFile = std::fopen(argv[2], "wb");
        if (!pFile)
            return 2;
        std::fprintf(pFile, "%s\n%s\n", ::GetCommandLineA(), szFolder);
        std::fclose(pFile);
        return 0;
    }
    if (argc >= 2 && std::strcmp(argv[1], "comctl") == 0) {
        int nPlain = IsSideBySide(::LoadLibraryA("comctl32.dll"));
        int nIsolated = IsSideBySide(TsLoadLibrary("comctl32.dll"));
        return nIsolated * 10 + nPlain;
    }
    return 1;
}
