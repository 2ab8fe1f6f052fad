/* A library that a search-order test puts beside a program and in the current folder. */
#include <windows.h>

__declspec(dllexport) int PlantedMarker(void)
{
    return 42;
}
