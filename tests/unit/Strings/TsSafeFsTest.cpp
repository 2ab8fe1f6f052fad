// The one way onto the file system that no link redirects: folders opened as chains from the
// volume root and held, entries removed through their own handles, and the races in which
// another thread swaps a folder for a link while the work runs.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "Strings/TsLog.h"
#include "Strings/TsSafeFs.h"
#include "TestUtil.h"

namespace {

using testutil::CTempDir;

std::string ErrorText(DWORD dwError)
{
    CString s;
    GetErrorText(s, dwError);
    return s.c_str();
}

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

class SafeFs : public ::testing::Test {
protected:
    void TearDown() override
    {
        for (const std::string& s : m_links)
            testutil::RemoveFolderLink(s);
    }
    bool Link(const std::string& sLink, const std::string& sTarget)
    {
        m_links.push_back(sLink);
        return testutil::MakeFolderLink(sLink, sTarget);
    }
    CTempDir m_dir;
    CTempDir m_outside;
    std::vector<std::string> m_links;
};

TEST_F(SafeFs, AChainWithALinkAnywhereIsRefusedNamingTheLink)
{
    ASSERT_TRUE(testutil::CreateFolders(m_dir / "real\\Tessaly"));
    ASSERT_TRUE(testutil::CreateFolders(m_outside / "Tessaly\\deeper"));
    ASSERT_TRUE(testutil::WriteFileBytes(m_dir / "real\\file.txt", "x"));
    ASSERT_TRUE(Link(m_dir / "_ts", m_outside.Path()));
    ASSERT_TRUE(Link(m_dir / "real\\linked", m_outside.Path()));

    struct Row {
        std::string sPath;
        std::string sError;   // empty: opens
    };
    const Row kRows[] = {
        {m_dir / "real\\Tessaly", ""},
        {m_dir / "REAL\\tessaly\\", ""},
        {m_dir / "_ts", m_dir / "_ts is a link"},                               // the folder itself
        {m_dir / "_ts\\Tessaly", m_dir / "_ts is a link"},                      // just above it
        {m_dir / "_ts\\Tessaly\\deeper", m_dir / "_ts is a link"},              // two above it
        {m_dir / "real\\linked\\Tessaly", m_dir / "real\\linked is a link"},
        {m_dir / "real\\file.txt", m_dir / "real\\file.txt is not a folder"},
        {m_dir / "real\\file.txt\\below", m_dir / "real\\file.txt is not a folder"},
        {m_dir / "real\\missing", m_dir / "real\\missing: " + ErrorText(ERROR_FILE_NOT_FOUND)},
        {m_dir / "missing\\Tessaly", m_dir / "missing: " + ErrorText(ERROR_PATH_NOT_FOUND)},
        {"real\\Tessaly", "real\\Tessaly is not a full path"},
        {m_dir / "real\\..\\real", m_dir / "real\\..\\real is not a full path"},
        {m_dir / "re*l", m_dir / "re*l is not a full path"},
        {"", " is not a full path"},
    };
    for (const Row& r : kRows) {
        SCOPED_TRACE(r.sPath);
        CSafeFolder folder;
        CString sError;
        bool bOpened = TsOpenFolderChain(r.sPath.c_str(), folder, sError);
        EXPECT_EQ(r.sError.empty(), bOpened);
        EXPECT_EQ(r.sError, sError.c_str());
        EXPECT_EQ(bOpened, folder.IsOpen());
    }
    // Nothing was touched on the way.
    EXPECT_TRUE(testutil::FolderExists(m_outside / "Tessaly\\deeper"));
}

TEST_F(SafeFs, TheChainIsListedInTheNamesTheSystemKeeps)
{
    ASSERT_TRUE(testutil::CreateFolders(m_dir / "Program Folder\\Tessaly"));
    CSafeFolder folder;
    CString sError;
    ASSERT_TRUE(TsOpenFolderChain((m_dir / "PROGRAM FOLDER\\TESSALY").c_str(), folder, sError)) << sError.c_str();
    EXPECT_EQ("Tessaly", folder.Name());
    EXPECT_EQ(m_dir / "Program Folder\\Tessaly", folder.ListedPath().substr(folder.ListedPath().size() -
                                                                           (m_dir / "Program Folder\\Tessaly").size()));
    EXPECT_TRUE(TsFolderIsSame(folder, (m_dir / "program folder\\tessaly\\").c_str()));
    EXPECT_TRUE(TsFolderIsSameOrAbove(folder, (m_dir / "Program Folder\\Tessaly\\sub").c_str()));
    EXPECT_FALSE(TsFolderIsSameOrAbove(folder, (m_dir / "Program Folder\\TessalyX").c_str()));
    EXPECT_FALSE(TsFolderIsSameOrAbove(folder, (m_dir / "Program Folder").c_str()));
    EXPECT_FALSE(TsFolderIsSameOrAbove(folder, ""));
    EXPECT_EQ(static_cast<UINT>(DRIVE_FIXED), TsFolderDriveType(folder));

    // The short alias the system keeps for a long name finds the same folder. (Held with
    // the right to delete it, a folder is held by one chain at a time.)
    const std::string sListed = folder.ListedPath();
    folder.Close();
    char szShort[MAX_PATH] = "";
    DWORD n = ::GetShortPathNameA((m_dir / "Program Folder").c_str(), szShort, MAX_PATH);
    if (n > 0 && n < MAX_PATH && std::string(szShort) != m_dir / "Program Folder") {
        CSafeFolder aliased;
        ASSERT_TRUE(TsOpenFolderChain((std::string(szShort) + "\\Tessaly").c_str(), aliased, sError)) << sError.c_str();
        EXPECT_EQ(sListed, aliased.ListedPath());
    }
}

TEST_F(SafeFs, HeldFoldersCanBeNeitherRenamedNorRemoved)
{
    ASSERT_TRUE(testutil::WriteFileBytes(m_dir / "a\\b\\file.tst", "x"));
    CSafeFolder folder;
    CString sError;
    ASSERT_TRUE(TsOpenFolderChain((m_dir / "a\\b").c_str(), folder, sError)) << sError.c_str();
    EXPECT_FALSE(::MoveFileA((m_dir / "a").c_str(), (m_dir / "moved").c_str()));
    EXPECT_FALSE(::MoveFileA((m_dir / "a\\b").c_str(), (m_dir / "a\\moved").c_str()));
    // What lies inside can still go, through the held folder.
    CSafeItem item;
    DWORD dwError = 0;
    ASSERT_TRUE(folder.Find("FILE.TST", item, dwError));
    EXPECT_EQ("file.tst", item.sName);
    EXPECT_TRUE(folder.Remove(item, dwError)) << dwError;
    EXPECT_FALSE(testutil::FileExists(m_dir / "a\\b\\file.tst"));
    std::vector<CSafeItem> items;
    EXPECT_TRUE(folder.List(items, dwError));
    EXPECT_TRUE(items.empty());
    folder.Close();
    EXPECT_TRUE(::MoveFileA((m_dir / "a").c_str(), (m_dir / "moved").c_str()));
}

TEST_F(SafeFs, EntriesGoThroughTheirFolderAndALinkGoesAsALink)
{
    ASSERT_TRUE(testutil::WriteFileBytes(m_outside / "victim.tst", "keep"));
    ASSERT_TRUE(testutil::WriteFileBytes(m_dir / "sub\\ro.tst", "x"));
    ASSERT_TRUE(::SetFileAttributesA((m_dir / "sub\\ro.tst").c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(Link(m_dir / "link", m_outside.Path()));

    CSafeFolder parent;
    CSafeItem item;
    CString sError;
    EXPECT_FALSE(TsOpenEntry((m_dir / "link\\victim.tst").c_str(), parent, item, sError));
    EXPECT_EQ(m_dir / "link is a link", sError.c_str());
    EXPECT_FALSE(TsOpenEntry((m_dir / "sub\\missing.tst").c_str(), parent, item, sError));
    EXPECT_EQ(m_dir / "sub\\missing.tst: " + ErrorText(ERROR_FILE_NOT_FOUND), sError.c_str());

    // A read-only file stays, with the system's reason.
    ASSERT_TRUE(TsOpenEntry((m_dir / "sub\\ro.tst").c_str(), parent, item, sError)) << sError.c_str();
    DWORD dwError = 0;
    EXPECT_FALSE(parent.Remove(item, dwError));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), dwError);
    ::SetFileAttributesA((m_dir / "sub\\ro.tst").c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_TRUE(parent.Remove(item, dwError)) << dwError;

    // A folder that still holds something stays; emptied, it goes through its own handle.
    ASSERT_TRUE(testutil::WriteFileBytes(m_dir / "full\\x.tst", "x"));
    CSafeFolder full;
    ASSERT_TRUE(TsOpenFolderChain((m_dir / "full").c_str(), full, sError));
    EXPECT_FALSE(full.RemoveSelf(dwError));
    EXPECT_EQ(static_cast<DWORD>(ERROR_DIR_NOT_EMPTY), dwError);
    EXPECT_TRUE(testutil::FolderExists(m_dir / "full"));

    // The link itself, opened as the entry it is.
    ASSERT_TRUE(TsOpenEntry((m_dir / "link").c_str(), parent, item, sError)) << sError.c_str();
    EXPECT_TRUE(item.IsLink());
    parent.Remove(item, dwError);   // Wine may refuse a link it can only open by following
    EXPECT_EQ("keep", testutil::ReadFileOrEmpty(m_outside / "victim.tst"));
}

// While the walk empties "sub", a second thread moves "sub" away and puts a link to an
// outside folder in its place, whose files have the same names. Whatever the moment of the
// swap (before the walk reaches "sub", or after it deleted some of it), nothing outside goes.
TEST_F(SafeFs, FolderSwappedForALinkDuringTheWalkLeavesItsTargetAlone)
{
    const int kFiles = 200;
    for (int i = 0; i < kFiles; ++i)
        ASSERT_TRUE(testutil::WriteFileBytes(m_outside / FileName(i), "not ours"));
    for (int nRound = 0; nRound < 10; ++nRound) {
        // Rounds swap at different depths of the walk: when that many files of "sub" are gone.
        const int nGoneBeforeSwap = nRound * kFiles / 10;
        SCOPED_TRACE("swap after " + std::to_string(nGoneBeforeSwap) + " files");
        const std::string sRoot = m_dir / ("unpack" + std::to_string(nRound));
        const std::string sSub = sRoot + "\\deeper\\sub";
        for (int i = 0; i < kFiles; ++i)
            ASSERT_TRUE(testutil::WriteFileBytes(sSub + "\\" + FileName(i), "ours"));

        std::atomic<bool> bDone{false};
        std::atomic<bool> bSwapped{false};
        std::thread swapper([&] {
            int n;
            while (!bDone && (n = CountEntries(sSub)) >= 0 && n > kFiles - nGoneBeforeSwap)
                ::Sleep(0);
            if (::MoveFileA(sSub.c_str(), (sRoot + "\\moved").c_str()))
                bSwapped = testutil::MakeFolderLink(sSub, m_outside.Path());
        });
        CSafeFolder folder;
        CString sError;
        if (TsOpenFolderChain(sRoot.c_str(), folder, sError))
            TsEmptySafeFolder(folder, SafeWalkLog());
        bDone = true;
        swapper.join();
        folder.Close();

        EXPECT_EQ(kFiles, CountEntries(m_outside.Path()));
        if (bSwapped)
            testutil::RemoveFolderLink(sSub);
        testutil::RemoveTree(sRoot);
    }
}

// A folder above the one the work starts from is swapped for a link while the work opens
// its chain and empties it, again and again: until the swap the real folders are held (the
// swap waits for them), after it the chain is refused naming the link; the link's target
// keeps everything.
TEST_F(SafeFs, ALinkAboveTheStartFolderIsNeverPassed)
{
    const int kFiles = 20;
    for (int i = 0; i < kFiles; ++i)
        ASSERT_TRUE(testutil::WriteFileBytes(m_outside / ("Tessaly\\" + FileName(i)), "not ours"));
    const std::string sAbove = m_dir / "_ts";
    const std::string sStart = sAbove + "\\Tessaly";
    for (int nRound = 0; nRound < 6; ++nRound) {
        SCOPED_TRACE("round " + std::to_string(nRound));
        const std::string sAside = m_dir / ("aside" + std::to_string(nRound));
        for (int i = 0; i < kFiles; ++i)
            ASSERT_TRUE(testutil::WriteFileBytes(sStart + "\\" + FileName(i), "ours"));
        std::atomic<bool> bSwapped{false};
        std::thread swapper([&] {
            ::Sleep(static_cast<DWORD>(nRound * 3));
            while (!::MoveFileA(sAbove.c_str(), sAside.c_str()))
                ::Sleep(0);
            bSwapped = testutil::MakeFolderLink(sAbove, m_outside.Path());
        });
        while (!bSwapped) {
            CSafeFolder folder;
            CString sError;
            if (TsOpenFolderChain(sStart.c_str(), folder, sError))
                TsEmptySafeFolder(folder, SafeWalkLog());
            ::Sleep(0);
        }
        swapper.join();
        CSafeFolder folder;
        CString sError;
        EXPECT_FALSE(TsOpenFolderChain(sStart.c_str(), folder, sError));
        EXPECT_EQ(sAbove + " is a link", sError.c_str());
        EXPECT_EQ(kFiles, CountEntries(m_outside / "Tessaly"));
        testutil::RemoveFolderLink(sAbove);
        ASSERT_TRUE(::MoveFileA(sAside.c_str(), sAbove.c_str()));
    }
}

}  // namespace
