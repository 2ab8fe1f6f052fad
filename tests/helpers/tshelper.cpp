// Runs its arguments as a list of commands, in order, and appends one line per result to
// the file given with "-o". Exit code: 0, or 3 for a command it does not know.
//
//   connect                 TsConnectSharedData: "connect ok=1 created=0 error=0"
//   disconnect              TsDisconnectShared
//   lock LABEL              takes the interprocess lock with that label and keeps it
//   unlock                  gives up the most recent hold
//   signal NAME / wait NAME sets / waits (30 s at most) for the named event
//   sleep MS
//   setwatcher HEX          SetWatcherWnd(handle, 0x5A5A)
//   getwatcher              "watcher=HEX"
//   dword OFFSET            "dword@OFFSET=VALUE" from the block
//   logoff                  TsConnectLogoffDisconnect
//   blockmapping            makes the block's name unusable for a mapping in this session
//   smallmapping            holds a mapping of the block's name that is one page small
//   u3                      "u3 mode=1 letter=G doc=..."
//   version                 "vista=0"
//   security PATH           results of the labelling functions on a fresh mutex and a missing file
//   stuck PID LABEL         records PID and LABEL as the lock's owner in the block, then waits
//                           on a broken mutex, which asks the user: "stuck=0" or "stuck=1".
//                           PID 0: a sleeping copy of this program is started to be the owner.
//                           A report the user agrees to is recorded: "report dontask=1".
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Strings/TsErrorCatcher.h"
#include "Strings/TsLock.h"
#include "Strings/TsSecurity.h"
#include "Strings/TsSharedData.h"
#include "Strings/TsU3.h"

namespace {

FILE* g_out = nullptr;

void Out(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));
void Out(const char* pszFormat, ...)
{
    if (!g_out)
        return;
    va_list args;
    va_start(args, pszFormat);
    std::vfprintf(g_out, pszFormat, args);
    va_end(args);
    std::fputc('\n', g_out);
    std::fflush(g_out);
}

// A helper never sends an error report anywhere: it records that one was made.
void RecordReport(const char* /*pszMessage*/, bool /*bMemoryFull*/, bool /*bShowDuplicates*/, bool bDontAsk)
{
    Out("report dontask=%d", bDontAsk ? 1 : 0);
}

}  // namespace

int main(int argc, char** argv)
{
    TsSetBadErrorSink(RecordReport);
    std::vector<std::unique_ptr<CTsSingleLock>> locks;
    std::vector<HANDLE> keep;
    for (int i = 1; i < argc; ++i) {
        std::string cmd = argv[i];
        const char* arg = i + 1 < argc ? argv[i + 1] : "";
        if (cmd == "-o") {
            g_out = std::fopen(arg, "ab");
            ++i;
        } else if (cmd == "connect") {
            bool bCreated = false;
            DWORD dwError = 0;
            bool bOk = TsConnectSharedData(bCreated, dwError);
            Out("connect ok=%d created=%d error=%lu", bOk ? 1 : 0, bCreated ? 1 : 0, static_cast<unsigned long>(dwError));
        } else if (cmd == "disconnect") {
            TsDisconnectShared();
        } else if (cmd == "lock") {
            locks.push_back(std::make_unique<CTsSingleLock>(arg, &TsInterprocessMutex(), true));
            ++i;
        } else if (cmd == "unlock") {
            if (!locks.empty())
                locks.pop_back();
        } else if (cmd == "signal" || cmd == "wait") {
            HANDLE h = ::CreateEventA(nullptr, TRUE, FALSE, arg);
            if (cmd == "signal")
                ::SetEvent(h);
            else
                Out("wait=%lu", static_cast<unsigned long>(::WaitForSingleObject(h, 30000)));
            keep.push_back(h);
            ++i;
        } else if (cmd == "sleep") {
            ::Sleep(static_cast<DWORD>(std::atoi(arg)));
            ++i;
        } else if (cmd == "setwatcher") {
            SetWatcherWnd(TsFieldToWnd(static_cast<DWORD>(std::strtoul(arg, nullptr, 16))), 0x5A5A);
            ++i;
        } else if (cmd == "getwatcher") {
            Out("watcher=%lx", static_cast<unsigned long>(TsWndToField(GetWatcherWnd())));
        } else if (cmd == "dword") {
            int nOffset = std::atoi(arg);
            DWORD dw = 0;
            if (g_pTsSharedData)
                std::memcpy(&dw, reinterpret_cast<const BYTE*>(g_pTsSharedData) + nOffset, sizeof(dw));
            Out("dword@%d=%lu", nOffset, static_cast<unsigned long>(dw));
            ++i;
        } else if (cmd == "logoff") {
            TsConnectLogoffDisconnect();
        } else if (cmd == "blockmapping") {
            // A mutex holding the name makes every mapping of that name fail.
            keep.push_back(::CreateMutexA(nullptr, FALSE, kTsSharedDataName));
        } else if (cmd == "smallmapping") {
            HANDLE hSmall = ::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096,
                                                 kTsSharedDataName);
            Out("smallmapping=%d", hSmall ? 1 : 0);
            keep.push_back(hSmall);
        } else if (cmd == "u3") {
            char ch = GetU3DeviceLetter();
            Out("u3 mode=%d letter=%c doc=%s", IsU3Mode() ? 1 : 0, ch ? ch : '-', GetU3DocumentPath().c_str());
        } else if (cmd == "version") {
            Out("vista=%d", IsVistaOrLater() ? 1 : 0);
        } else if (cmd == "security") {
            HANDLE hMutex = ::CreateMutexA(nullptr, FALSE, nullptr);
            Out("object=%lx", static_cast<unsigned long>(TsSetObjectIntegrity(SE_KERNEL_OBJECT, hMutex, nullptr)));
            Out("nohandle=%lx", static_cast<unsigned long>(TsSetObjectIntegrity(SE_KERNEL_OBJECT, nullptr, nullptr)));
            ::CloseHandle(hMutex);
            Out("file=%lx", static_cast<unsigned long>(TsSetFileSecurity(nullptr, arg, true)));   // a missing file
            PSID pSid = nullptr;
            bool bSid = TsGetUserSid(pSid, nullptr);
            Out("usersid=%d", bSid ? 1 : 0);
            if (pSid)
                ::LocalFree(pSid);
            ++i;
        } else if (cmd == "stuck") {
            const char* pszLabel = i + 2 < argc ? argv[i + 2] : "";
            DWORD dwOwner = static_cast<DWORD>(std::strtoul(arg, nullptr, 10));
            PROCESS_INFORMATION pi = {};
            if (dwOwner == 0) {
                char szSelf[MAX_PATH];
                ::GetModuleFileNameA(nullptr, szSelf, MAX_PATH);
                std::string sCmd = std::string("\"") + szSelf + "\" sleep 60000";
                STARTUPINFOA si = {};
                si.cb = sizeof(si);
                if (::CreateProcessA(nullptr, &sCmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
                    ::CloseHandle(pi.hThread);
                    dwOwner = pi.dwProcessId;
                }
            }
            if (g_pTsSharedData) {
                lstrcpynA(g_pTsSharedData->szLockOwnerLabel, pszLabel, kTsOwnerLabelBytes);
                g_pTsSharedData->dwLockOwnerPid = dwOwner;
            }
            CTsMutex broken(3, reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7ff0)));
            bool bLocked = CTsSingleLock("GetWatcherWnd", &broken).Lock();
            broken.Detach();
            Out("stuck=%d", bLocked ? 1 : 0);
            if (pi.hProcess) {
                ::TerminateProcess(pi.hProcess, 1);
                ::CloseHandle(pi.hProcess);
            }
            i += 2;
        } else {
            Out("unknown command %s", cmd.c_str());
            return 3;
        }
    }
    locks.clear();
    for (HANDLE h : keep)
        ::CloseHandle(h);
    if (g_out)
        std::fclose(g_out);
    return 0;
}
