// Stand-in for the product's keycards program: records its arguments and working folder,
// and ends after an optional delay with an optional exit code.
//
// Settings ([StandIn] in Keycards.ini beside it):
//   RunMs     time before it ends (default 0)
//   ExitCode  its exit code (default 0)
#include <windows.h>

#include <string>

#include "StandInRecord.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR lpCmdLine, int)
{
    standin::RecordStart(lpCmdLine);
    int nRunMs = standin::Setting("RunMs", 0);
    if (nRunMs > 0)
        ::Sleep(static_cast<DWORD>(nRunMs));
    int nExitCode = standin::Setting("ExitCode", 0);
    standin::Record("exit " + std::to_string(nExitCode));
    return nExitCode;
}
