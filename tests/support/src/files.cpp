#include "qobl_test/files.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace qobltest {

std::string buildDir() {
  const char* dir = std::getenv("QOBL_BUILD_DIR");
  return dir != nullptr ? dir : ".";
}

std::string modelDir(const std::string& name) { return buildDir() + "/models/" + name; }

std::string modelFile(const std::string& model, const std::string& file) { return modelDir(model) + "/" + file; }

std::string readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TempDir::TempDir() {
  char templ[] = "/tmp/qobl_test_XXXXXX";
  const char* made = mkdtemp(templ);
  EXPECT_NE(made, nullptr) << "no temporary folder";
  dir_ = made != nullptr ? made : "/tmp";
}

TempDir::~TempDir() {
  std::error_code ec;
  if (dir_ != "/tmp") std::filesystem::remove_all(dir_, ec);
}

std::string TempDir::put(const std::string& rel, const std::string& bytes) const {
  const std::filesystem::path path(file(rel));
  std::error_code ec;
  std::filesystem::create_directories(path.parent_path(), ec);
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  return path.string();
}

std::string TempDir::link(const std::string& rel, const std::string& target) const {
  std::error_code ec;
  std::filesystem::create_symlink(target, file(rel), ec);
  EXPECT_FALSE(ec) << "linking " << rel << ": " << ec.message();
  return file(rel);
}

}  // namespace qobltest
