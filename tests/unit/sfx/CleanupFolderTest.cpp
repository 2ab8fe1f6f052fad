#include "SfxTestSupport.h"

#include "sfx/CleanupFolder.h"

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
    EXPECT_TRUE(LogHas("[0] ActDelFile() - can't remove directory " + sRoot + "\\sub"));
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
