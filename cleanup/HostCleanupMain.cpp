// The program's single application object.
#include "cleanup/HostCleanupApp.h"

static CHostCleanupApp theApp;
