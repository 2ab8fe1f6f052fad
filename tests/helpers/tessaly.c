/* Stands in for the product library whose place on the disk decides U3 mode. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID pReserved)
{
    (void)hInstance;
    (void)dwReason;
    (void)pReserved;
    return TRUE;
}
