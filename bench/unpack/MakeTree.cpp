// Writes a realistic program tree for the unpack benchmark: a few hundred files, about
// 64 MB, of text (help, scripts, language files), code-like binaries and incompressible
// media. The same seed gives the same tree.
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct CRandom {
    uint64_t x;
    explicit CRandom(uint64_t nSeed) : x(nSeed * 0x9E3779B97F4A7C15ull + 1) {}
    uint32_t Next()
    {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        return static_cast<uint32_t>(x >> 16);
    }
    uint32_t Below(uint32_t n) { return Next() % n; }
};

const char* const kWords[] = {
    "password", "keycard", "identity", "form", "filler", "browser", "secure", "master", "profile", "login",
    "account", "field", "value", "window", "dialog", "options", "settings", "portable", "device", "data",
    "encrypt", "decrypt", "the", "a", "of", "to", "and", "is", "in", "for", "with", "on", "click", "button",
    "select", "enter", "name", "address", "phone", "email", "card", "number", "expires", "save", "cancel",
};
const char* const kCode[] = {"function ", "var ", "return ", "if (", ") {\n", "}\n", " = ", ";\n", "this.",
                             "document.", "getElementById(", "'", "\", \"", "null", "true", "false", "for (var i = 0; i < "};

std::string Text(CRandom& r, size_t n, bool bCode)
{
    std::string s;
    s.reserve(n + 64);
    while (s.size() < n) {
        if (bCode && r.Below(3) == 0)
            s += kCode[r.Below(sizeof(kCode) / sizeof(*kCode))];
        s += kWords[r.Below(sizeof(kWords) / sizeof(*kWords))];
        s += r.Below(12) == 0 ? (bCode ? ";\n    " : ".\r\n") : " ";
        if (r.Below(40) == 0)
            s += std::to_string(r.Below(100000));
    }
    s.resize(n);
    return s;
}

// Machine code is mostly a few hundred recurring instruction shapes with varying
// operands, plus tables of addresses and a string section.
std::string Binary(CRandom& r, size_t n)
{
    static std::vector<std::string> shapes;
    if (shapes.empty()) {
        CRandom g(99);
        for (int i = 0; i < 400; ++i) {
            std::string s(2 + g.Below(6), '\0');
            for (char& ch : s)
                ch = static_cast<char>(g.Next());
            shapes.push_back(s);
        }
    }
    std::string s = "MZ";
    s.reserve(n + 64);
    uint32_t nBase = 0x10001000 + r.Below(0x1000) * 16;
    while (s.size() < n) {
        uint32_t k = r.Below(100);
        if (k < 80) {
            s += shapes[r.Below(40) + (r.Below(4) == 0 ? r.Below(360) : 0)];
            if (r.Below(3) == 0) {
                uint32_t v = nBase + r.Below(0x40000);
                s.append(reinterpret_cast<const char*>(&v), 4);
            }
        } else if (k < 92) {
            for (int i = 0; i < 16; ++i) {
                uint32_t v = nBase + r.Below(0x40000) * 4;
                s.append(reinterpret_cast<const char*>(&v), 4);
            }
        } else {
            s += Text(r, 20 + r.Below(60), false);
            s += '\0';
        }
    }
    s.resize(n);
    return s;
}

std::string Noise(CRandom& r, size_t n)
{
    std::string s(n, '\0');
    for (char& ch : s)
        ch = static_cast<char>(r.Next());
    return s;
}

void MakeFolders(const std::string& sPath)
{
    for (size_t n = sPath.find('/', 1); n != std::string::npos; n = sPath.find('/', n + 1))
        ::mkdir(sPath.substr(0, n).c_str(), 0755);
    ::mkdir(sPath.c_str(), 0755);
}

bool Write(const std::string& sRoot, const std::string& sRel, const std::string& s)
{
    std::string sPath = sRoot + "/" + sRel;
    for (size_t n = sPath.find('/', sRoot.size() + 1); n != std::string::npos; n = sPath.find('/', n + 1))
        ::mkdir(sPath.substr(0, n).c_str(), 0755);
    FILE* f = std::fopen(sPath.c_str(), "wb");
    if (!f)
        return false;
    bool bOk = std::fwrite(s.data(), 1, s.size(), f) == s.size();
    return std::fclose(f) == 0 && bOk;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench_make_tree PROGRAM-DIR LANGS-DIR\n");
        return 2;
    }
    std::string sProg = argv[1], sLangs = argv[2];
    MakeFolders(sProg);
    MakeFolders(sLangs);
    CRandom r(2024);
    uint64_t nTotal = 0;
    int nFiles = 0;
    auto put = [&](const std::string& sRoot, const std::string& sRel, const std::string& s) {
        if (!Write(sRoot, sRel, s)) {
            std::fprintf(stderr, "cannot write %s/%s\n", sRoot.c_str(), sRel.c_str());
            std::exit(1);
        }
        nTotal += s.size();
        ++nFiles;
    };
    // Code-like binaries: about 34 MB in 60 modules of very different sizes.
    for (int i = 0; i < 60; ++i) {
        size_t n = i < 4 ? 4000000 + r.Below(2000000) : 40000 + r.Below(500000);
        std::string sDir = i < 20 ? "" : i < 45 ? "plugins/" : "plugins/browser/";
        put(sProg, sDir + "module" + std::to_string(i) + (i % 7 == 0 ? ".exe" : ".dll"), Binary(r, n));
    }
    // Text: help pages, scripts, settings: about 18 MB in 200 files.
    for (int i = 0; i < 200; ++i) {
        bool bCode = i % 3 == 0;
        size_t n = 2000 + r.Below(170000);
        std::string sRel = bCode ? "scripts/" + std::to_string(i % 5) + "/script" + std::to_string(i) + ".js"
                                 : "help/page" + std::to_string(i) + ".html";
        put(sProg, sRel, Text(r, n, bCode));
    }
    // Media that does not compress: about 10 MB in 40 files.
    for (int i = 0; i < 40; ++i)
        put(sProg, "res/images/picture" + std::to_string(i) + ".png", Noise(r, 50000 + r.Below(450000)));
    // A few empty and tiny files, as every real tree has.
    put(sProg, "res/empty.dat", "");
    put(sProg, "version.txt", "6-10-2\r\n");
    // Language files: about 2.5 MB.
    for (int i = 0; i < 24; ++i)
        put(sLangs, "lang" + std::to_string(i) + ".lng", Text(r, 60000 + r.Below(100000), false));
    std::printf("%d files, %.1f MB\n", nFiles, static_cast<double>(nTotal) / (1024.0 * 1024.0));
    return 0;
}
