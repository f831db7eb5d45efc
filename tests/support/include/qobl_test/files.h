// Files for tests: a temporary folder removed with everything in it, whole-file reads, and the demo models
// the build makes (<build>/models/<name>/, the build directory from QOBL_BUILD_DIR).
#ifndef QOBL_TEST_FILES_H
#define QOBL_TEST_FILES_H

#include <string>

namespace qobltest {

// The build directory (QOBL_BUILD_DIR, "." when unset).
std::string buildDir();
// <build>/models/<name>
std::string modelDir(const std::string& name);
// <build>/models/<model>/<file>
std::string modelFile(const std::string& model, const std::string& file);
// The whole file; empty when it cannot be read.
std::string readBytes(const std::string& path);

// A fresh folder under /tmp, removed with its contents at the end of the scope.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& dir() const { return dir_; }
  // The path of `rel` inside the folder.
  std::string file(const std::string& rel) const { return dir_ + "/" + rel; }
  // Writes `bytes` to `rel` (making its folders); returns the path.
  std::string put(const std::string& rel, const std::string& bytes) const;
  // Makes <dir>/<rel> a symbolic link to `target`; returns its path.
  std::string link(const std::string& rel, const std::string& target) const;

 private:
  std::string dir_;
};

}  // namespace qobltest

#endif  // QOBL_TEST_FILES_H
