#include "starter/PortableStarterApp.h"

CPortableStarterApp::~CPortableStarterApp() = default;

BOOL CPortableStarterApp::InitInstance()
{
    return TRUE;
}

BOOL CPortableStarterApp::StartPortable()
{
    return FALSE;
}

BOOL CPortableStarterApp::StopPortable()
{
    return FALSE;
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
