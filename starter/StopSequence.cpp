#include "starter/PortableStarterApp.h"

// The stop sequence is not written yet: a stop does nothing.
BOOL CPortableStarterApp::StopPortable()
{
    return FALSE;
}
