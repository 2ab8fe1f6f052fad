#include "starter/PortableStarterApp.h"

// The start sequence is not written yet: a start does nothing.
BOOL CPortableStarterApp::StartPortable()
{
    return FALSE;
}
