// The programs' entry point; kept apart so that test programs do not pick it up.
#include "framework/WinApp.h"

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE, LPSTR lpCmdLine, int)
{
    return AfxWinMain(hInstance, lpCmdLine);
}
