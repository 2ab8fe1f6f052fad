#include "ProfileFolders.h"

#include <windows.h>
#include <shlobj.h>

#include "TestUtil.h"

namespace testutil {

namespace {

bool IsLink(const std::string& sPath)
{
    DWORD dwAttr = ::GetFileAttributesA(sPath.c_str());
    return dwAttr != INVALID_FILE_ATTRIBUTES && (dwAttr & FILE_ATTRIBUTE_REPARSE_POINT);
}

using UnixNameFn = char*(CDECL*)(LPCWSTR);

UnixNameFn WineUnixName()
{
    return reinterpret_cast<UnixNameFn>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
}

// The Unix path of a Windows path whose last part need not exist.
std::string UnixPath(const std::string& s)
{
    size_t nSlash = s.find_last_of('\\');
    WCHAR wsz[MAX_PATH];
    ::MultiByteToWideChar(CP_ACP, 0, s.substr(0, nSlash).c_str(), -1, wsz, MAX_PATH);
    char* p = WineUnixName()(wsz);
    std::string r = p ? p : "";
    ::HeapFree(::GetProcessHeap(), 0, p);
    return r + "/" + s.substr(nSlash + 1);
}

}  // namespace

bool LiesInLink(const std::string& sFolder)
{
    for (size_t nPos = 3; nPos <= sFolder.size(); ++nPos) {
        if ((nPos == sFolder.size() || sFolder[nPos] == '\\') && IsLink(sFolder.substr(0, nPos)))
            return true;
    }
    return false;
}

bool MakeFolderLink(const std::string& sLink, const std::string& sTarget)
{
    if (!WineUnixName())
        return RunAndWait("cmd /c mklink /J \"" + sLink + "\" \"" + sTarget + "\"") == 0;
    // Wine runs a Unix program named by its path; its process handle does not wait for the
    // program, so the link is awaited.
    RunAndWait("Z:\\bin\\ln -s \"" + UnixPath(sTarget) + "\" \"" + UnixPath(sLink) + "\"");
    for (int i = 0; i < 250; ++i) {
        if (IsLink(sLink))
            return true;
        ::Sleep(20);
    }
    return false;
}

void RemoveFolderLink(const std::string& sLink)
{
    if (!WineUnixName()) {
        ::RemoveDirectoryA(sLink.c_str());
        return;
    }
    RunAndWait("Z:\\bin\\rm -f \"" + UnixPath(sLink) + "\"");
    for (int i = 0; i < 250 && ::GetFileAttributesA(sLink.c_str()) != INVALID_FILE_ATTRIBUTES; ++i)
        ::Sleep(20);
}

std::vector<std::string> LinkedProfileFolders()
{
    std::vector<std::string> linked;
    const int kFolders[] = {CSIDL_PERSONAL, CSIDL_DESKTOPDIRECTORY, CSIDL_APPDATA, CSIDL_LOCAL_APPDATA,
                            CSIDL_MYPICTURES, CSIDL_MYMUSIC,        CSIDL_MYVIDEO, CSIDL_TEMPLATES,
                            CSIDL_PROFILE};
    std::vector<std::string> folders;
    for (int nCsidl : kFolders) {
        char sz[MAX_PATH] = "";
        if (SUCCEEDED(::SHGetFolderPathA(nullptr, nCsidl, nullptr, SHGFP_TYPE_CURRENT, sz)) && sz[0])
            folders.push_back(sz);
    }
    char szTemp[MAX_PATH] = "";
    DWORD n = ::GetTempPathA(MAX_PATH, szTemp);
    if (n > 0 && n < MAX_PATH)
        folders.push_back(std::string(szTemp, szTemp[n - 1] == '\\' ? n - 1 : n));
    for (const std::string& s : folders)
        if (LiesInLink(s))
            linked.push_back(s);
    return linked;
}

void CRealProfileFoldersCheck::SetUp()
{
    std::string sLinked;
    for (const std::string& s : LinkedProfileFolders())
        sLinked += "\n  " + s;
    ASSERT_TRUE(sLinked.empty()) << "profile folders of the test prefix are links into the machine's own "
                                    "folders; nothing is run:"
                                 << sLinked;
}

}  // namespace testutil
