#include "Strings/TsU3.h"

#include "Strings/SafeRegKey.h"
#include "Strings/TsLock.h"
#include "Strings/TsSecurity.h"

namespace {

const char kMakerKey[] = "Software\\Norvane Works";
const char kDocPathValue[] = "_U3DocPath";
const char kForceValue[] = "_SecretValueToForceU3_";
const DWORD kForceMagic = 829;

CString EnvironmentValue(const char* pszName)
{
    char szBuf[MAX_PATH];
    DWORD n = ::GetEnvironmentVariableA(pszName, szBuf, sizeof(szBuf));
    if (n == 0)
        return CString();
    if (n < sizeof(szBuf))
        return CString(szBuf, static_cast<int>(n));
    CString s;
    char* p = s.GetBuffer(static_cast<int>(n));
    DWORD n2 = ::GetEnvironmentVariableA(pszName, p, n);
    s.ReleaseBuffer(n2 < n ? static_cast<int>(n2) : 0);
    return s;
}

CString ModuleFileName(HMODULE hModule)
{
    char szPath[MAX_PATH * 2];
    DWORD n = ::GetModuleFileNameA(hModule, szPath, sizeof(szPath));
    if (n == 0 || n >= sizeof(szPath))
        return CString();
    return CString(szPath, static_cast<int>(n));
}

bool StartsWith(const CString& sText, const CString& sPrefix)
{
    return sText.GetLength() >= sPrefix.GetLength() && sText.Left(sPrefix.GetLength()) == sPrefix;
}

}  // namespace

CTsEvent& TsU3ModeEvent()
{
    static CTsEveryoneAccess s_security;
    static CTsEvent s_event(false, true, kTsU3EventName, s_security.Get());
    return s_event;
}

bool DetectU3Environment()
{
    DWORD dwForce = 0;
    TsRegGetDword(dwForce, HKEY_CURRENT_USER, kMakerKey, kForceValue);
    if (dwForce == kForceMagic)
        return true;

    CString sDevice = EnvironmentValue("U3_DEVICE_PATH");
    if (sDevice.IsEmpty())
        return false;
    sDevice.MakeLower();
    CString sHostExec = EnvironmentValue("U3_HOST_EXEC_PATH");
    sHostExec.MakeLower();

    HMODULE hLibrary = ::GetModuleHandleA("tessaly.dll");
    CString sModule = ModuleFileName(hLibrary);   // a null module is the program itself
    sModule.MakeLower();

    if (StartsWith(sModule, sDevice))
        return true;
    return !sHostExec.IsEmpty() && StartsWith(sModule, sHostExec);
}

bool IsU3Mode()
{
    if (TsU3ModeEvent().IsSignaled())
        return true;
    return DetectU3Environment();
}

char GetU3DeviceLetter()
{
    CString sDevice = EnvironmentValue("U3_DEVICE_PATH");
    if (!sDevice.IsEmpty())
        return sDevice[0];
    if (IsU3Mode()) {
        CString sDocPath;
        TsRegGetString(sDocPath, HKEY_CURRENT_USER, kMakerKey, kDocPathValue);
        if (!sDocPath.IsEmpty())
            return sDocPath[0];
    }
    return 0;
}

CString GetU3DocumentPath()
{
    CString sDocPath = EnvironmentValue("U3_DEVICE_DOCUMENT_PATH");
    if (!sDocPath.IsEmpty())
        return sDocPath;
    CString sDevice = EnvironmentValue("U3_DEVICE_PATH");
    if (!sDevice.IsEmpty())
        return sDevice + "\\Documents";
    return CString();
}

void EnterU3Mode(const char* pszDocPath)
{
    TsU3ModeEvent().SetEvent();
    TsRegSetString(pszDocPath, HKEY_CURRENT_USER, kMakerKey, kDocPathValue);
}

void LeaveU3Mode()
{
    TsRegDeleteValue(HKEY_CURRENT_USER, kMakerKey, kDocPathValue);
    TsU3ModeEvent().ResetEvent();
}
