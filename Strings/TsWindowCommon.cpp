#include "Strings/TsWindowCommon.h"

#include "LocalizationStrings/LocalizedStringsMap.h"
#include "Strings/TsLock.h"
#include "Strings/TsLog.h"
#include "framework/WinApp.h"

#include <cstring>
#include <vector>

namespace {

struct KindInfo {
    UINT nCaptionId;
    const char* pszDefaultCaption;
    UINT uIcon;
};

const KindInfo kKinds[] = {
    {1057, "Tessaly Information", MB_ICONINFORMATION},
    {1058, "Tessaly Question", MB_ICONQUESTION},
    {1059, "Tessaly Warning", MB_ICONWARNING},
    {1060, "Tessaly Error", MB_ICONERROR},
};

const UINT kSystemErrorFlags = MB_ICONERROR | MB_SYSTEMMODAL | MB_TOPMOST;  // 0x41010

// The caption of a kind from the loaded language table, else its built-in English caption.
CString KindCaption(const KindInfo& k)
{
    if (static_cast<int>(k.nCaptionId) < GetLocalizedStringCount())
        return CLocalizedString(static_cast<int>(k.nCaptionId));
    return CString(k.pszDefaultCaption);
}

// The window the framework would disable for its own boxes: the parent's top-level window,
// or without a parent the application's main window.
HWND FindTopLevelOwner(HWND hParent)
{
    HWND hWnd = hParent ? hParent : AfxGetMainWnd();
    if (!hWnd)
        return nullptr;
    while (::GetWindowLongA(hWnd, GWL_STYLE) & WS_CHILD) {
        HWND hUp = ::GetParent(hWnd);
        if (!hUp)
            break;
        hWnd = hUp;
    }
    for (HWND hUp = ::GetParent(hWnd); hUp; hUp = ::GetParent(hUp))
        hWnd = hUp;
    return hWnd;
}

// Reads a registry string, retrying with the size the system reports when 260 bytes are too few.
CString ReadRegString(HKEY hKey, const char* pszName)
{
    std::vector<char> buf(260);
    DWORD dwType = 0;
    DWORD cb = static_cast<DWORD>(buf.size());
    LONG r = ::RegQueryValueExA(hKey, pszName, nullptr, &dwType, reinterpret_cast<BYTE*>(buf.data()), &cb);
    if (r == ERROR_MORE_DATA) {
        buf.resize(cb + 1);
        cb = static_cast<DWORD>(buf.size());
        r = ::RegQueryValueExA(hKey, pszName, nullptr, &dwType, reinterpret_cast<BYTE*>(buf.data()), &cb);
    }
    if (r != ERROR_SUCCESS || (dwType != REG_SZ && dwType != REG_EXPAND_SZ))
        return CString();
    return CString(buf.data(), static_cast<int>(strnlen(buf.data(), cb)));
}

bool OpenKey(HKEY hRoot, const char* pszPath, REGSAM sam, HKEY& hKey)
{
    return ::RegOpenKeyExA(hRoot, pszPath, 0, sam, &hKey) == ERROR_SUCCESS;
}

void ReadUserValues(HKEY hKey, TsUserRegInfo& info)
{
    info.sName = ReadRegString(hKey, "Name");
    info.sEmail = ReadRegString(hKey, "Email");
    info.sReferrer = ReadRegString(hKey, "Referr");
}

}  // namespace

int TsMsgBox(int nKind, HWND hParent, const char* pszText, const char* pszCaption, UINT uFlags)
{
    CString sText = pszText ? pszText : "";
    CString sCaption;
    if (nKind >= 1 && nKind <= 4) {
        const KindInfo& k = kKinds[nKind - 1];
        sCaption = KindCaption(k);
        uFlags |= k.uIcon;
    } else {
        sText += "\nPlease report this to ";
        sText += kTsSupportEmail;
        sCaption = "Tessaly System Error";
        uFlags |= kSystemErrorFlags;
    }
    if (pszCaption && *pszCaption)
        sCaption = pszCaption;

    int nParentState = 1;
    if (hParent && ::IsWindowVisible(hParent)) {
        nParentState = 0;
        if (::IsIconic(hParent)) {
            nParentState = 2;
            ::ShowWindow(hParent, SW_SHOWNORMAL);
        }
    }
    TsTrace("TsMsgBox: l=%d twm=%d [[%s]]\n", "TsMsgBox: l=%d twm=%d [[%s]]\n", nKind, nParentState, sText.c_str());

    // Other processes wait on a held lock for as long as the user takes to answer.
    if (nKind < 5 && GetHeldLockLevel() != 0)
        TsAssertFail("Strings\\TsWindowCommon", 179, 0, nullptr);

    HWND hTop = FindTopLevelOwner(hParent);
    HWND hDisabled = nullptr;
    if (hTop && hTop != hParent && ::IsWindowEnabled(hTop)) {
        ::EnableWindow(hTop, FALSE);
        hDisabled = hTop;
    }

    int nResult = ::MessageBoxA(hParent, sText, sCaption, uFlags);

    if (hParent && !::IsWindow(hParent)) {
        TsTrace("MBPDSTR\n", "TsMsgBox: parent destroyed\n");
        nResult = IDCANCEL;
    }
    if (hDisabled)
        ::EnableWindow(hDisabled, TRUE);
    TsTrace("msgr %d\n", "TsMsgBox: ret=%d\n", nResult);
    return nResult;
}

CString GetWindowClassName(HWND hWnd)
{
    char sz[2048];
    int n = ::GetClassNameA(hWnd, sz, 2047);
    if (n < 1) {
        TsSoftAssertFailed("Strings\\TsWindowCommon", 24);
        return CString();
    }
    if (n >= 2046)
        TsSoftAssertFailed("Strings\\TsWindowCommon", 29);
    return CString(sz, n);
}

bool IsWindowClass(HWND hWnd, const char* pszClassName)
{
    char sz[2048];
    int n = ::GetClassNameA(hWnd, sz, 2047);
    if (n < 1) {
        TsSoftAssertFailed("Strings\\TsWindowCommon", 43);
        return false;
    }
    if (n >= 2046)
        TsSoftAssertFailed("Strings\\TsWindowCommon", 48);
    return std::strcmp(sz, pszClassName ? pszClassName : "") == 0;
}

CString GetWindowTextString(HWND hWnd)
{
    char sz[2048];
    ::SetLastError(0);
    int n = ::GetWindowTextA(hWnd, sz, 2047);
    if (n < 0) {
        TsSoftAssertFailed("Strings\\TsWindowCommon", 61);
        return CString();
    }
    if (n >= 2046)
        TsSoftAssertFailed("Strings\\TsWindowCommon", 66);
    return CString(sz, n);
}

bool GetUserRegInfo(TsUserRegInfo& info)
{
    info = TsUserRegInfo();
    HKEY hKey;
    if (OpenKey(HKEY_CURRENT_USER, "Software\\Norvane Works\\UserReg", KEY_READ, hKey)) {
        ReadUserValues(hKey, info);
        ::RegCloseKey(hKey);
        return true;
    }
    if (OpenKey(HKEY_CURRENT_USER, "Software\\Norvane Works\\Tessaly\\User", KEY_READ, hKey)) {
        ReadUserValues(hKey, info);
        ::RegCloseKey(hKey);
        info.sName.Trim();
        info.sEmail.Trim();
        info.sReferrer.Trim();
        HKEY hNew;
        if (::RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Norvane Works\\UserReg", 0, nullptr, 0,
                              KEY_READ | KEY_WRITE, nullptr, &hNew, nullptr) == ERROR_SUCCESS) {
            const CString* values[] = {&info.sName, &info.sEmail, &info.sReferrer};
            const char* names[] = {"Name", "Email", "Referr"};
            for (int i = 0; i < 3; ++i)
                ::RegSetValueExA(hNew, names[i], 0, REG_SZ, reinterpret_cast<const BYTE*>(values[i]->c_str()),
                                 static_cast<DWORD>(values[i]->GetLength() + 1));
            ::RegCloseKey(hNew);
        }
        return true;
    }
    if (OpenKey(HKEY_CURRENT_USER, "Software\\Microsoft\\Internet Account Manager", KEY_READ, hKey)) {
        CString sAccount = ReadRegString(hKey, "Default Mail Account");
        HKEY hAccount;
        if (OpenKey(hKey, CString("Accounts\\") + sAccount, KEY_READ, hAccount)) {
            info.sName = ReadRegString(hAccount, "SMTP Display Name");
            info.sEmail = ReadRegString(hAccount, "SMTP Email Address");
            ::RegCloseKey(hAccount);
        }
        ::RegCloseKey(hKey);
    }
    if (info.sName.IsEmpty()) {
        char sz[257];
        DWORD n = sizeof(sz);
        if (::GetUserNameA(sz, &n))
            info.sName = sz;
    }
    return false;
}
