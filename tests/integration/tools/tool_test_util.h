// Running the built programs (qobl-run, the samples) as child processes and reading what they print.
#ifndef QOBL_TESTS_TOOL_TEST_UTIL_H
#define QOBL_TESTS_TOOL_TEST_UTIL_H

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>

#include <rapidjson/document.h>

#include "qobl_test/files.h"

namespace tooltest {

using qobltest::buildDir;
using qobltest::modelDir;
inline std::string readText(const std::string& path) { return qobltest::readBytes(path); }

// A scratch directory, removed (with everything in it) at the end of the scope.
using ScratchDir = qobltest::TempDir;

struct Result {
  int code = -1;
  std::string out, err;
};

// Runs `<build>/bin/<program> <args>` through the shell (args are shell words), with the environment
// assignments `env` ("NAME=value ...", may be empty) in front.
inline Result runProgram(const std::string& program, const std::string& args, const std::string& env = "") {
  const qobltest::TempDir scratch;
  const std::string& dir = scratch.dir();
  const std::string cmd =
      env + " " + buildDir() + "/bin/" + program + " " + args + " >" + dir + "/out 2>" + dir + "/err";
  const int status = std::system(cmd.c_str());
  Result r;
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = readText(dir + "/out");
  r.err = readText(dir + "/err");
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

// The JSON document in `text`; a parse error fails the test.
inline rapidjson::Document parseJson(const std::string& text) {
  rapidjson::Document doc;
  doc.Parse(text.c_str());
  EXPECT_FALSE(doc.HasParseError()) << text;
  return doc;
}

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

// A scratch directory holding a copy of a demo model's files, removed at the end of the scope.
struct ModelCopy : qobltest::TempDir {
  explicit ModelCopy(const std::string& name) {
    std::filesystem::copy(modelDir(name), dir(), std::filesystem::copy_options::recursive);
  }
};

}  // namespace tooltest

#endif  // QOBL_TESTS_TOOL_TEST_UTIL_H
