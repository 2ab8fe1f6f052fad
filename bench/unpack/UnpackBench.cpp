// Measures the setup run against the decoder it is built on, in one process under the
// same Wine: (1) RunSfx unpacking a package with its window hidden, (2) the same LZMA
// streams decoded into memory only by the same decoder, the floor for this decoder.
// Also the run's peak working set beyond the package's mapped view and the CRC-32
// throughput. Writes each block's raw LZMA stream for the native reference decode.
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchUtil.h"
#include "sfx/MappedFile.h"
#include "sfx/RunSfx.h"
#include "sfx/format/Crc32.h"
#include "sfx/format/LzmaDecoder.h"
#include "sfx/format/PackDecode.h"
#include "sfx/format/SfxBlock.h"

namespace {

using bench::RemoveTree;

const char* const kPackBlocks[] = {"tessaly", "langs", "config", "portable"};
const int kRepeats = 7;

double Now()
{
    static LARGE_INTEGER s_freq = [] {
        LARGE_INTEGER f;
        ::QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER t;
    ::QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) / static_cast<double>(s_freq.QuadPart);
}

// User and kernel time of this process (the Wine server's work on its behalf is not in it).
double CpuSeconds()
{
    FILETIME ftCreate, ftExit, ftKernel, ftUser;
    ::GetProcessTimes(::GetCurrentProcess(), &ftCreate, &ftExit, &ftKernel, &ftUser);
    auto seconds = [](const FILETIME& ft) {
        return static_cast<double>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime) / 1e7;
    };
    return seconds(ftKernel) + seconds(ftUser);
}

double Mb(double n) { return n / (1024.0 * 1024.0); }

SIZE_T WorkingSet()
{
    PROCESS_MEMORY_COUNTERS pmc = {};
    pmc.cb = sizeof(pmc);
    ::GetProcessMemoryInfo(::GetCurrentProcess(), &pmc, sizeof(pmc));
    return pmc.WorkingSetSize;
}

class CCountingOutStream : public ISequentialOutStream {
public:
    SfxStatus QueryInterface(const void*, void**) override { return kSfxNoInterface; }
    uint32_t AddRef() override { return 1; }
    uint32_t Release() override { return 1; }
    SfxStatus Write(const void*, uint32_t dwSize, uint32_t* pdwDone) override
    {
        m_nBytes += dwSize;
        if (pdwDone)
            *pdwDone = dwSize;
        return kSfxOk;
    }
    uint64_t m_nBytes = 0;
};

// Decodes every file-pack block of the package into memory; returns the bytes decoded.
uint64_t DecodeAll(const CMappedFile& package)
{
    CSfxNullLog log;
    uint64_t nTotal = 0;
    for (const char* pszBlock : kPackBlocks) {
        uint32_t dwSize = 0;
        const uint8_t* p = FindSfxBlock(package.GetView(), package.GetSize(), pszBlock, &dwSize, log);
        if (!p || dwSize < kLzmaPropsSize)
            continue;
        CLzmaDecoder decoder;
        if (SfxFailed(decoder.SetDecoderProperties2(p, kLzmaPropsSize)))
            continue;
        CMemoryInStream in(p + kLzmaPropsSize, dwSize - kLzmaPropsSize);
        CCountingOutStream out;
        decoder.Code(&in, &out);
        nTotal += out.m_nBytes;
    }
    return nTotal;
}

uint32_t BytewiseCrc(const uint8_t* p, size_t n)
{
    static uint32_t s_table[256];
    if (!s_table[1]) {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
            s_table[i] = c;
        }
    }
    uint32_t c = 0xFFFFFFFFu;
    while (n--)
        c = (c >> 8) ^ s_table[(c ^ *p++) & 0xFF];
    return ~c;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: unpack_bench PACKAGE WORK-FOLDER [RAW-STREAM-FOLDER]\n");
        return 2;
    }
    std::string sPackage = argv[1], sWork = argv[2];
    ::CreateDirectoryA(sWork.c_str(), nullptr);
    CMappedFile package;
    if (!package.Open(sPackage.c_str(), GENERIC_READ, OPEN_EXISTING)) {
        std::fprintf(stderr, "cannot open %s\n", sPackage.c_str());
        return 1;
    }
    // What the package holds, and the raw streams for the native reference.
    CSfxNullLog log;
    uint32_t dwDict = 0;
    std::printf("package: %.1f MB\n", Mb(package.GetSize()));
    for (const char* pszBlock : kPackBlocks) {
        uint32_t dwSize = 0;
        const uint8_t* p = FindSfxBlock(package.GetView(), package.GetSize(), pszBlock, &dwSize, log);
        if (!p || dwSize < kLzmaPropsSize)
            continue;
        uint32_t dwBlockDict = SfxLoad32(p + 1);
        dwDict = std::max(dwDict, dwBlockDict);
        unsigned nProps = p[0];
        std::printf("block %s: %.1f MB compressed, lc=%u lp=%u pb=%u, dictionary %.1f MB\n", pszBlock, Mb(dwSize),
                    nProps % 9, nProps / 9 % 5, nProps / 45, Mb(dwBlockDict));
        if (argc > 3) {
            std::string sRaw = std::string(argv[3]) + "\\" + pszBlock + ".lzma";
            HANDLE h = ::CreateFileA(sRaw.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
            DWORD n = 0;
            ::WriteFile(h, p + kLzmaPropsSize, dwSize - kLzmaPropsSize, &n, nullptr);
            ::CloseHandle(h);
            std::printf("RAW %s lc=%u,lp=%u,pb=%u,dict=%lu\n", pszBlock, nProps % 9, nProps / 9 % 5, nProps / 45,
                        static_cast<unsigned long>(dwBlockDict));
        }
    }
    std::fflush(stdout);

    const SfxRunParams kHidden = {1, 0, 0, 1, 0};
    std::string sUnpack = sWork + "\\Tessaly";
    std::string sCmd = "/unpack=\"" + sUnpack + "\" /temp=\"" + sWork + "\"";
    // Warm-up: libraries, the log and the file cache are ready before anything is timed.
    RemoveTree(sUnpack);
    if (RunSfx(sCmd.c_str(), &kHidden, sPackage.c_str()) != 0) {
        std::fprintf(stderr, "RunSfx failed\n");
        return 1;
    }
    uint64_t nDecoded = DecodeAll(package);

    // Interleaved, so that a busy moment of the machine hits both alike; the best of each.
    double t1 = 1e9, t2 = 1e9, c1 = 1e9, c2 = 1e9;
    for (int i = 0; i < kRepeats; ++i) {
        RemoveTree(sUnpack);
        double t = Now(), c = CpuSeconds();
        RunSfx(sCmd.c_str(), &kHidden, sPackage.c_str());
        t1 = std::min(t1, Now() - t);
        c1 = std::min(c1, CpuSeconds() - c);
        t = Now();
        c = CpuSeconds();
        DecodeAll(package);
        t2 = std::min(t2, Now() - t);
        c2 = std::min(c2, CpuSeconds() - c);
    }

    // Memory: the working set sampled while one more run goes. The base is taken once the
    // sampling thread runs, so that its own memory (about 1 MB a thread under Wine) is not
    // counted against the run.
    RemoveTree(sUnpack);
    std::atomic<bool> bStop{false};
    std::atomic<bool> bSampling{false};
    SIZE_T nBase = 0;
    SIZE_T nPeak = 0;
    std::thread sampler([&] {
        nBase = nPeak = WorkingSet();
        bSampling = true;
        while (!bStop) {
            nPeak = std::max(nPeak, WorkingSet());
            ::Sleep(2);
        }
    });
    while (!bSampling)
        ::Sleep(1);
    RunSfx(sCmd.c_str(), &kHidden, sPackage.c_str());
    bStop = true;
    sampler.join();
    double dBeyondView = static_cast<double>(nPeak) - static_cast<double>(nBase) - package.GetSize();

    // CRC-32 over 64 MB, against the bytewise definition.
    std::vector<uint8_t> buffer(64u << 20);
    uint32_t x = 12345;
    for (uint8_t& b : buffer) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 23);
    }
    double tCrc = 1e9;
    uint32_t dwCrc = 0;
    for (int i = 0; i < 5; ++i) {
        double t = Now();
        dwCrc = Crc32::Of(buffer.data(), buffer.size());
        tCrc = std::min(tCrc, Now() - t);
    }
    bool bCrcSame = dwCrc == BytewiseCrc(buffer.data(), buffer.size());
    double dCrcMbs = Mb(static_cast<double>(buffer.size())) / tCrc;

    std::printf("decoded: %.1f MB\n", Mb(static_cast<double>(nDecoded)));
    std::printf("1 RunSfx unpack, window hidden:        %.3f s (best of %d)\n", t1, kRepeats);
    std::printf("2 decode into memory, same decoder:    %.3f s (best of %d), %.1f MB/s\n", t2, kRepeats,
                Mb(static_cast<double>(nDecoded)) / t2);
    std::printf("ratio 1/2: %.3f (target at most 1.15)\n", t1 / t2);
    std::printf("   in CPU time of this process: 1 %.3f s, 2 %.3f s, ratio %.3f\n", c1, c2, c1 / c2);
    std::printf("peak working set of 1 beyond the mapped view: %.1f MB (target at most %.1f MB: dictionary %.1f MB + 2 MB)\n",
                Mb(dBeyondView), Mb(dwDict) + 2.0, Mb(dwDict));
    std::printf("CRC-32: %.0f MB/s (target at least 1000 MB/s), %s the bytewise definition\n", dCrcMbs,
                bCrcSame ? "identical to" : "DIFFERENT FROM");
    std::printf("RESULT t1=%.6f t2=%.6f ratio12=%.4f cpu_ratio12=%.4f peak_mb=%.2f limit_mb=%.2f crc_mbs=%.0f crc_same=%d\n",
                t1, t2, t1 / t2, c1 / c2, Mb(dBeyondView), Mb(dwDict) + 2.0, dCrcMbs, bCrcSame ? 1 : 0);
    RemoveTree(sUnpack);
    return bCrcSame ? 0 : 1;
}
