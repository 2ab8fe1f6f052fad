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

}  // namespace

bool LiesInLink(const std::string& sFolder)
{
    for (size_t nPos = 3; nPos <= sFolder.size(); ++nPos) {
        if ((nPos == sFolder.size() || sFolder[nPos] == '\\') && IsLink(sFolder.substr(0, nPos)))
            return true;
    }
    return false;
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
