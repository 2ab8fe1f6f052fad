#pragma once
// Writes packages: a stub executable whose DOS header anchors a chain of blocks, each a
// raw payload or an LZMA-compressed file pack. Used by the package tool, the tests and
// the benchmark; the programs only read packages. The same inputs give the same bytes.
#include <cstdint>
#include <string>
#include <vector>

#include "sfx/format/FilePack.h"

struct LzmaOptions {
    int nLevel = 5;           // 0 to 9
    uint32_t dwDictSize = 0;  // 0: the level's default, never more than the data needs
    bool bEndMark = true;     // an end marker lets any raw LZMA1 decoder find the end
};

// Compresses sIn into the block payload form: properties byte, 32-bit dictionary size,
// range-coded data.
bool LzmaCompress(const std::string& sIn, const LzmaOptions& options, std::string& sOut, std::string& sError);

// A DOS program of 128 bytes that says that the package needs Windows.
std::string SfxMinimalStub();

constexpr uint32_t kSfxAnchorCheckValue = 0x31584653;   // "SFX1"

class CSfxPackageBuilder {
public:
    CSfxPackageBuilder();
    // A stub must begin with "MZ" and hold the whole DOS header (64 bytes).
    bool SetStub(const std::string& sStub, std::string& sError);
    // A block whose payload is stored as given; bCrc false stores 0 (not verified).
    bool AddRawBlock(const std::string& sName, const std::string& sPayload, std::string& sError, bool bCrc = true);
    bool AddFilePackBlock(const std::string& sName, const std::vector<FilePackItem>& items,
                          const LzmaOptions& options, std::string& sError);
    // Compresses already encoded pack bytes (the tests' hostile packs).
    bool AddCompressedBlock(const std::string& sName, const std::string& sPackBytes, const LzmaOptions& options,
                            std::string& sError);
    bool Build(std::string& sOut, std::string& sError);
    // File offsets of the blocks in the last Build, in chain order.
    const std::vector<uint32_t>& BlockOffsets() const { return m_offsets; }

private:
    struct Block {
        std::string sName;
        std::string sPayload;
        bool bCrc;
    };
    std::string m_stub;
    std::vector<Block> m_blocks;
    std::vector<uint32_t> m_offsets;
};
