#include "sfx/CleanupFolder.h"

#include <cstdio>
#include <cstring>

#include "Strings/TsLog.h"
#include "framework/Unique.h"
#include "sfx/ReportSetupError.h"

namespace {

bool IsLink(DWORD dwAttr)
{
    return dwAttr != INVALID_FILE_ATTRIBUTES && (dwAttr & FILE_ATTRIBUTE_REPARSE_POINT);
}

}  // namespace

bool ForEachFile(const char* pszFolder, SfxFileAction pfnAction, void* pParameter)
{
    if (!pszFolder || !pfnAction)
        return false;
    char szMask[MAX_PATH + 8];
    std::snprintf(szMask, sizeof(szMask), "%s\\*.*", pszFolder);
    TsLogWrite("ForEachFile() - by mask ", szMask, 0, TRUE);

    WIN32_FIND_DATAA fd;
    CUniqueFind find(::FindFirstFileA(szMask, &fd));
    if (!find) {
        ReportSetupError("Can't find any files matching ", szMask, ::GetLastError());
        return false;
    }
    bool bOk = true;
    do {
        if (!std::strcmp(fd.cFileName, ".") || !std::strcmp(fd.cFileName, ".."))
            continue;
        char szPath[MAX_PATH * 2];
        std::snprintf(szPath, sizeof(szPath), "%s\\%s", pszFolder, fd.cFileName);
        if (!pfnAction(szPath, pParameter))
            bOk = false;
    } while (::FindNextFileA(find.Get(), &fd));
    DWORD dwError = ::GetLastError();
    if (dwError != ERROR_NO_MORE_FILES) {
        ReportSetupError("File operation failed for ", szMask, dwError);
        bOk = false;
    }
    find.Reset();
    TsLogWrite("ForEachFile() - ", bOk ? "OK" : "FAIL", 0, TRUE);
    return bOk;
}

bool ActDelFile(const char* pszPath, void*)
{
    DWORD dwAttr = ::GetFileAttributesA(pszPath);
    if (dwAttr != INVALID_FILE_ATTRIBUTES && (dwAttr & FILE_ATTRIBUTE_DIRECTORY)) {
        // A junction or directory link goes, its target's content stays.
        if (IsLink(dwAttr)) {
            if (::RemoveDirectoryA(pszPath))
                return true;
            TsLogWrite("ActDelFile() - can't remove directory", pszPath, ::GetLastError(), TRUE);
            return false;
        }
        bool bOk = ForEachFile(pszPath, ActDelFile, nullptr);
        if (!::RemoveDirectoryA(pszPath))
            TsLogWrite("ActDelFile() - can't remove directory", pszPath, 0, TRUE);
        return bOk;
    }
    return ::DeleteFileA(pszPath) != FALSE;
}

bool CleanupFolder(const char* pszFolder)
{
    if (!pszFolder)
        return false;
    TsLogWrite("Cleanup folder ", pszFolder, 0, TRUE);
    // A folder that is itself a link is removed as a link; walking it would empty its target.
    if (!IsLink(::GetFileAttributesA(pszFolder)) && !ForEachFile(pszFolder, ActDelFile, nullptr)) {
        TsLogWrite("Cleanup files err ", pszFolder, ::GetLastError(), TRUE);
        return false;
    }
    if (!::RemoveDirectoryA(pszFolder)) {
        TsLogWrite("Cleanup folder err ", pszFolder, ::GetLastError(), TRUE);
        return false;
    }
    return true;
}
