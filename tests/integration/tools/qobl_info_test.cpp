// qobl-info through the built program - the cards alone, a model's description as text and JSON - the
// reasons both tools give when the library cannot load a model, and the flags of all three tools, which
// take no value.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "tool_test_util.h"

namespace {

using namespace tooltest;

Result qoblInfo(const std::string& args, const std::string& env = "") { return runProgram("qobl-info", args, env); }

std::vector<int64_t> ints(const rapidjson::Value& a) {
  std::vector<int64_t> v;
  for (const auto& x : a.GetArray()) v.push_back(x.GetInt64());
  return v;
}

TEST(QoblInfoTest, CardsAlone) {
  Result r = qoblInfo("", "QOBCRT_DEVICE_COUNT=2");
  ASSERT_EQ(0, r.code) << r.err;
  EXPECT_EQ(0u, r.out.find("QOBL API ")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("\ncards: 2\n  card 0: 1024 MiB memory, 0 bytes in use\n  card 1: ")) << r.out;
  r = qoblInfo("--json", "QOBCRT_MEMORY_MB=64");
  ASSERT_EQ(0, r.code) << r.err;
  const rapidjson::Document j = parseJson(r.out);
  EXPECT_EQ(0u, std::string(j["library"].GetString()).find("QOBL API "));
  ASSERT_EQ(1u, j["devices"].Size());
  EXPECT_EQ(64u * 1024 * 1024, j["devices"][0]["memory_bytes"].GetUint64());
  EXPECT_EQ(0u, j["devices"][0]["used_bytes"].GetUint64());
  EXPECT_FALSE(j.HasMember("model"));
}

// The segmenter as JSON: its output is kept in a core layout.  (The digest it is named by, the batch limit
// and the tensors' types and sizes: byom_test.)
TEST(QoblInfoTest, ModelDescribedAsJson) {
  const std::string seg = modelDir("segmenter");
  Result r = qoblInfo(seg + " --json");
  ASSERT_EQ(0, r.code) << r.err;
  rapidjson::Document j = parseJson(r.out);
  const auto& m = j["model"];
  std::set<std::string> keys;
  for (const auto& k : m.GetObject()) keys.insert(k.name.GetString());
  EXPECT_EQ((std::set<std::string>{"directory", "name", "dynamic", "device", "batch", "max_batch", "inputs", "outputs",
                                   "preprocess_ops", "hw_config_keys"}),
            keys);
  EXPECT_FALSE(m["dynamic"].GetBool());
  ASSERT_EQ(1u, m["inputs"].Size());
  const auto& in = m["inputs"][0];
  EXPECT_STREQ("data", in["name"].GetString());
  EXPECT_EQ((std::vector<int64_t>{1, 3, 12, 12}), ints(in["shape"]));
  EXPECT_STREQ("plain", in["layout"].GetString());
  ASSERT_EQ(1u, m["outputs"].Size());
  const auto& out = m["outputs"][0];
  EXPECT_EQ(6144u, out["card_bytes"].GetUint64());
  EXPECT_STREQ("core", out["layout"].GetString());
  EXPECT_EQ(0u, m["preprocess_ops"].Size());
  ASSERT_EQ(2u, m["hw_config_keys"].Size());
  EXPECT_STREQ("max_batch_size", m["hw_config_keys"][0].GetString());
  EXPECT_STREQ("outputs", m["hw_config_keys"][1].GetString());

  // A dynamic suite at a chosen size: the inputs at that size and each member's batch limits.
  r = qoblInfo(modelDir("dynamic") + " --json --shape 20x28");
  ASSERT_EQ(0, r.code) << r.err;
  j = parseJson(r.out);
  EXPECT_TRUE(j["model"]["dynamic"].GetBool());
  EXPECT_EQ((std::vector<int64_t>{20, 28}), ints(j["model"]["shape"]));
  EXPECT_EQ((std::vector<int64_t>{1, 3, 20, 28}), ints(j["model"]["inputs"][0]["shape"]));
  ASSERT_EQ(2u, j["model"]["members"].Size());
  const auto& m1 = j["model"]["members"][1];
  EXPECT_EQ((std::vector<int64_t>{1, 3, 17, 17}), ints(m1["min_shape"]));
  EXPECT_GE(m1["max_batch_at_min"].GetUint(), m1["max_batch_at_max"].GetUint());
  EXPECT_GT(m1["max_batch_at_max"].GetUint(), 0u);
}

TEST(QoblInfoTest, ModelDescribedAsText) {
  const Result r = qoblInfo(modelDir("classifier"));
  ASSERT_EQ(0, r.code) << r.err;
  for (const char* line : {"(static)\nname: ", "\nloaded on card 0, batch 4\ninputs:\n  0  data  [1,3,16,16]  float32  3072 bytes  plain\n",
                           "outputs:\n  0  fused_dense_add  [1,10]  float32  40 bytes  plain\n", "largest batch: 4\n",
                           "pre-processing ops: 1\n  0: {\"opcode\":197,",
                           "hardware configuration keys: max_batch_size, preprocess_ops\n"})
    EXPECT_NE(std::string::npos, r.out.find(line)) << line << "\n" << r.out;
  for (const auto& c : std::vector<std::pair<std::string, int>>{
           {"--bogus", 2}, {"/nonexistent/model", 3}, {modelDir("classifier") + " --shape 8x8", 2}, {"-h", 0},
           {modelDir("classifier") + " --device 16", 2}, {modelDir("classifier") + " --device 0x1", 2},
           {modelDir("classifier") + " --device 00", 0}}) {
    const Result e = qoblInfo(c.first);
    EXPECT_EQ(c.second, e.code) << c.first << ": " << e.err;
  }
  // What is wrong, and what to do about it.
  for (const auto& c : std::vector<std::pair<std::string, std::string>>{
           {"--device 1", "--device applies to a model: give its MODEL_DIR, or leave --device out to list the cards"},
           {"--shape 8x8", "--shape applies to a model: give its MODEL_DIR, or leave --shape out to list the cards"},
           {modelDir("classifier") + " --device 2",
            "card 2 does not exist: there are 2 cards (cards 0 to 1); QOBCRT_DEVICE_COUNT sets how many"},
           {modelDir("dynamic") + " --shape 40x40", "--shape 40x40: no member of " + modelDir("dynamic") +
                                                        "/suite.json covers it (its members cover 4x4 to 16x16, 17x17 to 32x32)\n"},
           {modelDir("classifier") + " --log-level --json",
            "--log-level is missing its value (LEVEL): the next argument is the option --json (see --help)\n"},
           // An empty directory name, as from an unset variable, does not fall back to listing the cards.
           {"''", "MODEL_DIR is empty: give a model directory, or leave it out to list the cards\n"},
           {modelDir("classifier") + " --device 0 --device 1", "--device is given more than once: give it one value"}}) {
    const Result e = qoblInfo(c.first, "QOBCRT_DEVICE_COUNT=2");
    EXPECT_EQ(2, e.code) << c.first << ": " << e.err;
    EXPECT_NE(std::string::npos, e.err.find("qobl-info: " + c.second)) << c.first << ": " << e.err;
    EXPECT_EQ("", e.out) << c.first;
  }
  // A report that cannot be written (a full disk) is a failure, not an empty success.
  for (const std::string& args : {std::string(), modelDir("pair") + " --json"}) {
    const ScratchDir d;
    const int status = std::system((buildDir() + "/bin/qobl-info " + args + " >/dev/full 2>" + d.file("err")).c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 6) << args << ": " << status;
    EXPECT_EQ("qobl-info: cannot write the report to stdout: No space left on device\n", readText(d.file("err")))
        << args;
  }
  EXPECT_NE(std::string::npos, qoblInfo("--help").out.find("Usage: qobl-info [OPTIONS] [MODEL_DIR]"));
  EXPECT_EQ(0u, qoblInfo("--version").out.find("qobl-info (qobl) "));
}

// A truncated parameter blob, a hardware configuration with a value of the wrong type, another model's
// library: the library still answers 301007, and both tools print the model runtime's code and reason.
TEST(QoblInfoTest, LoadErrorsSayWhy) {
  ModelCopy truncated("classifier"), badHw("classifier"), otherLib("classifier");
  truncated.put("params.bin", tooltest::readText(truncated.file("params.bin")).substr(0, 100));
  badHw.put("hw.json", "{\"max_batch_size\": 0}");
  otherLib.put("model.so", tooltest::readText(modelDir("segmenter") + "/model.so"));
  struct Case {
    const ModelCopy* m;
    std::vector<std::string> reason;
  };
  const std::vector<Case> cases = {
      {&truncated, {"model runtime error 6007: malformed or unsuitable parameters"}},
      {&badHw, {"model runtime error 6008: malformed hardware configuration",
                 "\"max_batch_size\" must be an integer from 1 to 1048576"}},
      {&otherLib, {"model runtime error 6006: model library does not fit the graph", "has no function"}},
  };
  for (const auto& c : cases) {
    for (const char* tool : {"qobl-run", "qobl-info"}) {
      SCOPED_TRACE(std::string(tool) + " " + c.m->dir());
      const Result r = runProgram(tool, std::string(tool) == "qobl-run" ? "--model " + c.m->dir() : c.m->dir());
      EXPECT_EQ(4, r.code) << r.err;
      EXPECT_NE(std::string::npos, r.err.find("qoblCreateModel failed for " + c.m->dir() + "/: 301007")) << r.err;
      for (const auto& text : c.reason) EXPECT_NE(std::string::npos, r.err.find(text)) << r.err;
      // The library names the model by the same digest as qobl-info would.
      const std::string d = c.m->dir();
      EXPECT_NE(std::string::npos,
                r.err.find("Failed to create static model " +
                           md5sumOf(d + "/model.so " + d + "/graph.json " + d + "/params.bin " + d + "/hw.json")))
          << r.err;
      EXPECT_EQ("", r.out);
    }
  }
}

// A flag given a value ("--version=2", "--sync=0") is refused with the same kind of message as any other bad
// command line, by each tool: CLI11 alone would count "--version=2" twice and turn "--sync=0" off.
TEST(QoblInfoTest, FlagsTakeNoValue) {
  struct Case {
    std::string tool, args;
    int code;
    std::string message;   // the whole of stderr after "<tool>: "
  };
  std::vector<Case> cases = {
      {"qobl-run", "--version=2", 2, "--version takes no value, got \"--version=2\" (see --help)\n"},
      {"qobl-run", "--help=1", 2, "--help takes no value, got \"--help=1\" (see --help)\n"},
      {"qobl-run", "--runs 4 --sync=0", 2, "--sync takes no value, got \"--sync=0\" (see --help)\n"},
      {"qobl-run", "--verify=yes --runs 4", 2, "--verify takes no value, got \"--verify=yes\" (see --help)\n"},
      {"qobl-run", "--profile= --runs 4", 2, "--profile takes no value, got \"--profile=\" (see --help)\n"},
      {"qobl-info", "--version=2", 2, "--version takes no value, got \"--version=2\" (see --help)\n"},
      {"qobl-info", "--json=false", 2, "--json takes no value, got \"--json=false\" (see --help)\n"},
      // After "--" every argument is a model directory, even one that looks like a flag with a value.
      {"qobl-info", "-- --json=1", 3, "model directory --json=1"},
#ifndef QOBL_TEST_WITHOUT_SERVE
      {"qobl-serve", "--version=2", 2, "--version takes no value, got \"--version=2\" (see --help)\n"},
      {"qobl-serve", "--help=yes", 2, "--help takes no value, got \"--help=yes\" (see --help)\n"},
      // qobl-serve lets a later value override an earlier one; qobl-run and qobl-info refuse the repetition.
      {"qobl-serve", "--model-repository " + modelDir("classifier") + " --model-repository /nonexistent/repo", 3,
       "model repository /nonexistent/repo is not a directory"},
#endif
      {"qobl-run", "--runs 4 --seed=1 --input random --seed 2", 2, "--seed is given more than once: give it one value (see --help)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tool + " " + c.args);
    const Result r = runProgram(c.tool, c.args);
    EXPECT_EQ(c.code, r.code) << r.err;
    EXPECT_EQ("", r.out);
    if (c.code == 2) {
      EXPECT_EQ(c.tool + ": " + c.message, r.err);
    } else {
      EXPECT_NE(std::string::npos, r.err.find(c.message)) << r.err;
    }
  }
}

}  // namespace
