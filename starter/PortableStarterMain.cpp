// The program's single application object.
#include "starter/PortableStarterApp.h"

static CPortableStarterApp theApp;
