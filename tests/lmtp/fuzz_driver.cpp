// fuzz_driver.cpp - runs the LMTP fuzz harness without libFuzzer (a
// compiler that has none): each corpus file as it is, then a fixed number
// of mutations of them (bytes changed, inserted and cut, protocol tokens
// spliced in), from a fixed seed so that a failure repeats.
//
// usage: lmtp_fuzz [-runs=N] FILE|DIR...
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void Load(const std::string& path, std::vector<std::string>* corpus) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        DIR* d = opendir(path.c_str());
        if (d == nullptr) return;
        while (struct dirent* e = readdir(d)) {
            if (e->d_name[0] != '.') Load(path + "/" + e->d_name, corpus);
        }
        closedir(d);
        return;
    }
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    corpus->push_back(s.str());
}

std::string Mutate(std::string s, std::mt19937* rng) {
    static const char* kTokens[] = {"\r\n", "\n", "\r", ".\r\n", "\r\n.\r\n", "..", "DATA\r\n",
                                    "MAIL FROM:<a@b.c>\r\n", "RCPT TO:<r@b.c>\r\n", "<>",
                                    "LHLO x\r\n", "RSET\r\n", "SIZE=999999", "\"", "<", ">"};
    int edits = 1 + static_cast<int>((*rng)() % 4);
    for (int k = 0; k < edits; ++k) {
        size_t at = s.empty() ? 0 : (*rng)() % (s.size() + 1);
        switch ((*rng)() % 4) {
            case 0:
                if (at < s.size()) s[at] = static_cast<char>((*rng)() & 0xff);
                break;
            case 1:
                s.insert(at, 1, static_cast<char>((*rng)() & 0xff));
                break;
            case 2:
                if (at < s.size()) s.erase(at, 1 + (*rng)() % 8);
                break;
            default:
                s.insert(at, kTokens[(*rng)() % (sizeof kTokens / sizeof kTokens[0])]);
                break;
        }
    }
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    long runs = 20000;
    std::vector<std::string> corpus;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "-runs=", 6) == 0) {
            runs = std::atol(argv[i] + 6);
        } else {
            Load(argv[i], &corpus);
        }
    }
    if (corpus.empty()) {
        std::fprintf(stderr, "lmtp_fuzz: no corpus\n");
        return 2;
    }
    for (const std::string& c : corpus) {
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(c.data()), c.size());
    }
    std::mt19937 rng(20261209);
    for (long r = 0; r < runs; ++r) {
        std::string m = Mutate(corpus[rng() % corpus.size()], &rng);
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(m.data()), m.size());
    }
    std::printf("lmtp_fuzz: %zu corpus inputs and %ld mutations passed\n", corpus.size(), runs);
    return 0;
}
