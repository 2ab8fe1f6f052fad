#include "starter/PortableStarterApp.h"

CPortableStarterApp::~CPortableStarterApp() = default;

BOOL CPortableStarterApp::InitInstance()
{
    return TRUE;
}

void CPortableStarterApp::SetLanguageMode(const CString&)
{
}

void CPortableStarterApp::CloseMode()
{
}

CString GetCmdLineOption(const CString&, const char*)
{
    return CString();
}
