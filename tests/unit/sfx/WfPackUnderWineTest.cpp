// The package tool's Windows build, run as distributors run it.
#include "SfxTestSupport.h"

#include "sfx/MappedFile.h"
#include "sfx/SfxBlockChain.h"

using Strings = std::vector<std::string>;

namespace {

std::string WfPack() { return testutil::ModuleFolder() + "\\..\\tools\\wfpack.exe"; }

// Runs wfpack through the command interpreter so that its output lands in a file.
int RunWfPack(const testutil::CTempDir& dir, const std::string& sArgs, std::string& sOutput)
{
    std::string sOut = dir / "wfpack-out.txt";
    int rc = testutil::RunAndWait("cmd /c \"\"" + WfPack() + "\" " + sArgs + " > \"" + sOut + "\" 2>&1\"", 120000,
                                  dir.Path().c_str());
    sOutput = testutil::ReadFileOrEmpty(sOut);
    return rc;
}

}  // namespace

TEST(WfPackUnderWine, BuildsListsVerifiesAndExtracts)
{
    testutil::CTempDir dir;
    ASSERT_TRUE(testutil::FileExists(WfPack())) << WfPack();
    testutil::WriteFileBytes(dir / "prog\\TessTaskBarIcon.exe", "MZ tray");
    testutil::WriteFileBytes(dir / "prog\\sub\\lib.dll", std::string(70000, 'L'));
    testutil::WriteFileBytes(dir / "prog\\empty.txt", "");
    testutil::WriteFileBytes(dir / "langs\\en-English.lng", "en");
    testutil::WriteFileBytes(dir / "affid.src", "7");
    std::string sOut;
    ASSERT_EQ(0, RunWfPack(dir, "build pkg.bin --block tessaly=prog --block langs=langs --raw affid=affid.src", sOut))
        << sOut;
    std::string sPackage = testutil::ReadFileOrEmpty(dir / "pkg.bin");
    EXPECT_EQ("pkg.bin: 3 blocks, " + std::to_string(sPackage.size()) + " bytes\r\n", sOut);

    // What the Windows tool writes, the engine reads.
    CMappedFile package;
    ASSERT_TRUE(package.Open((dir / "pkg.bin").c_str(), GENERIC_READ, OPEN_EXISTING));
    EXPECT_TRUE(TestSFX(package.GetView(), package.GetSize()));
    package.Close();

    EXPECT_EQ(0, RunWfPack(dir, "list pkg.bin", sOut));
    EXPECT_NE(std::string::npos, sOut.find("     70000  ok   sub\\lib.dll\r\n")) << sOut;
    EXPECT_EQ(0, RunWfPack(dir, "verify pkg.bin", sOut));
    EXPECT_EQ("pkg.bin: OK\r\n", sOut);
    ASSERT_EQ(0, RunWfPack(dir, "extract pkg.bin out", sOut)) << sOut;
    EXPECT_EQ((Strings{"TessTaskBarIcon.exe", "affid.txt", "empty.txt", "en-English.lng", "sub\\", "sub\\lib.dll"}),
              SfxTest::Tree(dir / "out"));
    EXPECT_EQ(std::string(70000, 'L'), testutil::ReadFileOrEmpty(dir / "out\\sub\\lib.dll"));

    sPackage[sPackage.size() - 1] ^= 1;   // the one payload byte of the last block
    testutil::WriteFileBytes(dir / "bad.bin", sPackage);
    EXPECT_EQ(1, RunWfPack(dir, "verify bad.bin", sOut));
    EXPECT_EQ("affid: block CRC does not match\r\nbad.bin: FAILED\r\n", sOut);
    EXPECT_EQ(2, RunWfPack(dir, "build x.bin --block tessaly=nowhere", sOut));
    EXPECT_EQ("wfpack: nowhere: no such folder\r\n", sOut);
}
