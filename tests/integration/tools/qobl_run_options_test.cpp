// qobl-run's own inputs, output dumps, JSON summary, warm-up, duration, several cards, dynamic shapes
// without samples, the card memory bound of --in-flight and early checks of its command line and output
// files - all through the built program on the simulated card.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "tool_test_util.h"

namespace {

using namespace tooltest;

Result qoblRun(const std::string& args, const std::string& env = "") { return runProgram("qobl-run", args, env); }

// The keys of the JSON summary, exactly.
void expectSummaryKeys(const rapidjson::Document& j) {
  ASSERT_TRUE(j.IsObject());
  std::set<std::string> keys;
  for (const auto& m : j.GetObject()) keys.insert(m.name.GetString());
  EXPECT_EQ((std::set<std::string>{"model", "mode", "streams", "in_flight", "devices", "batch", "max_batch",
                                   "inputs_per_device_run", "warmup_device_runs", "submitted", "runs", "device_runs",
                                   "errors", "interrupted", "signal", "wall_time_s", "inferences_per_s", "latency_us",
                                   "latency_exact", "device_memory_peak_bytes", "verified", "per_device",
                                   "per_stream"}),
            keys);
  const std::set<std::string> latencyKeys{"p50", "p90", "p95", "p99", "mean", "min", "max"};
  auto keysOf = [](const rapidjson::Value& v) {
    std::set<std::string> k;
    for (const auto& m : v.GetObject()) k.insert(m.name.GetString());
    return k;
  };
  EXPECT_EQ(latencyKeys, keysOf(j["latency_us"]));
  for (const auto& d : j["per_device"].GetArray())
    EXPECT_EQ((std::set<std::string>{"device", "runs", "errors", "wall_time_s", "inferences_per_s"}), keysOf(d));
  EXPECT_EQ(j["streams"].GetUint(), j["per_stream"].Size());
  for (const auto& s : j["per_stream"].GetArray()) {
    EXPECT_EQ((std::set<std::string>{"stream", "device", "runs", "errors", "wall_time_s", "inferences_per_s",
                                     "latency_us", "latency_exact"}),
              keysOf(s));
    EXPECT_EQ(latencyKeys, keysOf(s["latency_us"]));
  }
}

// Own inputs: the sample given as a file reproduces the expected output in the dump; random inputs are
// the same for the same seed and differ for another; only the first K runs are dumped; the JSON summary.
TEST(QoblRunOptionsTest, OwnInputsDumpsAndJsonSummary) {
  ScratchDir d;
  const std::string cls = modelDir("classifier");
  const std::string expected = readText(cls + "/expected_output.bin");
  Result r = qoblRun("--input " + cls + "/sample_input.bin --runs 8 --dump-outputs " + d.file("file/") +
                     " --dump-count 2 --json=" + d.file("s.json"));
  ASSERT_EQ(0, r.code) << r.out << r.err;
  EXPECT_EQ(cls + "/sample_input.bin", tableRows(r.out)["input"]);
  EXPECT_EQ(expected, readText(d.file("file/run0_output0.bin")));
  EXPECT_EQ(expected, readText(d.file("file/run1_output0.bin")));
  EXPECT_FALSE(std::filesystem::exists(d.file("file/run2_output0.bin")));
  rapidjson::Document j = parseJson(readText(d.file("s.json")));
  expectSummaryKeys(j);
  EXPECT_STREQ("classifier", j["model"].GetString());
  EXPECT_STREQ("async", j["mode"].GetString());
  EXPECT_EQ(4u, j["in_flight"].GetUint());
  // The figures are the table's (qobl_run_test); the summary's own maths is qobl_run_parts_test's.
  EXPECT_EQ(8u, j["runs"].GetUint());
  EXPECT_FALSE(j["interrupted"].GetBool());
  EXPECT_TRUE(j["signal"].IsNull());
  EXPECT_TRUE(j["verified"].IsNull());
  ASSERT_EQ(1u, j["per_device"].Size());

  // Missing parents are created too.
  for (const auto& run : std::vector<std::pair<std::string, std::string>>{{"7", "seed7"}, {"7", "a/b/seed7b"}, {"8", "seed8"}}) {
    r = qoblRun("--sync --input random --seed " + run.first + " --runs 4 --dump-outputs " + d.file(run.second) +
                " --json " + d.file("r.json"));
    ASSERT_EQ(0, r.code) << r.out << r.err;
    rapidjson::Document sj = parseJson(readText(d.file("r.json")));
    EXPECT_STREQ("sync", sj["mode"].GetString());
    EXPECT_TRUE(sj["in_flight"].IsNull());
  }
  const std::string a = readText(d.file("seed7/run0_output0.bin")), b = readText(d.file("a/b/seed7b/run0_output0.bin"));
  EXPECT_EQ(40u, a.size());
  EXPECT_EQ(a, b);
  EXPECT_NE(a, readText(d.file("seed8/run0_output0.bin")));
  EXPECT_NE(expected, a);
  // With --verify the summary counts the matches.
  r = qoblRun("--verify --runs 4 --json " + d.file("v.json"));
  ASSERT_EQ(0, r.code) << r.err;
  EXPECT_EQ(4u, parseJson(readText(d.file("v.json")))["verified"].GetUint());
}

// A dynamic suite runs any shape a member covers, without a sample; shapes no member covers are refused.
// (A shape without a sample and without --input: qobl_run_test's broken model directories.)
TEST(QoblRunOptionsTest, DynamicShapesWithoutSamples) {
  const std::string dyn = modelDir("dynamic");
  Result r = qoblRun("--model " + dyn + " --shape 20x28 --input zeros --runs 6");
  ASSERT_EQ(0, r.code) << r.out << r.err;
  EXPECT_EQ("dynamic (dynamic, 20x28)", tableRows(r.out)["model"]);
  EXPECT_EQ("zeros", tableRows(r.out)["input"]);
  r = qoblRun("--model " + dyn + " --shape 40x40 --input random");
  EXPECT_EQ(2, r.code);
  EXPECT_NE(std::string::npos, r.err.find("--shape 40x40: no member of")) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("4x4 to 16x16, 17x17 to 32x32")) << r.err;
  // Without --shape the smallest sample by area is run, not the first by name ("16x16" sorts before "8x8").
  r = qoblRun("--model " + dyn + " --runs 4");
  ASSERT_EQ(0, r.code) << r.err;
  EXPECT_EQ("dynamic (dynamic, 8x8)", tableRows(r.out)["model"]);
}

// Warm-up runs are made but not counted; a duration runs whole device runs until the time is spent.
TEST(QoblRunOptionsTest, WarmupAndDuration) {
  Result r = qoblRun("--warmup 3 --runs 8");
  ASSERT_EQ(0, r.code) << r.err;
  EXPECT_EQ("8 of 8 submitted (2 device runs)", tableRows(r.out)["runs"]);
  ScratchDir d;
  r = qoblRun("--duration 0.2 --json " + d.file("j.json"));
  ASSERT_EQ(0, r.code) << r.err;
  rapidjson::Document j = parseJson(readText(d.file("j.json")));
  EXPECT_GT(j["runs"].GetUint64(), 0u);
  EXPECT_EQ(0u, j["runs"].GetUint64() % 4) << "whole device runs of 4";
}

// Streams spread over two cards; one chosen card; a card that does not exist.
TEST(QoblRunOptionsTest, SeveralCards) {
  const std::string two = "QOBCRT_DEVICE_COUNT=2";
  ScratchDir d;
  Result r = qoblRun("--verify --devices 2 --runs 32 --json " + d.file("j.json"), two);
  ASSERT_EQ(0, r.code) << r.out << r.err;
  auto rows = tableRows(r.out);
  EXPECT_EQ("asynchronous, 2 streams on 2 threads over 2 cards, 4 device runs in flight per stream", rows["mode"]);
  EXPECT_NE(std::string::npos, rows["card 0"].find("16 runs")) << rows["card 0"];
  EXPECT_NE(std::string::npos, rows["card 1"].find("16 runs")) << rows["card 1"];
  EXPECT_EQ("32 of 32 match expected_output.bin", rows["verified"]);
  rapidjson::Document j = parseJson(readText(d.file("j.json")));
  expectSummaryKeys(j);
  EXPECT_EQ(2u, j["devices"].GetUint());
  ASSERT_EQ(2u, j["per_device"].Size());
  EXPECT_EQ(16u, j["per_device"][1]["runs"].GetUint());
  r = qoblRun("--verify --device 1 --runs 8 --json " + d.file("one.json"), two);
  ASSERT_EQ(0, r.code) << r.err;
  j = parseJson(readText(d.file("one.json")));
  ASSERT_EQ(1u, j["per_device"].Size());
  EXPECT_EQ(1u, j["per_device"][0]["device"].GetUint());
  r = qoblRun("--devices 3", two);
  EXPECT_EQ(2, r.code);
  EXPECT_NE(std::string::npos, r.err.find("card 2 does not exist: there are 2 cards (cards 0 to 1); QOBCRT_DEVICE_COUNT"))
      << r.err;
}

// The slots of the streams on a card may take a quarter of its free memory: the deepest --in-flight that
// fits is named, and runs.
TEST(QoblRunOptionsTest, InFlightBoundedByCardMemory) {
  const std::string small = "QOBCRT_MEMORY_MB=1";
  Result r = qoblRun("--streams 64 --in-flight 1024", small);
  EXPECT_EQ(2, r.code);
  EXPECT_EQ("", r.out);
  const std::string most = " is the most that fits";
  const size_t at = r.err.find(most);
  ASSERT_NE(std::string::npos, at) << r.err;
  EXPECT_EQ(0u, r.err.find("qobl-run: --in-flight 1024: 64 streams on card 0 would take ")) << r.err;
  const size_t num = r.err.rfind("--in-flight ", at) + 12;
  const int deepest = std::stoi(r.err.substr(num, at - num));
  // 64 streams of 4 inputs of 40 output bytes per run in flight: about 25 fit in 256 KiB.
  EXPECT_GE(deepest, 20);
  EXPECT_LE(deepest, 25);
  r = qoblRun("--verify --streams 64 --runs 256 --in-flight " + std::to_string(deepest + 1), small);
  EXPECT_EQ(2, r.code) << r.err;
  r = qoblRun("--verify --streams 64 --runs 256 --in-flight " + std::to_string(deepest), small);
  ASSERT_EQ(0, r.code) << r.err;
  EXPECT_EQ("256 of 256 match expected_output.bin", tableRows(r.out)["verified"]);
  // A model whose slots do not fit even one run deep.
  r = qoblRun("--model " + modelDir("segmenter") + " --streams 64", small);
  EXPECT_EQ(2, r.code);
  EXPECT_NE(std::string::npos, r.err.find("not even --in-flight 1 fits: use fewer --streams or a smaller --batch"))
      << r.err;
  // A batch whose slots do not fit on the card at all: the stream that measures them cannot be made, and the
  // library's reason reaches the user (exit 4, nothing run).
  tooltest::ModelCopy big("segmenter");
  std::string hw = readText(big.file("hw.json"));
  const size_t at4 = hw.find("\"max_batch_size\": 4,");
  ASSERT_NE(std::string::npos, at4) << hw;
  big.put("hw.json", hw.replace(at4, 20, "\"max_batch_size\": 4096,"));
  r = qoblRun("--model " + big.dir() + " --batch 4096 --runs 4096", small);
  EXPECT_EQ(4, r.code) << r.err;
  EXPECT_EQ("", r.out);
  EXPECT_EQ(0u, r.err.find("qobl-run: measuring what a stream keeps on card 0: qoblRequestOutputDataset failed: 301034"))
      << r.err;
  EXPECT_NE(std::string::npos, r.err.find("Failed to make the output dataset of stream 1: the card's memory ran out ("))
      << r.err;
}

// --json - (or a path that is stdout) puts the JSON alone on stdout and the summary on stderr, so that a
// script can read it; a summary that cannot be written fails the run (exit code 6) but still leaves the
// JSON file whole.
TEST(QoblRunOptionsTest, JsonOnStdoutAndAnUnwritableSummary) {
  for (const char* target : {"-", "/dev/stdout"}) {
    SCOPED_TRACE(target);
    const Result r = qoblRun("--runs 8 --json " + std::string(target));
    ASSERT_EQ(0, r.code) << r.err;
    const rapidjson::Document j = parseJson(r.out);
    ASSERT_TRUE(j.IsObject()) << r.out;
    EXPECT_EQ(8u, j["runs"].GetUint());
    EXPECT_EQ("8 of 8 submitted (2 device runs)", tableRows(r.err)["runs"]) << r.err;
  }
  EXPECT_FALSE(std::filesystem::exists("-"));

  ScratchDir d;
  for (const char* to : {">/dev/full", ">&-"}) {
    SCOPED_TRACE(to);
    const std::string cmd = tooltest::buildDir() + "/bin/qobl-run --runs 8 --json " + d.file("s.json") + " " + to +
                            " 2>" + d.file("err");
    const int status = std::system(cmd.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(6, WEXITSTATUS(status));
    const std::string err = readText(d.file("err"));
    EXPECT_NE(std::string::npos, err.find("qobl-run: cannot write the summary to stdout: ")) << err;
    EXPECT_EQ(8u, parseJson(readText(d.file("s.json")))["runs"].GetUint());
  }
}

// Command lines and output files that are wrong are caught before anything runs.
TEST(QoblRunOptionsTest, CommandLineAndOutputFilesCheckedFirst) {
  ScratchDir d;
  const std::string cls = modelDir("classifier");
  tooltest::ModelCopy m("classifier");
  m.put("short.bin", std::string(100, '\0'));
  m.put("long.bin", std::string(5000, '\0'));
  struct Case {
    std::string args;
    int code;
    std::string message;
  };
  const std::string badGraph = "the pipeline is input, then optionally normalize, then model, then optionally copy";
  const std::vector<Case> cases = {
      {"--runs 0", 2, "--runs: expects a whole number from 1 to 100000000, got \"0\""},
      {"--runs 0x10", 2, "--runs: expects a whole number from 1 to 100000000, got \"0x10\""},
      {"--streams 65", 2, "--streams: expects a whole number from 1 to 64, got \"65\""},
      {"--seed -1", 2, "--seed: expects a whole number from 0 to 4294967295"},
      {"--bogus", 2, "--bogus"},
      {"--model", 2, "--model"},
      {"--graph model,input", 2, badGraph},
      {"--graph input,copy,model", 2, badGraph},
      {"--graph input", 2, badGraph},
      {"--graph input,model,model", 2, badGraph},
      {"--graph input,model,normalize", 2, badGraph},
      {"--graph input,model,copy,copy", 2, badGraph},
      {"--graph input,model,resize", 2, "unknown stage \"resize\""},
      {"--shape 24", 2, "\"24\" is not of the form HxW"},
      {"--runs 8 --duration 1", 2, "excludes"},
      {"--devices 2 --device 1", 2, "excludes"},
      {"--dump-count 2", 2, "requires --dump-outputs"},
      {"--verify --input random", 2, "--verify compares with expected_output.bin"},
      {"--log-level LOUD", 2, "unknown log level \"LOUD\""},
      {"--in-flight 0", 2, "--in-flight: expects a whole number from 1 to 1024, got \"0\""},
      {"--in-flight 1025", 2, "--in-flight: expects a whole number from 1 to 1024, got \"1025\""},
      {"--in-flight deep", 2, "--in-flight"},
      {"--sync --in-flight 2", 2, "--in-flight applies to asynchronous runs"},
      {"--sync --profile", 2, "--profile reads the card times that asynchronous runs report"},
      {"--input a.bin,,b.bin", 2, "an empty file name"},
      {"--input " + m.file("short.bin"), 2, "holds 100 bytes, input 0 \"data\" [1,3,16,16] float32, 3072 bytes"},
      {"--input " + m.file("short.bin") + "," + m.file("short.bin"), 2, "names 2 file(s), the model takes 1 input(s)"},
      {"--input /nonexistent.bin", 2, "--input /nonexistent.bin: No such file or directory"},
      {"--input " + m.dir(), 2, "--input " + m.dir() + ": Is a directory (input 0 \"data\" [1,3,16,16] float32"},
      {"--model --runs 4", 2, "--model is missing its value (DIR): the next argument is the option --runs (see"},
      {"--log-level --verify", 2, "--log-level is missing its value (LEVEL): the next argument is the option --verify"},
      {"--duration 0", 2, "--duration: expects seconds from 0.001 to 86400, got \"0\""},
      {"--duration 0x10", 2, "--duration: expects seconds from 0.001 to 86400, got \"0x10\""},
      {"--trace /nonexistent/dir/t.json", 6, "cannot write the trace file /nonexistent/dir/t.json: No such file"},
      {"--json /nonexistent/dir/j.json", 6, "cannot write the JSON file"},
      {"--dump-outputs " + m.file("short.bin"), 6, "is not a directory"},
      {"--json " + d.file("one") + " --trace " + d.file("one"), 2,
       "--trace and --json name the same file " + d.file("one") + ": give each its own"},
      {"--dot - --json -", 2, "--dot and --json name the same stdout: give each its own"},
      // Options that do not fit what is asked are refused as the command line's fault, naming the option.
      {"--shape 8x8 --input random", 2, "--shape applies to dynamic models only"},
      {"--shape 8x8 --model " + cls, 2, "--shape applies to dynamic models only (" + cls + "/ has no suite.json)"},
      {"--shape 40x40 --model " + modelDir("dynamic"), 2, "--shape 40x40: no member of"},
      {"--shape 99999999999x8 --model " + modelDir("dynamic"), 2, "\"99999999999x8\" is not of the form HxW"},
      {"--shape ' 8x8' --model " + modelDir("dynamic"), 2, "\" 8x8\" is not of the form HxW"},
      {"--seed 3", 2, "--seed seeds --input random, and the inputs are the model's sample"},
      {"--seed 3 --input zeros", 2, "--seed seeds --input random, and the inputs are zeros"},
      {"--runs 5 --runs=6", 2, "--runs is given more than once: give it one value"},
      {"--input " + m.file("short.bin") + ",", 2, "an empty file name after the last comma"},
      // Too long: a file says its size; an endless source is not read to the end.
      {"--input " + m.file("long.bin"), 2, "holds 5000 bytes, input 0 \"data\" [1,3,16,16] float32, 3072 bytes"},
      {"--input /dev/zero", 2, "--input /dev/zero holds more than 3072 bytes, input 0 \"data\""},
      // An empty path, as from an unset variable, is not taken for the option left out.
      {"--model ''", 2, "--model is given an empty directory name (leave --model out to run the bundled classifier)"},
      {"--json ''", 2, "--json is given an empty file name"},
      {"--trace ''", 2, "--trace is given an empty file name"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    const Result r = qoblRun(c.args);
    EXPECT_EQ(c.code, r.code) << r.err;
    EXPECT_NE(std::string::npos, r.err.find(c.message)) << r.err;
    EXPECT_EQ(0u, r.err.find("qobl-run: ")) << r.err;
    EXPECT_EQ("", r.out);
  }
  // --opt=value and --opt value alike, numbers in decimal even with a leading zero; --version; -h.
  Result r = qoblRun("--runs=020 --streams=2 --batch 02");
  ASSERT_EQ(0, r.code) << r.err;
  EXPECT_EQ("20 of 20 submitted (10 device runs)", tableRows(r.out)["runs"]);   // not octal 16
  // A value that looks like an option is taken when given with "=" (here a file that does not exist).
  r = qoblRun("--input=--runs --duration 2e-2");
  EXPECT_EQ(2, r.code);
  EXPECT_EQ("qobl-run: --input --runs: No such file or directory (input 0 \"data\" [1,3,16,16] float32, 3072 bytes)\n",
            r.err);
  // A device such as /dev/null takes several outputs, each whole in turn.
  r = qoblRun("--runs 2 --dot /dev/null --trace /dev/null --json /dev/null");
  EXPECT_EQ(0, r.code) << r.err;
  r = qoblRun("--version");
  EXPECT_EQ(0, r.code);
  EXPECT_EQ(0u, r.out.find("qobl-run (qobl) ")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("\nlibrary: QOBL API ")) << r.out;
  r = qoblRun("-h");
  EXPECT_EQ(0, r.code);
  for (const char* opt : {"Usage: qobl-run", "--input random|zeros|FILE[,FILE...]", "--dump-outputs DIR", "--warmup N",
                          "--duration SECONDS", "--devices N", "--device ID", "--in-flight N", "--json FILE", "--profile", "--log-level LEVEL",
                          "--version", "5  --verify: an output differs from expected_output.bin", "6  an output file"})
    EXPECT_NE(std::string::npos, r.out.find(opt)) << opt;
}

}  // namespace
