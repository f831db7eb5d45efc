// Files of the build the benchmarks read: the build directory and whole files.
#ifndef QOBL_BENCH_BENCH_FILES_H
#define QOBL_BENCH_BENCH_FILES_H

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

namespace qoblbench {

// The build directory: QOBL_BUILD_DIR, else the directory above this program's own (<build>/bin).
inline std::string buildDir() {
  const char* dir = std::getenv("QOBL_BUILD_DIR");
  if (dir != nullptr) return dir;
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return ".";
  std::string path(self, static_cast<size_t>(n));
  path = path.substr(0, path.rfind('/'));   // <build>/bin
  return path.substr(0, path.rfind('/'));   // <build>
}

// The whole file, empty when it cannot be read.
inline std::string readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace qoblbench

#endif  // QOBL_BENCH_BENCH_FILES_H
