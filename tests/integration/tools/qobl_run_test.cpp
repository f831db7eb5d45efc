// qobl-run end to end on the simulated card: every demo model verified through the pipelines it needs,
// loud verification failures, named faults of broken model directories, command-line errors, the trace
// and DOT files it writes, how many device runs a stream keeps in flight, the card-time profile, and how
// SIGINT and SIGTERM stop it early with a summary of what completed.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <vector>

#include <rapidjson/document.h>

#include "tool_test_util.h"

namespace {

using namespace tooltest;

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
  // The pre-processing op quantises the classifier's input to uint8 (and gives a dynamic model its shapes);
  // the model reads it back and still reproduces the reference.
  const Result r = qoblRun("--verify --graph input,normalize,model,copy --runs 8");
  ASSERT_EQ(0, r.code) << r.out << r.err;
  EXPECT_NE(std::string::npos,
            tableRows(r.out)["pipeline"].find("input_op_1 -> preprocess_op_2 -> run_model_op_3 -> mem_copy_op_4"));
  expectVerified("--graph input,normalize,model --streams 2 --runs 16", 16);
  expectVerified("--graph input,normalize,model --sync --batch 1 --runs 5", 5);
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
    m.put("expected_output.bin", exp);
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
    m.put("expected_output.bin", exp);
    const Result r = qoblRun("--verify --sync --runs 4 --model " + m.dir());
    EXPECT_EQ(5, r.code) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.err.find("output 0, element 719 (byte 2876)")) << r.err;
  }
  // Without the copy op the segmenter's output stays in its core layout: it cannot be compared, and the
  // library would not build the stream either, so the --graph is refused with or without --verify.
  for (const char* extra : {"--verify", "--sync", ""}) {
    const Result r = qoblRun(std::string(extra) + " --graph input,model --model " + modelDir("segmenter"));
    EXPECT_EQ(2, r.code) << extra << ": " << r.err;
    EXPECT_NE(std::string::npos,
              r.err.find("qobl-run: --graph input,model: model segmenter stores output 0 in a core layout (6144 "
                         "bytes on the card, 2880 plain); add the copy op: --graph input,model,copy\n"))
        << extra << ": " << r.err;
  }
}

TEST(QoblRunTest, BrokenModelDirectoriesAreNamed) {
  struct Case {
    std::string what, args, message;
  };
  ModelCopy noParams("classifier"), badGraph("classifier"), shortSample("classifier"), noExpected("classifier"),
      badHw("classifier"), noMember("dynamic"), noSamples("dynamic");
  std::remove(noParams.file("params.bin").c_str());
  std::remove(noMember.file("member1/params.bin").c_str());
  std::filesystem::remove_all(noSamples.file("samples"));
  badGraph.put("graph.json", "{\"nodes\": [");
  badHw.put("hw.json", "{\"max_batch_size\": }");
  shortSample.put("sample_input.bin", std::string(100, '\0'));
  std::remove(noExpected.file("expected_output.bin").c_str());
  const std::vector<Case> cases = {
      {"missing directory", "--model /nonexistent/qobl/model", "model directory /nonexistent/qobl/model does not exist"},
      {"missing params.bin", "--model " + noParams.dir(), noParams.file("params.bin") + ": No such file or directory"},
      {"malformed graph.json", "--model " + badGraph.dir(), badGraph.file("graph.json") + ": not valid JSON"},
      {"malformed hw.json", "--model " + badHw.dir(), badHw.file("hw.json") + ": not valid JSON (offset 19"},
      {"missing suite member file", "--model " + noMember.dir(), "/member1/params.bin (named by member \""},
      {"short sample", "--model " + shortSample.dir(),
       "sample_input.bin holds 100 bytes, the model's inputs [1,3,16,16] float32 take 3072 bytes (or give inputs: "
       "--input random|zeros|FILE"},
      {"short sample to verify with", "--verify --model " + shortSample.dir(),
       "take 3072 bytes (--verify compares with the sample's expected output)\n"},
      {"no sample to verify with", "--verify --model " + noSamples.dir(),
       "no samples/<H>x<W>/ directory with a sample input (--verify compares with the sample's expected output)\n"},
      {"no expected output", "--verify --model " + noExpected.dir(),
       noExpected.file("expected_output.bin") + ": No such file or directory (needed by --verify)\n"},
      {"dynamic suite without samples", "--model " + noSamples.dir(), "no samples/<H>x<W>/"},
      {"unknown dynamic size", "--shape 9x9 --model " + modelDir("dynamic"),
       "no sample for shape 9x9 (samples: 8x8, 16x16, 24x24, 32x32) (or give inputs: --input random|zeros|FILE"},
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

// Nanoseconds from a trace time in microseconds written with three decimals.
int64_t ns(const rapidjson::Value& us) { return std::llround(us.GetDouble() * 1000.0); }

TEST(QoblRunTest, TraceNamesItsLanesAndNestsCardTimesExactly) {
  tooltest::ScratchDir d;
  const Result r = qoblRun("--streams 2 --runs 40 --model " + modelDir("segmenter") + " --trace " + d.file("t.json") +
                           " --dot " + d.file("g.dot"));
  ASSERT_EQ(0, r.code) << r.out << r.err;
  const std::string trace = readText(d.file("t.json"));
  const std::string dot = readText(d.file("g.dot"));

  const rapidjson::Document doc = tooltest::parseJson(trace);
  ASSERT_TRUE(doc.IsObject() && doc.HasMember("traceEvents") && doc["traceEvents"].IsArray());
  struct Ev {
    std::string name;
    int64_t start, end;
  };
  std::map<std::pair<int, int>, std::string> names;    // (pid, tid) -> lane name
  std::map<std::pair<int, int>, std::vector<Ev>> lanes;
  std::map<uint64_t, Ev> runEvents;
  std::map<uint64_t, std::vector<Ev>> opsOfRun;
  for (const auto& e : doc["traceEvents"].GetArray()) {
    const std::pair<int, int> lane(e["pid"].GetInt(), e["tid"].GetInt());
    if (std::string(e["ph"].GetString()) == "M") {
      names[lane] = e["args"]["name"].GetString();
      continue;
    }
    ASSERT_STREQ("X", e["ph"].GetString());
    EXPECT_EQ(0u, e["args"]["error"].GetUint());
    const Ev ev{e["name"].GetString(), ns(e["ts"]), ns(e["ts"]) + ns(e["dur"])};
    const uint64_t run = e["args"]["run"].GetUint64();
    const std::string cat = e["cat"].GetString();
    EXPECT_TRUE(0 <= ev.start && ev.start <= ev.end) << ev.name;
    if (cat == "run") {
      EXPECT_EQ("run " + std::to_string(run), ev.name);
      EXPECT_TRUE(runEvents.emplace(run, ev).second) << "two events for run " << run;
    } else if (cat == "op") {
      opsOfRun[run].push_back(ev);
    }
    lanes[lane].push_back(ev);
  }
  ASSERT_EQ(40u, runEvents.size());
  EXPECT_EQ(39u, runEvents.rbegin()->first);
  // Every lane with events is named, and its process too: input slots of the host, the card's engine.
  // Events of one lane never overlap unless one holds the other (an input slot is not reused before its
  // run is over); the card's ops follow one another.
  for (auto& [lane, events] : lanes) {
    ASSERT_EQ(1u, names.count(lane)) << lane.first << "/" << lane.second;
    EXPECT_EQ(1u, names.count({lane.first, 0})) << "process " << lane.first;
    const std::string& n = names[lane];
    EXPECT_TRUE(n.find("input slot") != std::string::npos || n == "card 0 engine") << n;
    std::sort(events.begin(), events.end(), [](const Ev& x, const Ev& y) {
      return x.start != y.start ? x.start < y.start : x.end > y.end;
    });
    std::vector<int64_t> open;   // ends of the events that hold the current one
    for (const Ev& e : events) {
      while (!open.empty() && open.back() <= e.start) open.pop_back();
      if (!open.empty()) {
        EXPECT_LE(e.end, open.back()) << n << ": " << e.name << " overlaps its neighbour";
      }
      open.push_back(e.end);
    }
    if (n != "card 0 engine") continue;
    for (size_t i = 1; i < events.size(); ++i) EXPECT_LE(events[i - 1].end, events[i].start);
  }
  // Each run's run-model op and then its copy op ran on the card within the run's interval.
  EXPECT_EQ(40u, opsOfRun.size());
  for (const auto& [run, ops] : opsOfRun) {
    ASSERT_EQ(2u, ops.size()) << "run " << run;
    EXPECT_EQ(0u, ops[0].name.find("run_model_op_"));
    EXPECT_EQ(0u, ops[1].name.find("mem_copy_op_"));
    EXPECT_LE(ops[0].end, ops[1].start);
    EXPECT_LE(runEvents[run].start, ops[0].start);
    EXPECT_LE(ops[1].end, runEvents[run].end);
  }

  // The DOT file names every op of the pipeline row and links them in order.
  std::istringstream chain(tableRows(r.out)["pipeline"]);
  std::vector<std::string> opNames;
  for (std::string w; chain >> w;)
    if (w != "->") opNames.push_back(w);
  ASSERT_EQ(3u, opNames.size());
  EXPECT_EQ(0u, dot.find("digraph "));
  for (size_t i = 0; i < opNames.size(); ++i) {
    EXPECT_NE(std::string::npos, dot.find("\"" + opNames[i] + "\" [label=\"" + opNames[i])) << dot;
    if (i > 0) {
      EXPECT_NE(std::string::npos, dot.find("\"" + opNames[i - 1] + "\" -> \"" + opNames[i] + "\"")) << dot;
    }
  }
}

// How deep a stream's runs go: every input asynchronously submitted finds at most depth x batch inputs in
// flight (its own included), the trace's input slots number no more, and every output still matches.  The
// device memory peak grows by at least the output buffers of the added slots; a deeper stream really
// keeps more than one device run in flight.
TEST(QoblRunTest, InFlightBoundsTheRunsOfAStream) {
  tooltest::ScratchDir d;
  struct Depth {
    uint32_t inFlight;
    int runs;
    uint32_t mostInFlight = 0;   // inputs in flight at a submission, at most
    uint64_t memPeak = 0;
  };
  std::vector<Depth> depths = {{1, 64}, {8, 128}};
  const uint64_t outputBytes = readText(modelDir("classifier") + "/expected_output.bin").size();
  uint32_t batch = 0;
  for (Depth& dp : depths) {
    SCOPED_TRACE(dp.inFlight);
    const std::string n = std::to_string(dp.runs);
    const Result r = qoblRun("--verify --runs " + n + " --in-flight " + std::to_string(dp.inFlight) + " --json " +
                             d.file("s.json") + " --trace " + d.file("t.json"));
    ASSERT_EQ(0, r.code) << r.out << r.err;
    auto rows = tableRows(r.out);
    EXPECT_EQ(n + " of " + n + " match expected_output.bin", rows["verified"]);
    EXPECT_EQ("asynchronous, 1 stream on 1 thread, " + std::to_string(dp.inFlight) + " device run" +
                  (dp.inFlight == 1 ? "" : "s") + " in flight",
              rows["mode"]);
    const rapidjson::Document j = tooltest::parseJson(readText(d.file("s.json")));
    ASSERT_TRUE(j.IsObject());
    EXPECT_EQ(dp.inFlight, j["in_flight"].GetUint());
    batch = j["batch"].GetUint();
    ASSERT_EQ(4u, batch);
    dp.memPeak = j["device_memory_peak_bytes"].GetUint64();

    const rapidjson::Document t = tooltest::parseJson(readText(d.file("t.json")));
    std::vector<std::pair<int64_t, int64_t>> inputs;   // submitted, completed
    std::set<int> slots;
    for (const auto& e : t["traceEvents"].GetArray()) {
      if (std::string(e["ph"].GetString()) != "X" || std::string(e["cat"].GetString()) != "run") continue;
      inputs.emplace_back(ns(e["ts"]), ns(e["ts"]) + ns(e["dur"]));
      slots.insert(e["tid"].GetInt());
    }
    ASSERT_EQ(static_cast<size_t>(dp.runs), inputs.size());
    EXPECT_LE(slots.size(), batch * dp.inFlight);
    // An input still uncompleted when another is submitted held its slot then.
    for (const auto& in : inputs) {
      uint32_t busy = 1;
      for (const auto& other : inputs) busy += other.first < in.first && in.first < other.second ? 1 : 0;
      dp.mostInFlight = std::max(dp.mostInFlight, busy);
    }
    EXPECT_LE(dp.mostInFlight, batch * dp.inFlight);
  }
  EXPECT_GT(depths[1].mostInFlight, batch) << "never more than one device run in flight at depth 8";
  EXPECT_GE(depths[1].memPeak, depths[0].memPeak + 7 * batch * outputBytes);
}

// The card-time profile of one run: every op of the pipeline, in order, each counted once per measured
// device run; the input op with host times and no share of the card's; shares add up to one; each op's
// statistics are in order and its total is its mean times its runs; a device run's card ops fit in the
// device run, and the device run in an input's latency; the printed table shows the same figures.  With a
// trace the profile agrees with the card lane's events.  Returns the device runs the profile counts (0
// without one).
uint64_t expectProfile(const std::string& args, const tooltest::ScratchDir& d) {
  SCOPED_TRACE(args);
  const std::string json = d.file("p.json"), trace = d.file("t.json");
  const Result r = qoblRun(args + " --profile --json " + json + " --trace " + trace);
  EXPECT_EQ(0, r.code) << r.out << r.err;
  rapidjson::Document j = tooltest::parseJson(readText(json));
  if (!j.IsObject() || !j.HasMember("profile")) {
    ADD_FAILURE() << "no profile in " << readText(json);
    return 0;
  }
  auto rows = tableRows(r.out);
  std::istringstream chain(rows["pipeline"]);
  std::vector<std::string> pipelineOps;
  for (std::string w; chain >> w;)
    if (w != "->") pipelineOps.push_back(w);
  EXPECT_EQ(0u, pipelineOps.front().find("input_op_")) << rows["pipeline"];
  const std::vector<std::string> cardOps(pipelineOps.begin() + 1, pipelineOps.end());

  const uint64_t deviceRuns = j["runs"].GetUint64() / j["batch"].GetUint();
  EXPECT_NE(std::string::npos, rows["runs"].find("(" + std::to_string(deviceRuns) + " device runs)")) << rows["runs"];
  const auto& p = j["profile"];
  EXPECT_EQ(deviceRuns, p["device_runs"].GetUint64());
  std::istringstream header(rows["op"]);
  std::vector<std::string> columns;
  for (std::string w; std::getline(header >> std::ws, w, '|');)
    columns.push_back(w.substr(0, w.find_last_not_of(' ') + 1));
  EXPECT_EQ((std::vector<std::string>{"device runs", "total ms", "mean us", "p50 us", "p90 us", "p99 us", "share"}),
            columns);
  std::vector<std::string> names;
  double shareSum = 0, meanSum = 0;
  std::map<std::string, double> totals;
  for (const auto& op : p["ops"].GetArray()) {
    const std::string name = op["name"].GetString();
    SCOPED_TRACE(name);
    names.push_back(name);
    EXPECT_EQ(deviceRuns, op["runs"].GetUint64());
    const double total = op["total_us"].GetDouble(), mean = op["mean_us"].GetDouble();
    const double median = op["median_us"].GetDouble(), p90 = op["p90_us"].GetDouble(), p99 = op["p99_us"].GetDouble();
    EXPECT_TRUE(0 < mean && 0 < median && median <= p90 && p90 <= p99) << mean << " " << median << " " << p99;
    EXPECT_NEAR(total, mean * static_cast<double>(deviceRuns), 1e-6 * total);
    const bool input = name == pipelineOps.front();
    EXPECT_EQ(!input, op["on_card"].GetBool());
    if (input) {
      EXPECT_EQ(0.0, op["share"].GetDouble());
      const std::string share = rows[name].substr(rows[name].rfind('|') + 1);
      EXPECT_EQ("host", share.substr(share.find_first_not_of(' '))) << rows[name];
      EXPECT_NE(std::string::npos, r.out.find(name + " is not executed by the card")) << r.out;
    } else {
      meanSum += mean;
    }
    shareSum += op["share"].GetDouble();
    totals[name] = total;
    // The table's row: device runs, then the total in ms and the mean in us as printed.
    std::istringstream row(rows[name]);
    uint64_t runs = 0;
    double totalMs = 0, meanUs = 0;
    char bar = 0;
    EXPECT_TRUE(row >> runs >> bar >> totalMs >> bar >> meanUs) << rows[name];
    EXPECT_EQ(deviceRuns, runs);
    EXPECT_NEAR(total / 1000.0, totalMs, 0.0051);
    EXPECT_NEAR(mean, meanUs, 0.051);
  }
  EXPECT_EQ(pipelineOps, names);
  EXPECT_NEAR(1.0, shareSum, 1e-9);
  const auto& run = p["card_run_us"];
  EXPECT_LE(meanSum, run["mean"].GetDouble());
  EXPECT_TRUE(run["p50"].GetDouble() <= run["p90"].GetDouble() && run["p90"].GetDouble() <= run["p99"].GetDouble());
  EXPECT_LE(run["p50"].GetDouble(), j["latency_us"]["p50"].GetDouble());
  EXPECT_EQ(0u, rows["whole device run"].find(std::to_string(deviceRuns) + " |")) << rows["whole device run"];

  // The trace's card lane holds each op of a device run once: the same counts and totals.
  const rapidjson::Document t = tooltest::parseJson(readText(trace));
  std::map<std::string, std::pair<uint64_t, int64_t>> lane;   // op -> events, nanoseconds
  for (const auto& e : t["traceEvents"].GetArray()) {
    if (std::string(e["ph"].GetString()) != "X" || std::string(e["cat"].GetString()) != "card") continue;
    auto& l = lane[e["name"].GetString()];
    ++l.first;
    l.second += ns(e["dur"]);
  }
  EXPECT_EQ(cardOps.size(), lane.size());
  for (const auto& [name, l] : lane) {
    EXPECT_EQ(deviceRuns, l.first) << name;
    EXPECT_NEAR(static_cast<double>(l.second) / 1e3, totals[name], 0.01) << name;
  }
  return p["device_runs"].GetUint64();
}

TEST(QoblRunTest, ProfileCountsEachOpOncePerMeasuredDeviceRun) {
  tooltest::ScratchDir d;
  // Two streams of four inputs per device run through the pre-processing op.
  EXPECT_EQ(16u, expectProfile("--graph input,normalize,model --streams 2 --runs 64", d));
  // Warm-up device runs are not counted; two inputs per device run, the segmenter with its copy op.
  EXPECT_EQ(6u, expectProfile("--model " + modelDir("segmenter") + " --warmup 3 --batch 2 --runs 12", d));
}

// Runs qobl-run for a minute from two streams, with a JSON summary, a trace and the outputs of its first
// measured run dumped; once that dump exists (the runs are under way) sends it `sig`, and gives it 20 s to
// end (a sanitizer build on a loaded machine included).
Result interrupted(std::vector<std::string> args, int sig, const ScratchDir& d) {
  args.insert(args.end(), {"--duration", "60", "--streams", "2", "--json", d.file("s.json"), "--trace",
                           d.file("t.json"), "--dump-outputs", d.file("dump")});
  Background run("qobl-run", args);
  Result r;
  const auto start = std::chrono::steady_clock::now();
  while (!std::filesystem::exists(d.file("dump/run0_output0.bin"))) {
    if (run.finish(0.05, &r)) {
      ADD_FAILURE() << "ended before its first run completed\n" << r.out << r.err;
      return r;
    }
    if (std::chrono::steady_clock::now() - start > std::chrono::seconds(60)) {
      ADD_FAILURE() << "no run completed within 60 s";
      return r;
    }
  }
  ::kill(run.pid(), sig);
  EXPECT_TRUE(run.finish(20, &r)) << "still running 20 s after the signal";
  return r;
}

TEST(QoblRunTest, SignalsStopTheRunsAndKeepTheirSummary) {
  struct Case {
    std::vector<std::string> args;
    int sig, code;
    std::string name;
  };
  const std::vector<Case> cases = {
      {{"--profile"}, SIGINT, 130, "SIGINT"},
      {{"--sync"}, SIGINT, 130, "SIGINT"},
      {{"--in-flight", "1", "--verify"}, SIGTERM, 143, "SIGTERM"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name + " " + c.args.front());
    const ScratchDir d;
    const Result r = interrupted(c.args, c.sig, d);
    ASSERT_EQ(c.code, r.code) << "signal " << r.signal << "\n" << r.out << r.err;
    EXPECT_NE(std::string::npos, r.err.find("qobl-run: interrupted by " + c.name + " after ")) << r.err;

    // Every input submitted before the signal completed: none was dropped in flight.
    auto rows = tableRows(r.out);
    unsigned long long done = 0, submitted = 0, deviceRuns = 0;
    ASSERT_EQ(3, std::sscanf(rows["runs"].c_str(), "%llu of %llu submitted (%llu device runs)", &done, &submitted,
                             &deviceRuns))
        << rows["runs"];
    EXPECT_GT(done, 0u);
    EXPECT_EQ(submitted, done);
    EXPECT_NE(std::string::npos, rows["runs"].find(", interrupted by " + c.name + " (asked: --duration 60)"))
        << rows["runs"];
    EXPECT_EQ("0", rows["errors"]);
    EXPECT_NE(std::string::npos, rows["device memory peak"].find("0 B after teardown")) << rows["device memory peak"];
    const auto given = [&c](const char* option) {
      return std::find(c.args.begin(), c.args.end(), option) != c.args.end();
    };
    if (given("--verify")) {
      EXPECT_EQ(std::to_string(done) + " of " + std::to_string(done) + " match expected_output.bin", rows["verified"]);
    }

    const rapidjson::Document j = parseJson(readText(d.file("s.json")));
    ASSERT_TRUE(j.IsObject());
    EXPECT_TRUE(j["interrupted"].GetBool());
    EXPECT_EQ(c.name, j["signal"].GetString());
    EXPECT_EQ(done, j["runs"].GetUint64());
    // The trace holds every completed input, and the profile every device run of the card's count.
    const rapidjson::Document t = parseJson(readText(d.file("t.json")));
    uint64_t traced = 0;
    for (const auto& e : t["traceEvents"].GetArray())
      traced += std::string(e["ph"].GetString()) == "X" && std::string(e["cat"].GetString()) == "run" ? 1 : 0;
    EXPECT_EQ(done, traced);
    if (given("--profile")) {
      ASSERT_TRUE(j.HasMember("profile"));
      EXPECT_EQ(deviceRuns, j["profile"]["device_runs"].GetUint64());
    }
  }
}

}  // namespace
