#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestUtil.h"
#include "cleanup/ProductFiles.h"

namespace {

using testutil::CTempDir;

TEST(ClassifyProductFile, ByEndingTitleAndFolder)
{
    struct Row {
        const char* pszPath;
        const char* pszFolder;
        ProductFileClass expected;
    };
    static const Row kRows[] = {
        {"E:\\d\\Mine.tst", "E:\\d", kIdentityFile},
        {"E:\\d\\MINE.TSC", "E:\\d", kIdentityFile},
        {"E:\\d\\k.tsp", "E:\\d", kKeycardFile},
        {"E:\\d\\k.tsb", "E:\\d", kKeycardFile},
        {"E:\\d\\k.tsx", "E:\\d", kKeycardFile},
        {"E:\\d\\k.tsq", "E:\\d", kKeycardFile},
        {"E:\\d\\n.tsn", "E:\\d", kVaultnoteFile},
        {"E:\\d\\smpenc.psw", "E:\\d", kOtherProductFile},
        {"E:\\d\\smpenc.tso", "E:\\d", kOtherProductFile},
        {"E:\\d\\Options.TSO", "E:\\d", kOtherProductFile},
        {"E:\\d\\mru.tso", "E:\\d", kOtherProductFile},
        {"E:\\d\\cache.tso", "E:\\d", kOtherProductFile},
        {"E:\\d\\TessalyDataHere.txt", "E:\\d", kOtherProductFile},
        {"E:\\d\\_file_state._gs", "E:\\d", kOtherProductFile},
        {"E:\\d\\_gsdata_\\anything.bin", "E:\\d\\_gsdata_", kOtherProductFile},
        {"E:\\d\\_sync.app\\x", "E:\\d\\_sync.app", kOtherProductFile},
        {"E:\\d\\_syncapp\\x.y", "E:\\d\\_syncapp", kOtherProductFile},
        // An identity keeps its class inside the product's folders: the endings come first.
        {"E:\\d\\_gsdata_\\a.tst", "E:\\d\\_gsdata_", kIdentityFile},
        {"E:\\d\\_GSDATA_\\x.bin", "E:\\d\\_GSDATA_", kNotProductFile},
        {"E:\\d\\my_gsdata_\\x.bin", "E:\\d\\my_gsdata_", kNotProductFile},
        {"E:\\d\\.tst", "E:\\d", kNotProductFile},
        {"E:\\d\\.tsn", "E:\\d", kNotProductFile},
        {"E:\\d\\other.psw", "E:\\d", kNotProductFile},
        {"E:\\d\\tessaly.tso", "E:\\d", kNotProductFile},
        {"E:\\d\\options.ini", "E:\\d", kNotProductFile},
        {"E:\\d\\state._gs", "E:\\d", kNotProductFile},
        {"E:\\d\\a.tst.bak", "E:\\d", kNotProductFile},
        {"E:\\d\\README", "E:\\d", kNotProductFile},
    };
    for (const Row& r : kRows) {
        SCOPED_TRACE(r.pszPath);
        EXPECT_EQ(r.expected, ClassifyProductFile(r.pszPath, r.pszFolder));
    }
}

class CollectProductFilesTest : public ::testing::Test {
protected:
    void Write(const std::string& sRel) { ASSERT_TRUE(testutil::WriteFileBytes(m_dir / sRel, "x")); }
    ProductFileSet Collect(int nStartDepth = 1)
    {
        ProductFileSet set;
        g_nCollectDepth = nStartDepth;
        CollectProductFiles(m_dir.Path().c_str(), set);
        EXPECT_EQ(nStartDepth, g_nCollectDepth);   // every level gives its count back
        return set;
    }
    static std::vector<std::string> Strings(const std::vector<CString>& v)
    {
        std::vector<std::string> out;
        for (const CString& s : v)
            out.push_back(s.c_str());
        return out;
    }
    CTempDir m_dir;
};

TEST_F(CollectProductFilesTest, CountsEachClassAndListsFoldersInnermostFirst)
{
    for (const char* psz : {"a.tst", "b.tsc", "sub\\c.tst", "k.tsp", "sub\\deep\\k.tsx", "options.tso", "n.tsn",
                            "photo.jpg", "sub\\deep\\notes.txt", "_gsdata_\\blob"})
        Write(psz);
    ProductFileSet set = Collect();
    EXPECT_EQ(3, set.nIdentities);
    EXPECT_EQ(2, set.nKeycards);
    EXPECT_EQ(1, set.nVaultnotes);
    EXPECT_EQ(2, set.nOthers);
    EXPECT_EQ(8, set.nTotal);
    EXPECT_EQ(8u, set.files.size());

    std::vector<std::string> folders = Strings(set.folders);
    ASSERT_EQ(3u, folders.size());
    auto pos = [&](const std::string& s) { return std::find(folders.begin(), folders.end(), m_dir / s) - folders.begin(); };
    EXPECT_LT(pos("sub\\deep"), pos("sub"));
    EXPECT_LT(pos("_gsdata_"), 3);
    std::vector<std::string> files = Strings(set.files);
    EXPECT_NE(files.end(), std::find(files.begin(), files.end(), m_dir / "sub\\deep\\k.tsx"));
    EXPECT_EQ(files.end(), std::find(files.begin(), files.end(), m_dir / "photo.jpg"));
}

TEST_F(CollectProductFilesTest, ALinkedFolderIsNeitherEnteredNorListed)
{
    CTempDir outside;
    ASSERT_TRUE(testutil::WriteFileBytes(outside / "victim.tst", "x"));
    Write("mine.tst");
    ASSERT_TRUE(testutil::MakeFolderLink(m_dir / "link", outside.Path()));
    ProductFileSet set = Collect();
    testutil::RemoveFolderLink(m_dir / "link");
    EXPECT_EQ((std::vector<std::string>{m_dir / "mine.tst"}), Strings(set.files));
    EXPECT_TRUE(set.folders.empty());
}

TEST_F(CollectProductFilesTest, TheDepthCounterBoundsTheScan)
{
    Write("a.tst");
    Write("1\\b.tst");
    Write("1\\2\\c.tst");
    Write("1\\2\\3\\d.tst");
    struct Row {
        int nStart;
        int nFiles;     // how many levels were scanned
        int nFolders;   // folders listed
    };
    // With the counter at 1 for the root, the folder 1000 levels down is listed but not
    // scanned; starting the counter nearer the limit shows the same bound in a shallow tree.
    static const Row kRows[] = {
        {1, 4, 3}, {998, 3, 3}, {999, 2, 2}, {1000, 1, 1}, {1001, 0, 0}, {0, 0, 0}, {-5, 0, 0},
    };
    for (const Row& r : kRows) {
        SCOPED_TRACE(r.nStart);
        ProductFileSet set = Collect(r.nStart);
        EXPECT_EQ(r.nFiles, set.nTotal);
        EXPECT_EQ(static_cast<size_t>(r.nFolders), set.folders.size());
    }
}

}  // namespace
