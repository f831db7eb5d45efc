// Running the built programs (qobl-run, the samples) as child processes and reading what they print.
#ifndef QOBL_TESTS_TOOL_TEST_UTIL_H
#define QOBL_TESTS_TOOL_TEST_UTIL_H

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <rapidjson/document.h>

#include "qobl_test/files.h"

namespace tooltest {

using qobltest::buildDir;
using qobltest::modelDir;
inline std::string readText(const std::string& path) { return qobltest::readBytes(path); }

// A scratch directory, removed (with everything in it) at the end of the scope.
using ScratchDir = qobltest::TempDir;

struct Result {
  int code = -1;     // the exit code; -1 when the program did not exit by itself
  int signal = 0;    // the signal that ended the program, 0 when it exited
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

// `<build>/bin/<program> <args>` started in the background, directly (no shell in between, so that a
// signal sent to pid() reaches the program), with SIGINT and SIGTERM at their default actions and its
// stdout and stderr going to files.  Killed with SIGKILL when still running at the end of the scope.
class Background {
 public:
  Background(const std::string& program, std::vector<std::string> args) {
    args.insert(args.begin(), buildDir() + "/bin/" + program);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    const std::string out = dir_.file("out"), err = dir_.file("err");
    pid_ = ::fork();
    if (pid_ == 0) {
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      ::signal(SIGINT, SIG_DFL);
      ::signal(SIGTERM, SIG_DFL);
      const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (o < 0 || e < 0 || ::dup2(o, 1) < 0 || ::dup2(e, 2) < 0) ::_exit(127);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    EXPECT_GT(pid_, 0) << "fork failed";
  }
  ~Background() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;

  pid_t pid() const { return pid_; }

  // What the program has written to stderr so far.
  std::string errSoFar() const { return readText(dir_.file("err")); }

  // Waits up to `seconds` for the program to end.  Returns false when it still runs then (it is left
  // running); else true, with how it ended and what it printed in *r.
  bool finish(double seconds, Result* r) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    int status = 0;
    pid_t ended = pid_;
    while (pid_ > 0 && (ended = ::waitpid(pid_, &status, WNOHANG)) == 0) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    pid_ = -1;
    r->code = ended > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r->signal = ended > 0 && WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    r->out = readText(dir_.file("out"));
    r->err = readText(dir_.file("err"));
    return true;
  }

 private:
  ScratchDir dir_;
  pid_t pid_ = -1;
};

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
