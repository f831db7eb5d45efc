// Runs the REST request fuzz target without libFuzzer: every file of the seed corpus as given, then a
// fixed number of deterministic mutations of each (byte flips, truncations, splices).  Built with the
// ordinary compiler so every build checks that the seeds and their near neighbours parse safely; a
// clang build with -DQOBL_FUZZ=ON builds the real fuzzer from the same target.
#include <dirent.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s CORPUS_DIR [MUTATIONS_PER_SEED]\n", argv[0]);
    return 2;
  }
  const int mutations = argc > 2 ? std::atoi(argv[2]) : 500;
  std::vector<std::vector<uint8_t>> seeds;
  if (DIR* d = opendir(argv[1])) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      std::ifstream f(std::string(argv[1]) + "/" + e->d_name, std::ios::binary);
      seeds.emplace_back(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }
    closedir(d);
  }
  if (seeds.empty()) {
    std::fprintf(stderr, "no seeds in %s\n", argv[1]);
    return 2;
  }
  std::mt19937 rng(20);
  uint64_t runs = 0;
  for (const auto& s : seeds) {
    LLVMFuzzerTestOneInput(s.data(), s.size());
    ++runs;
    for (int m = 0; m < mutations; ++m) {
      std::vector<uint8_t> v = s;
      const int edits = 1 + static_cast<int>(rng() % 4);
      for (int k = 0; k < edits && !v.empty(); ++k) {
        const size_t at = rng() % v.size();
        switch (rng() % 4) {
          case 0:
            v[at] = static_cast<uint8_t>(rng());
            break;
          case 1:
            v.resize(at);
            break;
          case 2:
            v.insert(v.begin() + static_cast<std::ptrdiff_t>(at), static_cast<uint8_t>("[]{}\",:0-9e"[rng() % 11]));
            break;
          default: {
            const auto& other = seeds[rng() % seeds.size()];
            if (!other.empty()) v.insert(v.begin() + static_cast<std::ptrdiff_t>(at), other.begin(), other.end());
          }
        }
      }
      LLVMFuzzerTestOneInput(v.data(), v.size());
      ++runs;
    }
  }
  std::printf("%llu inputs, %zu seeds: no failure\n", static_cast<unsigned long long>(runs), seeds.size());
  return 0;
}
