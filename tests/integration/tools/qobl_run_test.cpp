// qobl-run end to end on the simulated card: every demo model verified through the pipelines it needs,
// loud verification failures, named faults of broken model directories, command-line errors, and the
// trace and DOT files it writes.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <sstream>
#include <vector>

#include <rapidjson/document.h>

#include "tool_test_util.h"

namespace {

using tooltest::ModelCopy;
using tooltest::modelDir;
using tooltest::readText;
using tooltest::Result;
using tooltest::runProgram;
using tooltest::tableRows;

Result qoblRun(const std::string& args) { return runProgram("qobl-run", args); }

// A verified run: exit 0, `runs` runs all completed and matched, nothing failed, and the card holds no
// memory once everything is released.
void expectVerified(const std::string& args, int runs) {
  SCOPED_TRACE(args);
  const Result r = qoblRun("--verify " + args);
  ASSERT_EQ(0, r.code) << r.out << r.err;
  auto rows = tableRows(r.out);
  const std::string n = std::to_string(runs);
  EXPECT_EQ(0u, rows["runs"].find(n + " of " + n + " submitted")) << rows["runs"];
  EXPECT_EQ("0", rows["errors"]);
  EXPECT_EQ(n + " of " + n + " match expected_output.bin", rows["verified"]);
  EXPECT_NE(std::string::npos, rows["device memory peak"].find("0 B after teardown")) << rows["device memory peak"];
  EXPECT_NE(std::string::npos, rows["latency p99"].find(" us"));
  // min <= p50 <= max, and the mean between min and max.
  double lo = -1, mean = -1, hi = -1, p50 = -1;
  ASSERT_EQ(2, std::sscanf(rows["latency min/max"].c_str(), "%lf / %lf us", &lo, &hi)) << rows["latency min/max"];
  ASSERT_EQ(1, std::sscanf(rows["latency mean"].c_str(), "%lf", &mean)) << rows["latency mean"];
  ASSERT_EQ(1, std::sscanf(rows["latency p50"].c_str(), "%lf", &p50));
  EXPECT_TRUE(lo <= p50 && p50 <= hi && lo <= mean && mean <= hi) << lo << " " << p50 << " " << mean << " " << hi;
  EXPECT_NE("0.0 (", rows["inferences/s"].substr(0, 5));
}

TEST(QoblRunTest, VerifiesEveryDemoModel) {
  // The bundled classifier (the default model) asynchronously from two streams, then synchronously.
  expectVerified("--streams 2 --runs 64", 64);
  expectVerified("--sync --streams 2 --runs 16 --batch 2", 16);
  // The segmenter stores its output in a split core layout: the default pipeline adds the copy op.
  {
    const Result r = qoblRun("--verify --runs 8 --model " + modelDir("segmenter"));
    ASSERT_EQ(0, r.code) << r.out << r.err;
    EXPECT_NE(std::string::npos, tableRows(r.out)["pipeline"].find("-> mem_copy_op_"));
  }
  expectVerified("--streams 3 --runs 24 --graph input,model,copy --model " + modelDir("segmenter"), 24);
  // The dynamic suite at a size of each member; runs are rounded up to whole device runs (8 and 3 inputs).
  expectVerified("--runs 16 --model " + modelDir("dynamic") + " --shape 8x8", 16);
  expectVerified("--runs 7 --model " + modelDir("dynamic") + " --shape 24x24", 9);
}

// The pre-processing op quantises the classifier's input to uint8; the model reads it back and still
// reproduces the reference, with and without the copy leaf, asynchronously and synchronously.
TEST(QoblRunTest, PreProcessingStageIsVerified) {
  const Result r = qoblRun("--verify --graph input,normalize,model,copy --runs 8");
  ASSERT_EQ(0, r.code) << r.out << r.err;
  EXPECT_NE(std::string::npos,
            tableRows(r.out)["pipeline"].find("input_op_1 -> preprocess_op_2 -> run_model_op_3 -> mem_copy_op_4"))
      << r.out;
  expectVerified("--graph input,normalize,model --streams 2 --runs 16", 16);
  expectVerified("--graph input,normalize,model --sync --batch 1 --runs 5", 5);
  // A dynamic model behind the pre-processing op takes its shapes from that op.
  expectVerified("--graph input,normalize,model --runs 8 --model " + modelDir("dynamic") + " --shape 16x16", 8);
}

TEST(QoblRunTest, VerificationFailuresAreLoud) {
  // Element 3 of the classifier's scores is changed: every run mismatches there.
  {
    ModelCopy m("classifier");
    std::string exp = readText(m.file("expected_output.bin"));
    ASSERT_EQ(40u, exp.size());
    float v;
    std::memcpy(&v, &exp[12], 4);
    v += 0.5f;
    std::memcpy(&exp[12], &v, 4);
    m.write("expected_output.bin", exp);
    const Result r = qoblRun("--verify --runs 8 --model " + m.dir());
    EXPECT_EQ(5, r.code) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.err.find("VERIFICATION FAILED: run ")) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("output 0, element 3 (byte 12)")) << r.err;
    EXPECT_NE(std::string::npos, tableRows(r.out)["verified"].find("MISMATCH"));
  }
  // The last byte of the segmenter's plain output: caught behind the copy op, in sync mode too.
  {
    ModelCopy m("segmenter");
    std::string exp = readText(m.file("expected_output.bin"));
    ASSERT_EQ(2880u, exp.size());
    exp[2879] = static_cast<char>(exp[2879] ^ 0x40);
    m.write("expected_output.bin", exp);
    const Result r = qoblRun("--verify --sync --runs 4 --model " + m.dir());
    EXPECT_EQ(5, r.code) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.err.find("output 0, element 719 (byte 2876)")) << r.err;
  }
  // Without the copy op the segmenter's output stays in its core layout and cannot be compared.
  const Result r = qoblRun("--verify --graph input,model --model " + modelDir("segmenter"));
  EXPECT_EQ(2, r.code);
  EXPECT_NE(std::string::npos, r.err.find("core layout (6144 bytes on the card, 2880 plain); add the copy op"))
      << r.err;
}

TEST(QoblRunTest, BrokenModelDirectoriesAreNamed) {
  struct Case {
    std::string what, args, message;
  };
  ModelCopy noParams("classifier"), badGraph("classifier"), shortSample("classifier"), noExpected("classifier");
  std::remove(noParams.file("params.bin").c_str());
  badGraph.write("graph.json", "{\"nodes\": [");
  shortSample.write("sample_input.bin", std::string(100, '\0'));
  std::remove(noExpected.file("expected_output.bin").c_str());
  const std::vector<Case> cases = {
      {"missing directory", "--model /nonexistent/qobl/model", "model directory /nonexistent/qobl/model does not exist"},
      {"missing params.bin", "--model " + noParams.dir(), noParams.file("params.bin") + ": No such file or directory"},
      {"malformed graph.json", "--model " + badGraph.dir(), badGraph.file("graph.json") + ": not valid JSON"},
      {"short sample", "--model " + shortSample.dir(),
       "sample_input.bin holds 100 bytes, the model's inputs [1,3,16,16] float32 take 3072"},
      {"no expected output", "--verify --model " + noExpected.dir(),
       noExpected.file("expected_output.bin") + ": No such file or directory (needed by --verify)"},
      {"unknown dynamic size", "--shape 9x9 --model " + modelDir("dynamic"),
       "no sample for shape 9x9 (samples: 8x8, 16x16, 24x24, 32x32)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Result r = qoblRun(c.args);
    EXPECT_EQ(3, r.code) << r.err;
    EXPECT_NE(std::string::npos, r.err.find(c.message)) << r.err;
    EXPECT_EQ("", r.out);
  }
  // Without expected_output.bin the model still runs when nothing is verified.
  EXPECT_EQ(0, qoblRun("--runs 4 --model " + noExpected.dir()).code);
}

TEST(QoblRunTest, CommandLineErrors) {
  for (const char* args : {"--runs 0", "--streams 65", "--graph model,input", "--graph input,copy,model",
                           "--graph input,model,resize", "--bogus", "--model"}) {
    SCOPED_TRACE(args);
    const Result r = qoblRun(args);
    EXPECT_EQ(2, r.code);
    EXPECT_EQ(0u, r.err.find("qobl-run: ")) << r.err;
  }
  const Result help = qoblRun("--help");
  EXPECT_EQ(0, help.code);
  EXPECT_NE(std::string::npos, help.out.find("Exit codes:"));
  EXPECT_NE(std::string::npos, help.out.find("5  --verify: an output differs from expected_output.bin"));
}

TEST(QoblRunTest, TraceHasOneEventPerRunAndDotNamesEveryOp) {
  char tmpl[] = "/tmp/qobl_trace_XXXXXX";
  const std::string dir = mkdtemp(tmpl);
  const Result r = qoblRun("--streams 2 --runs 40 --model " + modelDir("segmenter") + " --trace " + dir +
                           "/t.json --dot " + dir + "/g.dot");
  ASSERT_EQ(0, r.code) << r.out << r.err;
  const std::string trace = readText(dir + "/t.json");
  const std::string dot = readText(dir + "/g.dot");
  std::system(("rm -rf " + dir).c_str());

  rapidjson::Document doc;
  doc.Parse(trace.c_str());
  ASSERT_FALSE(doc.HasParseError());
  ASSERT_TRUE(doc.HasMember("traceEvents") && doc["traceEvents"].IsArray());
  std::map<uint64_t, std::pair<int64_t, int64_t>> runs;   // run -> [start, end]
  std::map<uint64_t, std::vector<std::string>> opsOfRun;
  for (const auto& e : doc["traceEvents"].GetArray()) {
    ASSERT_STREQ("X", e["ph"].GetString());
    const uint64_t run = e["args"]["run"].GetUint64();
    const int64_t ts = e["ts"].GetInt64(), dur = e["dur"].GetInt64();
    EXPECT_GE(ts, 0);
    EXPECT_GE(dur, 0);
    EXPECT_EQ(0u, e["args"]["error"].GetUint());
    if (std::string(e["cat"].GetString()) == "run") {
      EXPECT_EQ("run " + std::to_string(run), e["name"].GetString());
      EXPECT_TRUE(runs.emplace(run, std::make_pair(ts, ts + dur)).second) << "two events for run " << run;
    } else {
      opsOfRun[run].push_back(e["name"].GetString());
    }
  }
  ASSERT_EQ(40u, runs.size());
  EXPECT_EQ(39u, runs.rbegin()->first);
  // Each run reports its run-model op and then its copy op, within the run's interval.
  for (const auto& [run, ops] : opsOfRun) {
    ASSERT_EQ(2u, ops.size()) << "run " << run;
    EXPECT_EQ(0u, ops[0].find("run_model_op_"));
    EXPECT_EQ(0u, ops[1].find("mem_copy_op_"));
  }
  EXPECT_EQ(40u, opsOfRun.size());

  // The DOT file names every op of the pipeline row and links them in order.
  std::istringstream chain(tableRows(r.out)["pipeline"]);
  std::vector<std::string> names;
  for (std::string w; chain >> w;)
    if (w != "->") names.push_back(w);
  ASSERT_EQ(3u, names.size());
  EXPECT_EQ(0u, dot.find("digraph "));
  for (size_t i = 0; i < names.size(); ++i) {
    EXPECT_NE(std::string::npos, dot.find("\"" + names[i] + "\" [label=\"" + names[i])) << dot;
    if (i > 0) {
      EXPECT_NE(std::string::npos, dot.find("\"" + names[i - 1] + "\" -> \"" + names[i] + "\"")) << dot;
    }
  }
}

}  // namespace
