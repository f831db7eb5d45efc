// Running the built programs (qobl-run, the samples) as child processes and reading what they print.
#ifndef QOBL_TESTS_TOOL_TEST_UTIL_H
#define QOBL_TESTS_TOOL_TEST_UTIL_H

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace tooltest {

inline std::string buildDir() {
  const char* d = std::getenv("QOBL_BUILD_DIR");
  return d != nullptr ? d : ".";
}

inline std::string modelDir(const std::string& name) { return buildDir() + "/models/" + name; }

inline std::string readText(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

struct Result {
  int code = -1;
  std::string out, err;
};

// Runs `<build>/bin/<program> <args>` through the shell (args are shell words), with the environment
// assignments `env` ("NAME=value ...", may be empty) in front.
inline Result runProgram(const std::string& program, const std::string& args, const std::string& env = "") {
  char tmpl[] = "/tmp/qobl_tool_test_XXXXXX";
  const std::string dir = mkdtemp(tmpl);
  const std::string cmd =
      env + " " + buildDir() + "/bin/" + program + " " + args + " >" + dir + "/out 2>" + dir + "/err";
  const int status = std::system(cmd.c_str());
  Result r;
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = readText(dir + "/out");
  r.err = readText(dir + "/err");
  std::system(("rm -rf " + dir).c_str());
  return r;
}

// The rows of qobl-run's summary table: "| name | value |" -> {name: value}.
inline std::map<std::string, std::string> tableRows(const std::string& out) {
  std::map<std::string, std::string> rows;
  std::istringstream is(out);
  std::string line;
  while (std::getline(is, line)) {
    if (line.size() < 4 || line[0] != '|') continue;
    const size_t mid = line.find(" | ");
    if (mid == std::string::npos) continue;
    auto trim = [](std::string s) {
      const size_t a = s.find_first_not_of(' '), b = s.find_last_not_of(' ');
      return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
    };
    rows[trim(line.substr(1, mid - 1))] = trim(line.substr(mid + 3, line.size() - mid - 4));
  }
  return rows;
}

// A scratch directory, removed (with everything in it) at the end of the scope.
class ScratchDir {
 public:
  ScratchDir() {
    char tmpl[] = "/tmp/qobl_scratch_XXXXXX";
    dir_ = mkdtemp(tmpl);
  }
  ~ScratchDir() { std::system(("rm -rf " + dir_).c_str()); }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& dir() const { return dir_; }
  std::string file(const std::string& f) const { return dir_ + "/" + f; }
  // Writes `bytes` to the relative path `rel`, making its directories.
  void put(const std::string& rel, const std::string& bytes) const {
    const size_t slash = rel.find_last_of('/');
    if (slash != std::string::npos) std::system(("mkdir -p " + dir_ + "/" + rel.substr(0, slash)).c_str());
    std::ofstream(file(rel), std::ios::binary | std::ios::trunc) << bytes;
  }

 private:
  std::string dir_;
};

// The MD5 of the files back to back, as md5sum computes it.
inline std::string md5sumOf(const std::string& files) {
  std::string hex;
  if (FILE* f = popen(("cat " + files + " | md5sum").c_str(), "r")) {
    char buf[64] = {0};
    if (std::fgets(buf, sizeof buf, f) != nullptr) hex.assign(buf, 32);
    pclose(f);
  }
  return hex;
}

// A scratch directory holding a copy of a demo model, removed at the end of the scope.
class ModelCopy {
 public:
  explicit ModelCopy(const std::string& name) {
    char tmpl[] = "/tmp/qobl_model_copy_XXXXXX";
    root_ = mkdtemp(tmpl);
    dir_ = root_ + "/" + name;
    std::system(("cp -r " + modelDir(name) + " " + dir_).c_str());
  }
  ~ModelCopy() { std::system(("rm -rf " + root_).c_str()); }
  ModelCopy(const ModelCopy&) = delete;
  ModelCopy& operator=(const ModelCopy&) = delete;
  const std::string& dir() const { return dir_; }
  std::string file(const std::string& f) const { return dir_ + "/" + f; }
  void write(const std::string& f, const std::string& bytes) const {
    std::ofstream(file(f), std::ios::binary | std::ios::trunc) << bytes;
  }

 private:
  std::string root_, dir_;
};

}  // namespace tooltest

#endif  // QOBL_TESTS_TOOL_TEST_UTIL_H
