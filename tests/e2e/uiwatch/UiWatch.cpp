// Runs a program and stands in for its user: every box and dialog it shows is recorded on
// standard output with its caption and text, answered by caption (else with its default
// button), and, with --shots, saved as a screenshot together with the splash. Used by the
// demo; ends with the program's exit code.
//
// usage: uiwatch [--shots FOLDER] [--answer CAPTION=ID]... -- PROGRAM [ARGS...]
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "../E2eUtil.h"
#include "UiDriver.h"

namespace {

const char kSplashClass[] = "SplashScreenExClass";

std::string ShotName(const UiBox& box)
{
    if (box.className == kSplashClass)
        return "splash";
    if (box.caption == "Wayfarer Greeting")
        return "greeting";
    if (box.caption == "Tessaly End User License Agreement")
        return "license";
    if (box.caption == "Tessaly Installer")   // the cleanup's second question
        return "clean-erase-question";
    return std::string();
}

}  // namespace

int main(int argc, char** argv)
{
    std::string sShots;
    std::map<std::string, int> answers;
    int i = 1;
    for (; i < argc; ++i) {
        std::string sArg = argv[i];
        if (sArg == "--")
            break;
        if (sArg == "--shots" && i + 1 < argc) {
            sShots = argv[++i];
        } else if (sArg == "--answer" && i + 1 < argc) {
            std::string s = argv[++i];
            size_t n = s.rfind('=');
            if (n != std::string::npos)
                answers[s.substr(0, n)] = std::atoi(s.c_str() + n + 1);
        }
    }
    if (i + 1 >= argc) {
        std::fprintf(stderr, "usage: uiwatch [--shots FOLDER] [--answer CAPTION=ID]... -- PROGRAM [ARGS...]\n");
        return 2;
    }
    std::string sProgram = argv[i + 1];
    std::string sArgs;
    for (int j = i + 2; j < argc; ++j)
        sArgs += (sArgs.empty() ? "" : " ") + std::string(argv[j]);

    CUiDriver driver([&](const UiBox& box) {
        std::string sName = ShotName(box);
        if (!sShots.empty() && !sName.empty()) {
            if (box.className == kSplashClass)
                ::Sleep(900);   // past the fade-in, with the status text drawn
            e2e::SaveWindowShot(box.hwnd, sShots + "\\" + sName + ".bmp");
        }
        if (box.className == kSplashClass)
            return 0;
        auto it = answers.find(box.caption);
        return it != answers.end() ? it->second : CUiDriver::PressDefault(box);
    });
    driver.WatchClass(kSplashClass);

    char szFolder[MAX_PATH] = "";
    ::GetCurrentDirectoryA(MAX_PATH, szFolder);
    HANDLE hProcess = e2e::StartProcess(sProgram, sArgs, szFolder);
    if (!hProcess) {
        std::fprintf(stderr, "uiwatch: cannot start %s (%lu)\n", sProgram.c_str(), ::GetLastError());
        return 1;
    }
    DWORD dwExit = 0;
    e2e::WaitForExit(hProcess, INFINITE, &dwExit);
    ::CloseHandle(hProcess);
    ::Sleep(100);
    for (const UiBox& box : driver.Boxes()) {
        if (box.className == kSplashClass) {
            std::printf("   [splash shown]\n");
            continue;
        }
        std::string sText = box.Text();
        for (size_t n = 0; (n = sText.find('\n', n)) != std::string::npos; n += 7)
            sText.replace(n, 1, "\n       ");
        std::printf("   [%s] %s\n     -> pressed %d\n", box.caption.c_str(), sText.c_str(), box.pressed);
    }
    std::fflush(stdout);
    return static_cast<int>(dwExit);
}
