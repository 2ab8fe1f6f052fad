// Stand-in for the product's installer. A package is built with this program as its stub, so
// that the package copy "AiTessaly-Portable.exe" runs as the installer: it records its
// arguments and folder (and where it runs from) and ends.
#include <windows.h>

#include "StandInRecord.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR lpCmdLine, int)
{
    standin::RecordStart(lpCmdLine);
    standin::Record("program " + standin::ModulePath());
    standin::Record("exit 0");
    return 0;
}
