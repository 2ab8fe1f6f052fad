// The package tool as distributors run it: the built binary, real folders and files.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "sfx/format/SfxBlock.h"
#include "sfx/format/SfxPackageBuilder.h"
#include "tests/host/HostTestSupport.h"

namespace {

class WfPackTool : public ::testing::Test {
protected:
    void SetUp() override
    {
        char szTemplate[] = "/tmp/wfpack-test.XXXXXX";
        ASSERT_NE(nullptr, ::mkdtemp(szTemplate));
        m_sDir = szTemplate;
    }
    void TearDown() override { std::system(("rm -rf '" + m_sDir + "'").c_str()); }

    std::string Path(const std::string& sRel) const { return m_sDir + "/" + sRel; }

    void Put(const std::string& sRel, const std::string& sContent)
    {
        std::string sPath = Path(sRel);
        std::system(("mkdir -p \"$(dirname '" + sPath + "')\"").c_str());
        std::ofstream(sPath, std::ios::binary) << sContent;
    }
    std::string Get(const std::string& sRel) const
    {
        std::ifstream f(Path(sRel), std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }
    bool Exists(const std::string& sRel) const
    {
        struct stat st;
        return ::lstat(Path(sRel).c_str(), &st) == 0;
    }

    // Runs wfpack with the arguments (relative paths resolved in the test folder); returns
    // the exit status and leaves stdout and stderr together in m_sOutput.
    int Run(const std::string& sArgs)
    {
        std::string sCmd = "cd '" + m_sDir + "' && '" WFPACK_PATH "' " + sArgs + " >out.txt 2>&1";
        int rc = std::system(sCmd.c_str());
        m_sOutput = Get("out.txt");
        return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    }
    std::string FirstLine() const { return m_sOutput.substr(0, m_sOutput.find('\n')); }

    void MakeTree()
    {
        Put("prog/TessTaskBarIcon.exe", PseudoRandomBytes(70000, 1));
        Put("prog/readme.txt", PseudoRandomBytes(9000, 2, true));
        Put("prog/empty.cfg", "");
        Put("prog/sub/dir/deep.dll", PseudoRandomBytes(1234, 3));
        Put("langs/de-German.lng", "Hallo");
        Put("affid.src", "partner-42");
    }

    std::string m_sDir;
    std::string m_sOutput;
};

}  // namespace

TEST_F(WfPackTool, BuildListVerifyExtract)
{
    MakeTree();
    ASSERT_EQ(0, Run("build pkg.bin --block tessaly=prog --block langs=langs --raw affid=affid.src")) << m_sOutput;
    std::string sPackage = Get("pkg.bin");
    EXPECT_EQ("pkg.bin: 3 blocks, " + std::to_string(sPackage.size()) + " bytes", FirstLine());

    ASSERT_EQ(0, Run("list pkg.bin")) << m_sOutput;
    for (const char* pszLine : {"     70000  ok   TessTaskBarIcon.exe\n", "         0  ok   empty.cfg\n",
                                "      1234  ok   sub\\dir\\deep.dll\n", "    4 files, 0.1 MB\n",
                                "         5  ok   de-German.lng\n"})
        EXPECT_NE(std::string::npos, m_sOutput.find(pszLine)) << pszLine << m_sOutput;
    EXPECT_NE(std::string::npos, m_sOutput.find("\naffid    ")) << m_sOutput;

    EXPECT_EQ(0, Run("verify pkg.bin"));
    EXPECT_EQ("pkg.bin: OK\n", m_sOutput);

    ASSERT_EQ(0, Run("extract pkg.bin out/x")) << m_sOutput;
    EXPECT_EQ("tessaly: 4 files\nlangs: 1 files\naffid: saved as affid.txt\n", m_sOutput);
    for (const char* pszFile : {"TessTaskBarIcon.exe", "readme.txt", "empty.cfg", "sub/dir/deep.dll"})
        EXPECT_TRUE(Get(std::string("prog/") + pszFile) == Get(std::string("out/x/") + pszFile)) << pszFile;
    EXPECT_EQ("Hallo", Get("out/x/de-German.lng"));
    EXPECT_EQ("partner-42", Get("out/x/affid.txt"));
}

TEST_F(WfPackTool, SameInputsGiveTheSameBytes)
{
    MakeTree();
    ASSERT_EQ(0, Run("build a.bin --block tessaly=prog --level 1 --dict-size 64k"));
    ASSERT_EQ(0, Run("build b.bin --block tessaly=prog --level 1 --dict-size 64k"));
    EXPECT_TRUE(Get("a.bin") == Get("b.bin"));
    ASSERT_EQ(0, Run("build c.bin --block tessaly=prog --level 9"));
    EXPECT_FALSE(Get("a.bin") == Get("c.bin"));
    // The stub given is kept in front of the chain.
    std::string sStub = SfxMinimalStub() + "extra stub bytes";
    Put("stub.exe", sStub);
    ASSERT_EQ(0, Run("build d.bin --stub stub.exe --block tessaly=prog")) << m_sOutput;
    std::string sPackage = Get("d.bin");
    EXPECT_EQ(sStub.size(), SfxLoad32(Bytes(sPackage) + 0x28));
    EXPECT_EQ(0, Run("verify d.bin"));
}

TEST_F(WfPackTool, VerifyFindsDamage)
{
    MakeTree();
    ASSERT_EQ(0, Run("build pkg.bin --block tessaly=prog"));
    std::string sPackage = Get("pkg.bin");
    sPackage[sPackage.size() - 10] ^= 0x55;
    Put("bad.bin", sPackage);
    EXPECT_EQ(1, Run("verify bad.bin"));
    EXPECT_EQ("tessaly: block CRC does not match\nbad.bin: FAILED\n", m_sOutput);
    EXPECT_EQ(1, Run("extract bad.bin out"));
    EXPECT_EQ("wfpack: bad.bin: corrupted package (a block CRC does not match or there is no block chain)\n", m_sOutput);
    EXPECT_FALSE(Exists("out"));

    // A member file whose CRC is wrong inside an intact block.
    std::string sPack, sError;
    ASSERT_TRUE(EncodeFilePack({{"a.txt", "alpha"}, {"b.txt", "beta"}}, sPack, sError));
    sPack[sPack.size() - 6] ^= 1;
    CSfxPackageBuilder b;
    ASSERT_TRUE(b.AddCompressedBlock("tessaly", sPack, LzmaOptions(), sError));
    ASSERT_TRUE(b.Build(sPackage, sError));
    Put("crc.bin", sPackage);
    EXPECT_EQ(1, Run("verify crc.bin"));
    EXPECT_EQ("tessaly: CRC error in file \"b.txt\"\ncrc.bin: FAILED\n", m_sOutput);
    EXPECT_EQ(1, Run("extract crc.bin out"));
    EXPECT_EQ("tessaly: CRC error in file \"b.txt\"\n", m_sOutput);
    EXPECT_EQ("alpha", Get("out/a.txt"));
    EXPECT_FALSE(Exists("out/b.txt"));   // a file with the wrong content is not left behind
}

TEST_F(WfPackTool, ExtractRefusesHostileNames)
{
    for (const char* pszName : {"..\\escape.txt", "sub\\..\\..\\escape.txt", "\\escape.txt", "C:\\escape.txt", "NUL"}) {
        SCOPED_TRACE(pszName);
        std::string sPack, sError, sPackage;
        ASSERT_TRUE(EncodeFilePack({{"first.txt", "ok"}, {pszName, "evil"}}, sPack, sError, false));
        CSfxPackageBuilder b;
        ASSERT_TRUE(b.AddCompressedBlock("tessaly", sPack, LzmaOptions(), sError));
        ASSERT_TRUE(b.Build(sPackage, sError));
        Put("evil.bin", sPackage);
        EXPECT_EQ(1, Run("extract evil.bin a/b"));
        EXPECT_EQ(std::string("tessaly: unsafe file name \"") + pszName + "\"\n", m_sOutput);
        EXPECT_FALSE(Exists("a/b/first.txt"));
        EXPECT_FALSE(Exists("a/escape.txt"));
        EXPECT_FALSE(Exists("escape.txt"));
        EXPECT_EQ(1, Run("verify evil.bin"));
    }
}

TEST_F(WfPackTool, ExtractDoesNotWriteThroughLinks)
{
    MakeTree();
    ASSERT_EQ(0, Run("build pkg.bin --block tessaly=prog"));
    Put("elsewhere/keep.txt", "keep");
    std::system(("mkdir -p '" + Path("out") + "' && ln -s ../elsewhere '" + Path("out/sub") + "'").c_str());
    EXPECT_EQ(1, Run("extract pkg.bin out"));
    EXPECT_EQ("tessaly: out/sub: a link is in the way\n", m_sOutput);
    EXPECT_FALSE(Exists("elsewhere/dir"));
    EXPECT_EQ("keep", Get("elsewhere/keep.txt"));
}

TEST_F(WfPackTool, ClearErrorsForBadArgumentsAndInputs)
{
    MakeTree();
    struct Case {
        const char* pszArgs;
        const char* pszFirstLine;
    };
    const Case kCases[] = {
        {"", "wfpack: no command"},
        {"frob", "wfpack: unknown command frob"},
        {"build", "wfpack: build needs the output file"},
        {"build o.bin --block", "wfpack: --block needs a value"},
        {"build o.bin --block tessaly", "wfpack: --block takes NAME=DIR, not tessaly"},
        {"build o.bin --block tessaly=prog --block tessaly=prog", "wfpack: block tessaly given twice"},
        {"build o.bin --block bogus=prog", "wfpack: unknown file-pack block bogus (tessaly, langs, config, portable)"},
        {"build o.bin --raw langs=affid.src --block tessaly=prog", "wfpack: unknown raw block langs (affid)"},
        {"build o.bin --block langs=langs", "wfpack: a package needs --block tessaly=DIR"},
        {"build o.bin --block tessaly=prog --level 10", "wfpack: --level must be 0 to 9, not 10"},
        {"build o.bin --block tessaly=prog --dict-size 1k", "wfpack: --dict-size must be 4k to 128m, not 1k"},
        {"build o.bin --block tessaly=prog --dict-size lots", "wfpack: --dict-size must be 4k to 128m, not lots"},
        {"build o.bin --block tessaly=prog --frob 1", "wfpack: unknown option --frob"},
        {"build o.bin --block tessaly=missing", "wfpack: missing: no such folder"},
        {"build o.bin --block tessaly=prog --raw affid=missing.txt", "wfpack: missing.txt: No such file or directory"},
        {"build o.bin --block tessaly=prog --stub affid.src", "wfpack: affid.src: the stub is no executable (it must "
                                                              "begin with \"MZ\" and hold a 64-byte DOS header)"},
        {"list", "wfpack: list takes one package"},
        {"list missing.bin", "wfpack: missing.bin: No such file or directory"},
        {"verify prog", "wfpack: prog: not a regular file"},
        {"extract pkg.bin", "wfpack: extract takes a package and a folder"},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.pszArgs);
        EXPECT_EQ(2, Run(c.pszArgs));
        EXPECT_EQ(c.pszFirstLine, FirstLine());
    }
    EXPECT_FALSE(Exists("o.bin"));
}

TEST_F(WfPackTool, OverLongNamesAndTooManyFiles)
{
    std::string sLong = std::string(100, 'a') + "/" + std::string(100, 'b') + "/" + std::string(60, 'c');
    Put("prog/" + sLong, "x");
    EXPECT_EQ(2, Run("build o.bin --block tessaly=prog"));
    std::string sPackPath = sLong;
    std::replace(sPackPath.begin(), sPackPath.end(), '/', '\\');
    EXPECT_EQ("wfpack: block tessaly: file name longer than 254 characters: " + sPackPath, FirstLine());

    std::system(("mkdir -p '" + Path("many") + "' && cd '" + Path("many") +
                 "' && seq -w 0 65535 | xargs touch").c_str());
    EXPECT_EQ(2, Run("build o.bin --block tessaly=many"));
    EXPECT_EQ("wfpack: block tessaly: 65536 files, a block holds at most 65535", FirstLine());

    Put("unsafe/CON", "x");
    EXPECT_EQ(2, Run("build o.bin --block tessaly=unsafe"));
    EXPECT_EQ("wfpack: block tessaly: file name not allowed in a package: CON", FirstLine());
}
