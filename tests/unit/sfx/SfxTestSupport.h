#pragma once
// Fixture and helpers for the setup engine's tests under Wine: a fresh folder, the setup
// log lines written during the test, the message boxes shown (answered with OK), packages
// made with the package builder, folder links and files held open by another process.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "TestUtil.h"
#include "UiDriver.h"
#include "sfx/format/FilePack.h"

struct BlockSpec {
    BlockSpec(const std::string& sBlockName, const std::vector<FilePackItem>& packFiles = {})
        : sName(sBlockName), files(packFiles) {}
    static BlockSpec Raw(const std::string& sBlockName, const std::string& sBytes)
    {
        BlockSpec b(sBlockName);
        b.bRaw = true;
        b.sRaw = sBytes;
        return b;
    }
    std::string sName;
    std::vector<FilePackItem> files;   // a compressed file pack ...
    bool bRaw = false;                 // ... or sRaw stored as it is
    std::string sRaw;
};

// A package file of the given blocks, built as wfpack builds it.
std::string BuildPackage(const std::vector<BlockSpec>& blocks, std::vector<uint32_t>* pOffsets = nullptr);
// An encoded pack taken as it is (hostile names, damaged headers), compressed.
BlockSpec CompressedBlock(const std::string& sName, const std::string& sPackBytes);
// The decoded bytes of a pack, names unchecked.
std::string PackBytes(const std::vector<FilePackItem>& items);

// Box text as ReportSetupError forms it: "text\ndetail[\n<system text>]\r\n".
std::string SetupErrorText(const char* pszText, const char* pszDetail, DWORD dwCode = 0);

// The setup log lines of that text, as SfxTest::LogLines gives them.
std::vector<std::string> SetupErrorLogLines(const char* pszText, const char* pszDetail, DWORD dwCode = 0);
// A box shown by ReportSetupError, as SfxTest::BoxTexts gives it (the caption is the
// detail, or the system's "Error" without one).
inline std::string SetupErrorBox(const char* pszText, const char* pszDetail, DWORD dwCode = 0)
{
    return std::string(pszDetail ? pszDetail : "Error") + "|" + SetupErrorText(pszText, pszDetail, dwCode);
}

class SfxTest : public ::testing::Test {
public:
    // Every file and folder below sFolder, relative, sorted ("sub\", "sub\a.txt").
    static std::vector<std::string> Tree(const std::string& sFolder);

protected:
    void SetUp() override;
    void TearDown() override;

    // Log lines and boxes from here on count (SetUp calls it).
    void MarkLog();
    // Setup log lines written since SetUp, as "[code] text detail" without the time stamp.
    std::vector<std::string> LogLines() const;
    bool LogHas(const std::string& sLine) const;
    // Message boxes shown since SetUp (the progress window left out), waited for when
    // nExpected is given.
    std::vector<UiBox> Boxes(size_t nExpected = 0) const;
    // Each box as "caption|text".
    std::vector<std::string> BoxTexts(size_t nExpected = 0) const;

    std::string WritePackage(const std::string& sName, const std::vector<BlockSpec>& blocks);
    testutil::CTempDir m_dir;
    CUiDriver* m_pUi = nullptr;
    DWORD m_dwLogMark = 0;
};

// A folder link (a Unix symbolic link under Wine, a junction on Windows).
bool MakeFolderLink(const std::string& sLink, const std::string& sTarget);
// Removes such a link without touching its target (Wine's own calls would follow it).
void RemoveFolderLink(const std::string& sLink);

// Cuts a file to dwSize bytes from the Linux side, past Windows' sharing rules, the way a
// pulled drive takes a mapped file away (Wine only: false elsewhere).
bool TruncateFromOutside(const std::string& sPath, DWORD dwSize);
using testutil::RunUnixCommand;
using testutil::UnixPathOf;

// Another process that keeps a file open for reading, sharing only reading, until destroyed.
class CFileHolderProcess {
public:
    explicit CFileHolderProcess(const std::string& sPath);
    ~CFileHolderProcess();
    bool Holding() const { return m_bHolding; }
private:
    HANDLE m_hProcess = nullptr;
    HANDLE m_hRelease = nullptr;
    bool m_bHolding = false;
};
