#pragma once
// The portable starter's application object: all work happens in InitInstance.
#include "framework/WinApp.h"
#include "framework/CString.h"
#include "Strings/TsCmdLine.h"

class CSplashScreenEx;

// Does nothing on construction or destruction; marks the error catcher's scope.
struct CErrorCatcherScope {};

class CPortableStarterApp : public CWinApp {
public:
    CPortableStarterApp() = default;
    ~CPortableStarterApp() override;

    BOOL InitInstance() override;

    BOOL StartPortable();
    BOOL StopPortable();
    BOOL StartTaskbarIcon(const CString& sProgramFolder);   // starter/TaskbarIcon.cpp

    CErrorCatcherScope m_errorCatcherScope;
    BOOL m_bSilent = 0;
    BOOL m_bU3 = 0;
    CSplashScreenEx* m_pSplash = nullptr;
    CString m_strRootFolder;
    CString m_strUnpackFolder;

private:
    void CreateSplash();
    void SetLanguageMode(const CString& sValue);
    void CloseMode();
};

