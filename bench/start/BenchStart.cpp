// Times a full silent start of wfstart from a simulated removable drive, and RunSfx alone
// unpacking the same package, alternately in one run under the same Wine. The unpacking is
// the work that has to be done; the rest of the start (mutexes, registry, data folder,
// language, the tray program and the wait for its watcher) is overhead. Prints both medians
// and their ratio, and the time of the silent kill that follows each start.
//
// usage: bench_start PACKAGE [RUNS]     (the package must hold TessTaskBarIcon.exe)
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Strings/TsLog.h"
#include "bench/BenchUtil.h"
#include "sfx/RunSfx.h"
#include "tests/unit/Strings/WineDrive.h"

namespace {

using bench::RemoveTree;

const char kDriveLetter = 'r';
const char kStickPackage[] = "R:\\Tessaly\\AiTessaly-Portable.bin";
const char kMapping[] = "{7D3E92A1-B64C-11D3-8F2A-31C9E7D05B66} SharedData";

std::string ModuleFolder()
{
    char sz[MAX_PATH] = "";
    ::GetModuleFileNameA(nullptr, sz, MAX_PATH);
    std::string s = sz;
    return s.substr(0, s.find_last_of('\\'));
}

// <build>\bench\start\bench_start.exe -> <build>
std::string BuildFolder()
{
    std::string s = ModuleFolder();
    for (int i = 0; i < 2; ++i)
        s = s.substr(0, s.find_last_of('\\'));
    return s;
}

double Seconds(const LARGE_INTEGER& a, const LARGE_INTEGER& b)
{
    LARGE_INTEGER f;
    ::QueryPerformanceFrequency(&f);
    return static_cast<double>(b.QuadPart - a.QuadPart) / static_cast<double>(f.QuadPart);
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The tray stand-in of the last start: asked to close through its watcher window, which it
// publishes at a fixed place of the shared block.
void CloseTray()
{
    HANDLE hMapping = ::OpenFileMappingA(FILE_MAP_READ, FALSE, kMapping);
    if (!hMapping)
        return;
    if (const BYTE* p = static_cast<const BYTE*>(::MapViewOfFile(hMapping, FILE_MAP_READ, 0, 0, 4096))) {
        HWND hWatcher = static_cast<HWND>(LongToHandle(*reinterpret_cast<const LONG*>(p + 228)));
        ::UnmapViewOfFile(p);
        DWORD dwPid = 0;
        if (hWatcher && ::GetWindowThreadProcessId(hWatcher, &dwPid)) {
            HANDLE hProcess = ::OpenProcess(SYNCHRONIZE, FALSE, dwPid);
            ::PostMessageA(hWatcher, WM_CLOSE, 0, 0);
            if (hProcess) {
                ::WaitForSingleObject(hProcess, 10000);
                ::CloseHandle(hProcess);
            }
        }
    }
    ::CloseHandle(hMapping);
}

// Every start is a first start: no record of an earlier run, no unpacked files, no tray.
void CleanHost(const std::string& sHostFolder)
{
    CloseTray();
    ::RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Norvane Works");
    RemoveTree(sHostFolder);
    RemoveTree("R:\\My Tessaly Data");
}

double TimeRunSfx(const std::string& sFolder)
{
    RemoveTree(sFolder);
    std::string sArgs = "/unpack=\"" + sFolder + "\"";
    const SfxRunParams params = {0, 0, 0, 1, 0};
    LARGE_INTEGER a, b;
    ::QueryPerformanceCounter(&a);
    LONG r = RunSfx(sArgs.c_str(), &params, kStickPackage);
    ::QueryPerformanceCounter(&b);
    if (r != 0)
        std::printf("RunSfx failed: %ld\n", r);
    return Seconds(a, b);
}

// One run of the starter from the drive with the given arguments, till its end.
double TimeStarter(const char* pszArgs)
{
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    std::string sCmd = std::string("\"R:\\wfstart.exe\" ") + pszArgs;
    std::vector<char> szCmd(sCmd.begin(), sCmd.end());
    szCmd.push_back('\0');
    LARGE_INTEGER a, b;
    ::QueryPerformanceCounter(&a);
    if (!::CreateProcessA(nullptr, szCmd.data(), nullptr, nullptr, FALSE, 0, nullptr, "R:\\", &si, &pi)) {
        std::printf("cannot start wfstart: %lu\n", ::GetLastError());
        return 0;
    }
    ::WaitForSingleObject(pi.hProcess, INFINITE);
    ::QueryPerformanceCounter(&b);
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    return Seconds(a, b);
}

}  // namespace

int Bench(const char* pszPackage, int nRuns, const std::string& sStick)
{
    CWineDrive drive(kDriveLetter, sStick, DRIVE_REMOVABLE);
    if (!drive.Defined()) {
        std::fprintf(stderr, "cannot map the drive R:\n");
        return 1;
    }
    ::CreateDirectoryA("R:\\Tessaly", nullptr);
    if (!::CopyFileA((BuildFolder() + "\\starter\\wfstart.exe").c_str(), "R:\\wfstart.exe", FALSE) ||
        !::CopyFileA(pszPackage, kStickPackage, FALSE)) {
        std::fprintf(stderr, "cannot prepare the drive: %lu\n", ::GetLastError());
        return 1;
    }
    HANDLE hIni = ::CreateFileA("R:\\Portable.ini", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD n = 0;
    ::WriteFile(hIni, "[Path]\r\n", 8, &n, nullptr);
    ::CloseHandle(hIni);

    CString sTemp;
    GetWritableTempFolder(sTemp);
    const std::string sStartHost = std::string(sTemp.c_str()) + "\\Tessaly";
    const std::string sSfxHost = std::string(sTemp.c_str()) + "\\TessalyBench";

    WIN32_FILE_ATTRIBUTE_DATA fad = {};
    ::GetFileAttributesExA(kStickPackage, GetFileExInfoStandard, &fad);
    std::printf("package: %.1f MB; %d runs of each, alternating; the first of each is a warm-up\n",
                static_cast<double>(fad.nFileSizeLow) / (1 << 20), nRuns);

    std::vector<double> unpack, start, kill;
    for (int i = 0; i <= nRuns; ++i) {
        CleanHost(sStartHost);
        double dUnpack = TimeRunSfx(sSfxHost);
        double dStart = TimeStarter("/silent");
        // The stop that takes it all away again: the tray closed, the files deleted.
        double dKill = TimeStarter("/silent kill");
        if (i == 0)
            continue;
        unpack.push_back(dUnpack);
        start.push_back(dStart);
        kill.push_back(dKill);
        std::printf("run %d: RunSfx alone %.3f s, silent start %.3f s, silent kill %.3f s\n", i, dUnpack, dStart,
                    dKill);
    }
    CleanHost(sStartHost);
    RemoveTree(sSfxHost);
    double dUnpack = Median(unpack);
    double dStart = Median(start);
    std::printf("median: RunSfx alone %.3f s, silent start %.3f s, overhead %.3f s, silent kill %.3f s\n", dUnpack,
                dStart, dStart - dUnpack, Median(kill));
    std::printf("ratio start / unpack: %.3f (target at most 1.5)\n", dStart / dUnpack);
    return 0;
}

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_start PACKAGE [RUNS]\n");
        return 2;
    }
    int nRuns = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    char szTemp[MAX_PATH] = "";
    ::GetTempPathA(MAX_PATH, szTemp);
    std::string sStick = std::string(szTemp) + "wfbench-stick";
    RemoveTree(sStick);
    ::CreateDirectoryA(sStick.c_str(), nullptr);
    int nResult = Bench(argv[1], nRuns, sStick);
    RemoveTree(sStick);
    return nResult;
}
