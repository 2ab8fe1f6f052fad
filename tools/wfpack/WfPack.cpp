// wfpack: builds, lists, verifies and extracts the starter's packages.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sfx/format/Crc32.h"
#include "sfx/format/FilePack.h"
#include "sfx/format/PackDecode.h"
#include "sfx/format/SfxBlock.h"
#include "sfx/format/SfxPackageBuilder.h"
#include "tools/wfpack/HostFiles.h"

namespace {

const int kExitOk = 0;
const int kExitBad = 1;     // the package is damaged, or extracting failed
const int kExitUsage = 2;   // bad arguments or unreadable inputs

const char* const kPackBlocks[] = {"tessaly", "langs", "config", "portable"};
const char* const kRawBlocks[] = {"affid"};

const char kUsage[] =
    "usage:\n"
    "  wfpack build OUT.bin [--stub PE] --block tessaly=DIR [--block langs=DIR]\n"
    "               [--block config=DIR] [--block portable=DIR] [--raw affid=FILE]\n"
    "               [--dict-size N[k|m]] [--level 0-9]\n"
    "  wfpack list PKG       blocks, sizes, CRC state and the files of each pack\n"
    "  wfpack verify PKG     exit status 0 only when every CRC holds\n"
    "  wfpack extract PKG DIR\n"
    "Blocks are written in the order given; folders are packed with their files in byte order.\n";

int Usage(const std::string& sError)
{
    std::fprintf(stderr, "wfpack: %s\n%s", sError.c_str(), kUsage);
    return kExitUsage;
}

int Fail(const std::string& sError, int nExit)
{
    std::fprintf(stderr, "wfpack: %s\n", sError.c_str());
    return nExit;
}

bool IsOneOf(const std::string& s, const char* const* pList, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        if (s == pList[i])
            return true;
    return false;
}

bool IsPackBlockName(const std::string& s) { return IsOneOf(s, kPackBlocks, sizeof(kPackBlocks) / sizeof(*kPackBlocks)); }

// Collects the chain walk's findings; a package tool shows them rather than a log.
class CCollectLog : public ISfxLog {
public:
    void Write(const char* pszText, const char* pszDetail, uint32_t dwCode) override
    {
        std::string s = pszText;
        if (pszDetail && *pszDetail)
            s += std::string(" ") + pszDetail;
        if (std::strncmp(pszText, "GetNextSfxBlock:", 16) == 0) {
            char szCode[16];
            if (dwCode) {
                std::snprintf(szCode, sizeof(szCode), " (%" PRIu32 ")", dwCode);
                s += szCode;
            }
            m_problems.push_back(s);
        }
    }
    std::vector<std::string> m_problems;
};

bool ParseNumber(const std::string& s, uint64_t& n)
{
    if (s.empty())
        return false;
    char* pEnd = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(s.c_str(), &pEnd, 10);
    if (errno || pEnd == s.c_str() || s[0] == '-')
        return false;
    std::string sSuffix(pEnd);
    if (sSuffix == "k" || sSuffix == "K")
        v <<= 10;
    else if (sSuffix == "m" || sSuffix == "M")
        v <<= 20;
    else if (!sSuffix.empty())
        return false;
    n = v;
    return true;
}

std::string Megabytes(uint64_t n)
{
    char sz[32];
    std::snprintf(sz, sizeof(sz), "%.1f MB", static_cast<double>(n) / (1024.0 * 1024.0));
    return sz;
}

// --- build ------------------------------------------------------------------------------

int Build(const std::vector<std::string>& args)
{
    if (args.empty())
        return Usage("build needs the output file");
    std::string sOut = args[0];
    std::string sStub;
    LzmaOptions options;
    struct BlockArg {
        std::string sName;
        std::string sPath;
        bool bRaw;
    };
    std::vector<BlockArg> blockArgs;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (i + 1 >= args.size())
            return Usage(a + " needs a value");
        const std::string& v = args[++i];
        if (a == "--stub") {
            sStub = v;
        } else if (a == "--block" || a == "--raw") {
            size_t nEq = v.find('=');
            if (nEq == std::string::npos || nEq == 0 || nEq + 1 == v.size())
                return Usage(a + " takes NAME=" + (a == "--raw" ? "FILE" : "DIR") + ", not " + v);
            BlockArg arg{v.substr(0, nEq), v.substr(nEq + 1), a == "--raw"};
            if (!arg.bRaw && !IsPackBlockName(arg.sName))
                return Usage("unknown file-pack block " + arg.sName + " (tessaly, langs, config, portable)");
            if (arg.bRaw && !IsOneOf(arg.sName, kRawBlocks, 1))
                return Usage("unknown raw block " + arg.sName + " (affid)");
            for (const BlockArg& other : blockArgs)
                if (other.sName == arg.sName)
                    return Usage("block " + arg.sName + " given twice");
            blockArgs.push_back(arg);
        } else if (a == "--dict-size") {
            uint64_t n = 0;
            if (!ParseNumber(v, n) || n < (1u << 12) || n > (1u << 27))
                return Usage("--dict-size must be 4k to 128m, not " + v);
            options.dwDictSize = static_cast<uint32_t>(n);
        } else if (a == "--level") {
            uint64_t n = 0;
            if (!ParseNumber(v, n) || n > 9)
                return Usage("--level must be 0 to 9, not " + v);
            options.nLevel = static_cast<int>(n);
        } else {
            return Usage("unknown option " + a);
        }
    }
    bool bHaveProgram = false;
    for (const BlockArg& arg : blockArgs)
        bHaveProgram |= arg.sName == "tessaly";
    if (!bHaveProgram)
        return Usage("a package needs --block tessaly=DIR");

    CSfxPackageBuilder builder;
    std::string sError;
    if (!sStub.empty()) {
        std::string sStubBytes;
        if (!hostfs::ReadWholeFile(sStub, sStubBytes, sError))
            return Fail(sError, kExitUsage);
        if (!builder.SetStub(sStubBytes, sError))
            return Fail(sStub + ": " + sError, kExitUsage);
    }
    for (const BlockArg& arg : blockArgs) {
        if (arg.bRaw) {
            std::string sData;
            if (!hostfs::ReadWholeFile(arg.sPath, sData, sError) || !builder.AddRawBlock(arg.sName, sData, sError))
                return Fail(sError, kExitUsage);
            continue;
        }
        std::vector<std::string> names;
        if (!hostfs::ListTree(arg.sPath, names, sError))
            return Fail(sError, kExitUsage);
        if (names.size() > kFilePackMaxFiles)
            return Fail("block " + arg.sName + ": " + std::to_string(names.size()) +
                            " files, a block holds at most 65535",
                        kExitUsage);
        std::vector<FilePackItem> items(names.size());
        for (size_t i = 0; i < names.size(); ++i) {
            items[i].sName = names[i];
            if (names[i].size() > kFilePackMaxName)
                return Fail("block " + arg.sName + ": file name longer than 254 characters: " + names[i], kExitUsage);
            if (!hostfs::ReadWholeFile(hostfs::JoinPackPath(arg.sPath, names[i]), items[i].sContent, sError))
                return Fail(sError, kExitUsage);
        }
        if (!builder.AddFilePackBlock(arg.sName, items, options, sError))
            return Fail(sError, kExitUsage);
    }
    std::string sPackage;
    if (!builder.Build(sPackage, sError))
        return Fail(sError, kExitUsage);
    if (!hostfs::WriteWholeFile(sOut, sPackage, sError))
        return Fail(sError, kExitUsage);
    std::printf("%s: %zu blocks, %" PRIu64 " bytes\n", sOut.c_str(), blockArgs.size(), static_cast<uint64_t>(sPackage.size()));
    return kExitOk;
}

// --- reading packages ------------------------------------------------------------------

struct FileResult {
    std::string sName;
    uint32_t dwSize;
    bool bGood;
};

// Lists the files of a pack as the parser hands them over; writes nothing.
class CListSink : public IFilePackSink {
public:
    SfxStatus OnFileBegin(const FilePackEntry&) override { return kSfxOk; }
    SfxStatus OnFileData(const FilePackEntry&, const uint8_t*, size_t) override { return kSfxOk; }
    SfxStatus OnFileEnd(const FilePackEntry& e, uint32_t) override
    {
        m_files.push_back({e.pszName, e.dwSize, true});
        return kSfxOk;
    }
    void OnPackError(FilePackError error, const FilePackEntry* pEntry) override
    {
        if (error == FilePackError::CrcMismatch && pEntry)
            m_files.push_back({pEntry->pszName, pEntry->dwSize, false});
        m_sError = DescribePackError(error, pEntry);
    }
    static std::string DescribePackError(FilePackError error, const FilePackEntry* pEntry)
    {
        std::string sName = pEntry ? std::string(" \"") + pEntry->pszName + "\"" : "";
        switch (error) {
        case FilePackError::HeaderTooSmall: return "file list header is too small";
        case FilePackError::EntryPastHeader: return "file list runs past its header";
        case FilePackError::UnsafeName: return "unsafe file name" + sName;
        case FilePackError::PathTooLong: return "path too long for the output folder:" + sName;
        case FilePackError::CrcMismatch: return "CRC error in file" + sName;
        case FilePackError::Truncated: return "data ends early" + (pEntry ? " in file" + sName : std::string(" in the file list"));
        }
        return "damaged file pack";
    }
    std::vector<FileResult> m_files;
    std::string m_sError;
};

std::string DescribeDecodeFailure(PayloadStage stage, SfxStatus s, const std::string& sPackError)
{
    char sz[64];
    std::snprintf(sz, sizeof(sz), " (status 0x%08" PRIX32 ")", static_cast<uint32_t>(s));
    switch (stage) {
    case PayloadStage::Properties:
        return s == kSfxOutOfMemory ? std::string("dictionary too large to allocate") + sz
                                    : std::string("bad LZMA properties") + sz;
    case PayloadStage::Decoder:
        return std::string("LZMA data damaged") + sz;
    case PayloadStage::Pack:
        return sPackError.empty() ? std::string("damaged file pack") + sz : sPackError;
    }
    return sz;
}

bool LoadPackage(const std::string& sPath, std::string& sBytes, std::string& sError)
{
    if (!hostfs::ReadWholeFile(sPath, sBytes, sError))
        return false;
    if (sBytes.empty()) {
        sError = sPath + ": empty file";
        return false;
    }
    return true;
}

const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

// Walks the chain, printing (bPrintFiles) or only checking; returns whether all is well.
bool Inspect(const std::string& sPackage, bool bPrintFiles)
{
    CCollectLog log;
    CSfxChainWalk walk(Bytes(sPackage), static_cast<uint32_t>(sPackage.size()), log);
    bool bAllGood = true;
    bool bHaveProgram = false;
    if (bPrintFiles)
        std::printf("%-8s %10s %10s  %s\n", "block", "offset", "size", "CRC");
    while (const uint8_t* pBlock = walk.Next()) {
        char szName[kSfxBlockNameSize + 1];
        SfxBlockNameText(pBlock, szName);
        uint32_t dwStored = SfxBlockCrc(pBlock);
        uint32_t dwPayload = SfxBlockPayloadSize(pBlock);
        std::string sCrc;
        if (dwStored == 0) {
            sCrc = "not stored";
        } else if (Crc32::Of(SfxBlockPayload(pBlock), dwPayload) == dwStored) {
            sCrc = "ok";
        } else {
            sCrc = "BAD";
            bAllGood = false;
        }
        bHaveProgram |= std::strcmp(szName, "tessaly") == 0;
        if (bPrintFiles)
            std::printf("%-8s %10" PRIu32 " %10" PRIu32 "  %s\n", szName,
                        static_cast<uint32_t>(pBlock - Bytes(sPackage)), SfxBlockSize(pBlock), sCrc.c_str());
        else if (sCrc == "BAD")
            std::printf("%s: block CRC does not match\n", szName);
        if (!IsPackBlockName(szName) || sCrc == "BAD")
            continue;
        CListSink sink;
        CFilePackParser parser(sink, 0);
        PayloadStage stage;
        SfxStatus s = DecodeFilePackPayload(SfxBlockPayload(pBlock), dwPayload, parser, &stage);
        uint64_t nBytes = 0;
        for (const FileResult& f : sink.m_files) {
            nBytes += f.dwSize;
            if (bPrintFiles)
                std::printf("    %10" PRIu32 "  %s  %s\n", f.dwSize, f.bGood ? "ok " : "BAD", f.sName.c_str());
        }
        if (SfxFailed(s)) {
            bAllGood = false;
            std::printf("%s: %s\n", szName, DescribeDecodeFailure(stage, s, sink.m_sError).c_str());
        } else if (bPrintFiles) {
            std::printf("    %zu files, %s\n", sink.m_files.size(), Megabytes(nBytes).c_str());
        }
    }
    for (const std::string& sProblem : log.m_problems) {
        std::printf("chain: %s\n", sProblem.c_str());
        bAllGood = false;
    }
    if (walk.Count() == 0)
        std::printf("no blocks\n");
    else if (!bHaveProgram)
        std::printf("no tessaly block: the starter has nothing to unpack\n");
    return bAllGood && bHaveProgram;
}

int List(const std::vector<std::string>& args)
{
    if (args.size() != 1)
        return Usage("list takes one package");
    std::string sPackage, sError;
    if (!LoadPackage(args[0], sPackage, sError))
        return Fail(sError, kExitUsage);
    Inspect(sPackage, true);
    return kExitOk;
}

int Verify(const std::vector<std::string>& args)
{
    if (args.size() != 1)
        return Usage("verify takes one package");
    std::string sPackage, sError;
    if (!LoadPackage(args[0], sPackage, sError))
        return Fail(sError, kExitUsage);
    bool bGood = Inspect(sPackage, false);
    std::printf("%s: %s\n", args[0].c_str(), bGood ? "OK" : "FAILED");
    return bGood ? kExitOk : kExitBad;
}

// --- extract ------------------------------------------------------------------------------

class CExtractSink : public IFilePackSink {
public:
    explicit CExtractSink(const std::string& sRoot) : m_sRoot(sRoot) {}
    SfxStatus OnFileBegin(const FilePackEntry& e) override
    {
        // Folders one at a time, so that a link planted in the tree is never followed.
        std::string sName = e.pszName;
        for (size_t nPos = sName.find('\\'); nPos != std::string::npos; nPos = sName.find('\\', nPos + 1)) {
            if (!hostfs::MakeFolder(hostfs::JoinPackPath(m_sRoot, sName.substr(0, nPos)), m_sError))
                return kSfxFail;
        }
        m_sPath = hostfs::JoinPackPath(m_sRoot, sName);
        if (!m_file.Create(m_sPath, m_sError))
            return kSfxFail;
        return kSfxOk;
    }
    SfxStatus OnFileData(const FilePackEntry&, const uint8_t* p, size_t n) override
    {
        if (!m_file.Write(p, n, m_sError)) {
            m_sError = m_sPath + ": " + m_sError;
            return kSfxFail;
        }
        return kSfxOk;
    }
    SfxStatus OnFileEnd(const FilePackEntry&, uint32_t) override
    {
        m_file.Close();
        ++m_nFiles;
        return kSfxOk;
    }
    void OnPackError(FilePackError error, const FilePackEntry* pEntry) override
    {
        m_file.Close();
        // A file whose content is wrong or incomplete is not left behind.
        if (pEntry && (error == FilePackError::CrcMismatch || error == FilePackError::Truncated) && !m_sPath.empty())
            hostfs::RemoveFile(m_sPath);
        m_sError = CListSink::DescribePackError(error, pEntry);
    }
    std::string m_sError;
    size_t m_nFiles = 0;
private:
    std::string m_sRoot;
    std::string m_sPath;
    hostfs::COutFile m_file;
};

int Extract(const std::vector<std::string>& args)
{
    if (args.size() != 2)
        return Usage("extract takes a package and a folder");
    std::string sPackage, sError;
    if (!LoadPackage(args[0], sPackage, sError))
        return Fail(sError, kExitUsage);
    std::string sRoot = args[1];
    while (sRoot.size() > 1 && (sRoot.back() == '/' || sRoot.back() == hostfs::kSeparator))
        sRoot.pop_back();
    CCollectLog log;
    if (!TestSFX(Bytes(sPackage), static_cast<uint32_t>(sPackage.size()), log))
        return Fail(args[0] + ": corrupted package (a block CRC does not match or there is no block chain)", kExitBad);
    if (!hostfs::MakeFolders(sRoot, sError))
        return Fail(sError, kExitUsage);

    int nExit = kExitOk;
    for (const char* pszBlock : kPackBlocks) {
        uint32_t dwPayload = 0;
        const uint8_t* pPayload = FindSfxBlock(Bytes(sPackage), static_cast<uint32_t>(sPackage.size()), pszBlock,
                                               &dwPayload, log);
        if (!pPayload)
            continue;
        CExtractSink sink(sRoot);
#ifdef _WIN32
        CFilePackParser parser(sink, sRoot.size());   // the paths the starter could write
#else
        CFilePackParser parser(sink, 0);
#endif
        PayloadStage stage;
        SfxStatus s = DecodeFilePackPayload(pPayload, dwPayload, parser, &stage);
        if (SfxFailed(s)) {
            std::printf("%s: %s\n", pszBlock, DescribeDecodeFailure(stage, s, sink.m_sError).c_str());
            nExit = kExitBad;
        } else {
            std::printf("%s: %zu files\n", pszBlock, sink.m_nFiles);
        }
    }
    uint32_t dwAffid = 0;
    if (const uint8_t* p = FindSfxBlock(Bytes(sPackage), static_cast<uint32_t>(sPackage.size()), "affid", &dwAffid, log)) {
        if (!hostfs::WriteWholeFile(hostfs::JoinPackPath(sRoot, "affid.txt"),
                                    std::string(reinterpret_cast<const char*>(p), dwAffid), sError)) {
            std::printf("affid: %s\n", sError.c_str());
            nExit = kExitBad;
        } else {
            std::printf("affid: saved as affid.txt\n");
        }
    }
    return nExit;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return Usage("no command");
    std::string sCommand = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    if (sCommand == "build")
        return Build(args);
    if (sCommand == "list")
        return List(args);
    if (sCommand == "verify")
        return Verify(args);
    if (sCommand == "extract")
        return Extract(args);
    if (sCommand == "--help" || sCommand == "-h" || sCommand == "help") {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    return Usage("unknown command " + sCommand);
}
