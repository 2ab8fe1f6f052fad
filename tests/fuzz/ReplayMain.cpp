// Runs a fuzz target once over every file of the folders given: the seed corpus as a
// regression test where libFuzzer is not available.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize);

int main(int argc, char** argv)
{
    int nFiles = 0;
    for (int i = 1; i < argc; ++i) {
        DIR* d = ::opendir(argv[i]);
        if (!d) {
            std::fprintf(stderr, "%s: cannot read\n", argv[i]);
            return 2;
        }
        while (struct dirent* e = ::readdir(d)) {
            std::string sPath = std::string(argv[i]) + "/" + e->d_name;
            struct stat st;
            if (::stat(sPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
                continue;
            std::ifstream f(sPath, std::ios::binary);
            std::stringstream ss;
            ss << f.rdbuf();
            std::string s = ss.str();
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(s.data()), s.size());
            ++nFiles;
        }
        ::closedir(d);
    }
    std::printf("%d inputs replayed\n", nFiles);
    return nFiles > 0 ? 0 : 1;
}
