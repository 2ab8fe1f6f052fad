#include "SfxTestSupport.h"

#include <atomic>
#include <thread>

#include "sfx/CleanupFolder.h"
#include "sfx/UnpackRecord.h"

using Strings = std::vector<std::string>;

namespace {

class CleanupFolderTest : public SfxTest {
protected:
    std::string MakeTree()
    {
        std::string sRoot = m_dir / "unpack";
        for (const char* pszFile : {"a.exe", "b.dll", "sub\\c.txt", "sub\\deeper\\d.txt", "sub\\empty\\"}) {
            std::string sPath = sRoot + "\\" + pszFile;
            if (sPath.back() == '\\')
                testutil::CreateFolders(sPath.substr(0, sPath.size() - 1));
            else
                testutil::WriteFileBytes(sPath, pszFile);
        }
        return sRoot;
    }
};

bool CountCalls(const char* pszPath, void* pParameter)
{
    auto* pSeen = static_cast<Strings*>(pParameter);
    pSeen->push_back(pszPath);
    return std::string(pszPath).find("b.dll") == std::string::npos;   // one entry "fails"
}

}  // namespace

TEST_F(CleanupFolderTest, RemovesTheFolderWithEverythingInIt)
{
    std::string sRoot = MakeTree();
    EXPECT_TRUE(CleanupFolder(sRoot.c_str()));
    EXPECT_FALSE(testutil::FolderExists(sRoot));
    EXPECT_EQ("[0] Cleanup folder  " + sRoot, LogLines().at(0));
    EXPECT_TRUE(LogHas("[0] ForEachFile() - by mask  " + sRoot + "\\sub\\*.*"));
    EXPECT_EQ("[0] ForEachFile() -  OK", LogLines().back());
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(CleanupFolderTest, ReadOnlyFileStaysWithItsFolders)
{
    std::string sRoot = MakeTree();
    ASSERT_TRUE(::SetFileAttributesA((sRoot + "\\sub\\c.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_FALSE(CleanupFolder(sRoot.c_str()));
    EXPECT_EQ((Strings{"sub\\", "sub\\c.txt"}), Tree(sRoot));
    EXPECT_TRUE(LogHas("[0] ForEachFile() -  FAIL"));
    EXPECT_TRUE(LogHas("[5] ActDelFile() - can't delete file " + sRoot + "\\sub\\c.txt"));
    EXPECT_TRUE(LogHas("[91] ActDelFile() - can't remove directory " + sRoot + "\\sub"));
    Strings lines = LogLines();
    EXPECT_EQ(0u, lines.back().find("[" ));
    EXPECT_NE(std::string::npos, lines.back().find("] Cleanup files err  " + sRoot)) << lines.back();
    EXPECT_TRUE(Boxes().empty());
    ::SetFileAttributesA((sRoot + "\\sub\\c.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(CleanupFolderTest, MissingFolderIsReported)
{
    std::string sMissing = m_dir / "missing";
    EXPECT_FALSE(CleanupFolder(sMissing.c_str()));
    std::string sMask = sMissing + "\\*.*";
    Strings boxes = BoxTexts(1);
    ASSERT_EQ(1u, boxes.size());
    // The system error of the listing is that of the missing path (2 or 3 depending on the system).
    EXPECT_TRUE(boxes[0] == SetupErrorBox("Can't find any files matching ", sMask.c_str(), ERROR_FILE_NOT_FOUND) ||
                boxes[0] == SetupErrorBox("Can't find any files matching ", sMask.c_str(), ERROR_PATH_NOT_FOUND))
        << boxes[0];
    EXPECT_FALSE(CleanupFolder(nullptr));
    EXPECT_FALSE(ForEachFile(sMissing.c_str(), nullptr, nullptr));
}

TEST_F(CleanupFolderTest, WalkGoesOnAfterAFalseAction)
{
    std::string sRoot = MakeTree();
    Strings seen;
    EXPECT_FALSE(ForEachFile(sRoot.c_str(), CountCalls, &seen));
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ((Strings{sRoot + "\\a.exe", sRoot + "\\b.dll", sRoot + "\\sub"}), seen);
    EXPECT_EQ("[0] ForEachFile() -  FAIL", LogLines().back());
}

TEST_F(CleanupFolderTest, LinksAreNeverFollowed)
{
    std::string sOutside = m_dir / "outside";
    testutil::WriteFileBytes(sOutside + "\\precious.txt", "keep me");
    testutil::WriteFileBytes(sOutside + "\\inner\\more.txt", "keep me too");
    const Strings kOutside = {"inner\\", "inner\\more.txt", "precious.txt"};
    std::string sRoot = MakeTree();
    std::string sLink = sRoot + "\\sub\\link";
    ASSERT_TRUE(MakeFolderLink(sLink, sOutside));
    bool bCleaned = CleanupFolder(sRoot.c_str());
    EXPECT_EQ(kOutside, Tree(sOutside));
    // Windows removes a junction itself; Wine cannot remove a link to a folder that holds
    // files, and then the cleanup says so and keeps the path to it.
    bool bLinkGone = ::GetFileAttributesA(sLink.c_str()) == INVALID_FILE_ATTRIBUTES;
    EXPECT_EQ(bLinkGone, bCleaned);
    if (bLinkGone) {
        EXPECT_FALSE(testutil::FolderExists(sRoot));
    } else {
        EXPECT_EQ((Strings{"sub\\", "sub\\link"}), Tree(sRoot));
        EXPECT_NE(std::string::npos, LogLines().back().find("] Cleanup files err  " + sRoot));
        RemoveFolderLink(sLink);
    }

    // The folder to clean may itself be a link: its target keeps its content.
    std::string sLinkRoot = m_dir / "linkroot";
    ASSERT_TRUE(MakeFolderLink(sLinkRoot, sOutside));
    bCleaned = CleanupFolder(sLinkRoot.c_str());
    EXPECT_EQ(kOutside, Tree(sOutside));
    EXPECT_EQ(::GetFileAttributesA(sLinkRoot.c_str()) == INVALID_FILE_ATTRIBUTES, bCleaned);
    RemoveFolderLink(sLinkRoot);
}

namespace {

int CountEntries(const std::string& sFolder)
{
    WIN32_FIND_DATAA fd;
    HANDLE h = ::FindFirstFileA((sFolder + "\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    int n = 0;
    do
        ++n;
    while (::FindNextFileA(h, &fd));
    ::FindClose(h);
    return n - 2;
}

std::string FileName(int i)
{
    char sz[16];
    std::snprintf(sz, sizeof(sz), "f%04d.dll", i);
    return sz;
}

}  // namespace

// While a removal works inside "sub", a second thread moves "sub" away and puts a link to
// an outside folder in its place, whose files have the same names. Whatever the moment of
// the swap (before the walk reaches "sub", or after it deleted some of it), nothing outside
// goes. Both removals walk the same way: the cleanup after a failed start and the removal
// by the unpack record.
TEST_F(CleanupFolderTest, FolderSwappedForALinkDuringTheWalkLeavesItsTargetAlone)
{
    const int kFiles = 200;
    std::string sOutside = m_dir / "outside";
    for (int i = 0; i < kFiles; ++i)
        ASSERT_TRUE(testutil::WriteFileBytes(sOutside + "\\" + FileName(i), "not ours"));
    std::string sRecord;
    for (int i = 0; i < kFiles; ++i)
        sRecord += "sub\\" + FileName(i) + "\r\n";
    sRecord += "sub\\\r\n";
    struct Remover {
        const char* pszName;
        bool (*pfn)(const char*);
    };
    const Remover kRemovers[] = {{"CleanupFolder", CleanupFolder},
                                 {"RemoveRecordedFiles", [](const char* p) { return RemoveRecordedFiles(p); }}};
    for (int nRound = 0; nRound < 12; ++nRound) {
        const Remover& remover = kRemovers[nRound % 2];
        // Rounds swap at different depths of the walk: when that many files of "sub" are gone.
        int nGoneBeforeSwap = (nRound / 2) * kFiles / 10;
        SCOPED_TRACE(std::string(remover.pszName) + ", swap after " + std::to_string(nGoneBeforeSwap) + " files");
        std::string sRoot = m_dir / ("unpack" + std::to_string(nRound));
        std::string sSub = sRoot + "\\sub";
        for (int i = 0; i < kFiles; ++i)
            ASSERT_TRUE(testutil::WriteFileBytes(sSub + "\\" + FileName(i), "ours"));
        ASSERT_TRUE(testutil::WriteFileBytes(sRoot + "\\_ts_unpack.lst", sRecord));

        std::atomic<bool> bDone{false};
        std::atomic<bool> bSwapped{false};
        std::thread swapper([&] {
            int n;
            while (!bDone && (n = CountEntries(sSub)) >= 0 && n > kFiles - nGoneBeforeSwap)
                ::Sleep(0);
            if (::MoveFileA(sSub.c_str(), (sRoot + "\\moved").c_str()))
                bSwapped = MakeFolderLink(sSub, sOutside);
        });
        remover.pfn(sRoot.c_str());
        bDone = true;
        swapper.join();

        EXPECT_EQ(kFiles, CountEntries(sOutside));
        if (bSwapped)
            RemoveFolderLink(sSub);
        testutil::RemoveTree(sRoot);
    }
}
