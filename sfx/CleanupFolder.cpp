#include "sfx/CleanupFolder.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "Strings/TsLog.h"
#include "framework/Unique.h"
#include "sfx/ReportSetupError.h"
#include "Strings/TsSafeFs.h"

namespace {

void LogFolder(const std::string& sFolder)
{
    TsLogWrite("ForEachFile() - by mask ", (sFolder + "\\*.*").c_str(), 0, TRUE);
}

void ReportListFailed(const std::string& sFolder, DWORD dwError)
{
    ReportSetupError("File operation failed for ", (sFolder + "\\*.*").c_str(), dwError);
}

void LogEntryFailed(const std::string& sPath, const CSafeItem& item, DWORD dwError)
{
    const char* pszWhat = item.IsFolder() ? "ActDelFile() - can't remove directory"
                          : item.IsLink() ? "ActDelFile() - can't remove link"
                                          : "ActDelFile() - can't delete file";
    TsLogWrite(pszWhat, sPath.c_str(), dwError, TRUE);
}

void LogFolderDone(const std::string&, bool bOk)
{
    TsLogWrite("ForEachFile() - ", bOk ? "OK" : "FAIL", 0, TRUE);
}

}  // namespace

bool EmptySafeFolder(CSafeFolder& folder, bool bLog)
{
    SafeWalkLog log;
    if (bLog) {
        log.pfnFolder = LogFolder;
        log.pfnListFailed = ReportListFailed;
        log.pfnEntryFailed = LogEntryFailed;
        log.pfnFolderDone = LogFolderDone;
    }
    return TsEmptySafeFolder(folder, log);
}

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
    // The path is used once, to open the entry as itself; everything below is reached
    // through the handles (see SafeRemove).
    CSafeFolder folder;
    CSafeFolder parent;
    CSafeItem item;
    DWORD dwError = 0;
    if (folder.OpenPath(pszPath, dwError, &item, &parent)) {
        bool bOk = EmptySafeFolder(folder, true);
        if (folder.RemoveSelf(dwError))
            return bOk;
        TsLogWrite("ActDelFile() - can't remove directory", pszPath, dwError, TRUE);
        return false;
    }
    if (!item.sName.empty() && parent.IsOpen() && parent.Remove(item, dwError))
        return true;
    TsLogWrite(item.IsLink() ? "ActDelFile() - can't remove link" : "ActDelFile() - can't delete file", pszPath, dwError,
               TRUE);
    return false;
}

bool CleanupFolder(const char* pszFolder)
{
    if (!pszFolder)
        return false;
    TsLogWrite("Cleanup folder ", pszFolder, 0, TRUE);
    CSafeFolder folder;
    CSafeFolder parent;
    CSafeItem item;
    DWORD dwError = 0;
    if (!folder.OpenPath(pszFolder, dwError, &item, &parent)) {
        // A folder that is itself a link is removed as a link; walking it would empty its target.
        if (item.IsLink() && parent.IsOpen() && parent.Remove(item, dwError))
            return true;
        if (dwError == ERROR_FILE_NOT_FOUND || dwError == ERROR_PATH_NOT_FOUND) {
            std::string sMask = std::string(pszFolder) + "\\*.*";
            ReportSetupError("Can't find any files matching ", sMask.c_str(), dwError);
        }
        TsLogWrite("Cleanup folder err ", pszFolder, dwError, TRUE);
        return false;
    }
    if (!EmptySafeFolder(folder, true)) {
        TsLogWrite("Cleanup files err ", pszFolder, ::GetLastError(), TRUE);
        return false;
    }
    if (!folder.RemoveSelf(dwError)) {
        TsLogWrite("Cleanup folder err ", pszFolder, dwError, TRUE);
        return false;
    }
    return true;
}
