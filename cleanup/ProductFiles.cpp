#include "cleanup/ProductFiles.h"

#include <windows.h>

#include <cstring>
#include <initializer_list>

#include "framework/Unique.h"

int g_nCollectDepth = 0;

namespace {

const int kMaxCollectDepth = 1000;

bool EndsWith(const CString& sText, const char* pszEnd)
{
    int n = lstrlenA(pszEnd);
    return sText.GetLength() >= n && sText.Right(n) == pszEnd;
}

bool IsOneOf(const CString& s, std::initializer_list<const char*> values)
{
    for (const char* psz : values)
        if (s == psz)
            return true;
    return false;
}

CString JoinPath(const CString& sFolder, const char* pszName)
{
    if (!sFolder.IsEmpty() && sFolder[sFolder.GetLength() - 1] == '\\')
        return sFolder + pszName;
    return sFolder + "\\" + pszName;
}

// Keeps the counter right on every way out of a scan level.
struct DepthScope {
    DepthScope() { ++g_nCollectDepth; }
    ~DepthScope() { --g_nCollectDepth; }
};

}  // namespace

ProductFileClass ClassifyProductFile(const CString& sPath, const CString& sFolder)
{
    CString sEnding = sPath.Right(4);
    sEnding.MakeLower();
    CString sName = sPath.Mid(sPath.ReverseFind('\\') + 1);
    int nDot = sName.ReverseFind('.');
    CString sTitle = nDot >= 0 ? sName.Left(nDot) : sName;
    sTitle.MakeLower();
    if (sTitle.IsEmpty())
        return kNotProductFile;

    if (IsOneOf(sEnding, {".tst", ".tsc"}))
        return kIdentityFile;
    if (IsOneOf(sEnding, {".tsp", ".tsb", ".tsx", ".tsq"}))
        return kKeycardFile;
    if (sEnding == ".tsn")
        return kVaultnoteFile;
    if ((sTitle == "smpenc" && IsOneOf(sEnding, {".psw", ".tso"})) ||
        (IsOneOf(sTitle, {"options", "mru", "cache"}) && sEnding == ".tso"))
        return kOtherProductFile;
    if (sTitle == "tessalydatahere" && sEnding == ".txt")
        return kOtherProductFile;
    if (EndsWith(sFolder, "\\_sync.app") || EndsWith(sFolder, "\\_syncapp") || EndsWith(sFolder, "\\_gsdata_"))
        return kOtherProductFile;
    if (sTitle == "_file_state" && sEnding == "._gs")
        return kOtherProductFile;
    return kNotProductFile;
}

void CollectProductFiles(const CString& sFolder, ProductFileSet& set)
{
    if (g_nCollectDepth <= 0 || g_nCollectDepth > kMaxCollectDepth)
        return;
    DepthScope depth;

    WIN32_FIND_DATAA fd;
    CUniqueFind find(::FindFirstFileA(JoinPath(sFolder, "*.*"), &fd));
    if (!find)
        return;
    do {
        if (!std::strcmp(fd.cFileName, ".") || !std::strcmp(fd.cFileName, ".."))
            continue;
        CString sPath = JoinPath(sFolder, fd.cFileName);
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            DWORD dwAttr = ::GetFileAttributesA(sPath);
            if (dwAttr != INVALID_FILE_ATTRIBUTES && (dwAttr & FILE_ATTRIBUTE_REPARSE_POINT))
                continue;
            CollectProductFiles(sPath, set);
            set.folders.push_back(sPath);
            continue;
        }
        switch (ClassifyProductFile(sPath, sFolder)) {
        case kNotProductFile:
            continue;
        case kIdentityFile:
            ++set.nIdentities;
            break;
        case kKeycardFile:
            ++set.nKeycards;
            break;
        case kVaultnoteFile:
            ++set.nVaultnotes;
            break;
        case kOtherProductFile:
            ++set.nOthers;
            break;
        }
        set.files.push_back(sPath);
        ++set.nTotal;
    } while (::FindNextFileA(find.Get(), &fd));
}
