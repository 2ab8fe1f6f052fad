/* Stands for the desktop edition's browser add-on library: the start sequence only reads
   its version resource and takes its folder as the installed program folder. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID pReserved)
{
    (void)hInstance;
    (void)dwReason;
    (void)pReserved;
    return TRUE;
}
