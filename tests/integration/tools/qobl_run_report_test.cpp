// qobl-run's figures checked against what is known of the runs: on cards slowed down by qobl_run_slow_card
// every device run takes at least the op delay, so latencies and wall times have known lower bounds; counts
// are exact.  No upper time bounds but very generous ones: the machine may be loaded.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "tool_test_util.h"

namespace {

using tooltest::modelDir;
using tooltest::parseJson;
using tooltest::Result;
using tooltest::runProgram;
using tooltest::ScratchDir;
using tooltest::tableRows;

// The classifier's model op, slowed down: each device run of it takes at least this long.
constexpr int kDelayUs = 20000;

std::string fixed1(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.1f", v);
  return buf;
}

// The latency figures of a latency_us object are ordered and within [min, max].
void expectOrdered(const rapidjson::Value& l, const std::string& what) {
  const double mn = l["min"].GetDouble(), p50 = l["p50"].GetDouble(), p90 = l["p90"].GetDouble();
  const double p95 = l["p95"].GetDouble(), p99 = l["p99"].GetDouble(), mx = l["max"].GetDouble();
  EXPECT_LE(mn, p50) << what;
  EXPECT_LE(p50, p90) << what;
  EXPECT_LE(p90, p95) << what;
  EXPECT_LE(p95, p99) << what;
  EXPECT_LE(p99, mx) << what;
  EXPECT_LE(mn, l["mean"].GetDouble()) << what;
  EXPECT_GE(mx, l["mean"].GetDouble()) << what;
}

// Throughput is the inputs that completed over the measured wall time, with the warm-up left out, and the
// table says what the JSON says.
TEST(QoblRunReportTest, FiguresOfOneStreamAgreeWithTheCard) {
  ScratchDir dir;
  const std::string json = dir.file("s.json");
  const Result r = runProgram("qobl_run_slow_card", std::to_string(kDelayUs) + " --model " + modelDir("classifier") +
                                                        " --in-flight 1 --runs 8 --warmup 2 --json " + json);
  ASSERT_EQ(0, r.code) << r.err;
  rapidjson::Document j = parseJson(tooltest::readText(json));
  ASSERT_TRUE(j.IsObject());
  // Two measured device runs of four inputs; the two warm-up device runs are not among them.
  EXPECT_EQ(4u, j["inputs_per_device_run"].GetUint());
  EXPECT_EQ(2u, j["warmup_device_runs"].GetUint());
  EXPECT_EQ(8u, j["submitted"].GetUint());
  EXPECT_EQ(8u, j["runs"].GetUint());
  EXPECT_EQ(2u, j["device_runs"].GetUint());
  // One device run at a time: every input waits at least for its device run, the two take twice that.
  const rapidjson::Value& l = j["latency_us"];
  expectOrdered(l, "total");
  EXPECT_GE(l["min"].GetDouble(), kDelayUs);
  const double wall = j["wall_time_s"].GetDouble();
  EXPECT_GE(wall, 2 * kDelayUs / 1e6);
  EXPECT_LT(wall, 30.0);
  EXPECT_NEAR(8 / wall, j["inferences_per_s"].GetDouble(), 1e-9 * j["inferences_per_s"].GetDouble());
  // One card: its figures are the totals.
  ASSERT_EQ(1u, j["per_device"].Size());
  EXPECT_EQ(wall, j["per_device"][0]["wall_time_s"].GetDouble());
  EXPECT_EQ(j["inferences_per_s"].GetDouble(), j["per_device"][0]["inferences_per_s"].GetDouble());
  ASSERT_EQ(1u, j["per_stream"].Size());
  EXPECT_EQ(8u, j["per_stream"][0]["runs"].GetUint());
  EXPECT_EQ(l["p95"].GetDouble(), j["per_stream"][0]["latency_us"]["p95"].GetDouble());

  auto rows = tableRows(r.out);
  EXPECT_EQ("8 of 8 submitted (2 device runs)", rows["runs"]);
  EXPECT_EQ(fixed1(j["inferences_per_s"].GetDouble()) + " (" + fixed1(wall * 1000.0) + " ms)", rows["inferences/s"]);
  for (const char* p : {"p50", "p90", "p95", "p99", "mean"})
    EXPECT_EQ(fixed1(l[p].GetDouble()) + " us", rows[std::string("latency ") + p]) << p;
}

// Several streams over several cards: each stream and each card has its own figures, and they add up.
TEST(QoblRunReportTest, EveryStreamAndCardReported) {
  ScratchDir dir;
  const std::string json = dir.file("s.json");
  const Result r = runProgram("qobl_run_slow_card",
                              "5000 --model " + modelDir("classifier") +
                                  " --devices 2 --streams 3 --in-flight 1 --runs 24 --json " + json,
                              "QOBCRT_DEVICE_COUNT=2");
  ASSERT_EQ(0, r.code) << r.err;
  rapidjson::Document j = parseJson(tooltest::readText(json));
  ASSERT_TRUE(j.IsObject());
  EXPECT_EQ(24u, j["runs"].GetUint());
  ASSERT_EQ(3u, j["per_stream"].Size());
  uint64_t sum = 0;
  for (unsigned s = 0; s < 3; ++s) {
    const rapidjson::Value& st = j["per_stream"][s];
    EXPECT_EQ(s, st["stream"].GetUint());
    EXPECT_EQ(s % 2, st["device"].GetUint());   // round-robin over the cards
    EXPECT_EQ(8u, st["runs"].GetUint());
    sum += st["runs"].GetUint();
    expectOrdered(st["latency_us"], "stream " + std::to_string(s));
    EXPECT_GE(st["latency_us"]["min"].GetDouble(), 5000);
    EXPECT_GE(st["wall_time_s"].GetDouble(), 2 * 5000 / 1e6);   // two device runs, one after the other
    EXPECT_LE(st["wall_time_s"].GetDouble(), j["wall_time_s"].GetDouble());
  }
  EXPECT_EQ(24u, sum);
  ASSERT_EQ(2u, j["per_device"].Size());
  EXPECT_EQ(16u, j["per_device"][0]["runs"].GetUint());
  EXPECT_EQ(8u, j["per_device"][1]["runs"].GetUint());
  auto rows = tableRows(r.out);
  for (const char* row : {"stream 0 (card 0)", "stream 1 (card 1)", "stream 2 (card 0)", "card 0", "card 1"})
    EXPECT_EQ(1u, rows.count(row)) << row << "\n" << r.out;
  EXPECT_EQ(0u, rows["stream 1 (card 1)"].find(fixed1(j["per_stream"][1]["inferences_per_s"].GetDouble()) +
                                                " inferences/s (8 runs in "))
      << rows["stream 1 (card 1)"];
}

// Past the inputs whose latencies are kept exactly, the summary's percentiles come from the histogram and
// say so, while each stream, under the limit, stays exact; min, max and mean agree exactly with the
// streams' own whatever the kind.
TEST(QoblRunReportTest, LongRunsTakePercentilesFromTheHistogram) {
  ScratchDir dir;
  const std::string json = dir.file("s.json");
  const Result r = runProgram("qobl-run", "--model " + modelDir("classifier") +
                                              " --streams 2 --runs 20000 --in-flight 8 --json " + json);
  ASSERT_EQ(0, r.code) << r.err;
  rapidjson::Document j = parseJson(tooltest::readText(json));
  ASSERT_TRUE(j.IsObject());
  ASSERT_EQ(20000u, j["runs"].GetUint());
  EXPECT_FALSE(j["latency_exact"].GetBool());
  const rapidjson::Value& l = j["latency_us"];
  expectOrdered(l, "total");
  double lo = 1e300, hi = 0, weighted = 0;
  for (const auto& st : j["per_stream"].GetArray()) {
    EXPECT_EQ(10000u, st["runs"].GetUint());
    EXPECT_TRUE(st["latency_exact"].GetBool());
    expectOrdered(st["latency_us"], "stream");
    lo = std::min(lo, st["latency_us"]["min"].GetDouble());
    hi = std::max(hi, st["latency_us"]["max"].GetDouble());
    weighted += st["latency_us"]["mean"].GetDouble() * 10000;
  }
  EXPECT_EQ(lo, l["min"].GetDouble());
  EXPECT_EQ(hi, l["max"].GetDouble());
  EXPECT_NEAR(weighted / 20000, l["mean"].GetDouble(), 1e-9 * l["mean"].GetDouble());
  auto rows = tableRows(r.out);
  EXPECT_EQ("percentiles within 0.1 % (over 16384 inputs: histogram); mean, min, max exact", rows["latency precision"])
      << r.out;

  // A short run keeps every latency: exact, and nothing said about precision.
  const Result s = runProgram("qobl-run", "--model " + modelDir("classifier") + " --runs 40 --json " + json);
  ASSERT_EQ(0, s.code) << s.err;
  EXPECT_TRUE(parseJson(tooltest::readText(json))["latency_exact"].GetBool());
  EXPECT_EQ(0u, tableRows(s.out).count("latency precision")) << s.out;
}

// A duration shorter than one device run, over many streams: every stream still makes one device run, so
// none ends without a figure and the summary is never of nothing.
TEST(QoblRunReportTest, ShortDurationRunsEveryStreamOnce) {
  ScratchDir dir;
  const std::string json = dir.file("s.json");
  for (const char* mode : {"--sync", "--in-flight 1"}) {
    const Result r = runProgram("qobl_run_slow_card", "2000 --model " + modelDir("classifier") +
                                                          " --streams 16 --duration 0.001 " + mode + " --json " + json);
    ASSERT_EQ(0, r.code) << mode << "\n" << r.err;
    rapidjson::Document j = parseJson(tooltest::readText(json));
    ASSERT_TRUE(j.IsObject());
    ASSERT_EQ(16u, j["per_stream"].Size());
    for (unsigned s = 0; s < 16; ++s) EXPECT_GE(j["per_stream"][s]["runs"].GetUint(), 4u) << mode << " stream " << s;
    EXPECT_GE(j["runs"].GetUint(), 64u) << mode;
    EXPECT_GT(j["inferences_per_s"].GetDouble(), 0) << mode;
    EXPECT_FALSE(j["latency_us"]["p50"].IsNull()) << mode;
  }
}

// qobl-info lists the input sizes qobl-run takes: a file of the size qobl-info gives for a dynamic model
// runs without --shape.
TEST(QoblRunReportTest, QoblInfoSizesAreTheOnesQoblRunTakes) {
  const Result info = runProgram("qobl-info", modelDir("dynamic") + " --json");
  ASSERT_EQ(0, info.code) << info.err;
  rapidjson::Document j = parseJson(info.out);
  ASSERT_TRUE(j.IsObject());
  const uint64_t bytes = j["model"]["inputs"][0]["bytes"].GetUint64();
  const std::string shape = std::to_string(j["model"]["shape"][0].GetInt()) + "x" +
                            std::to_string(j["model"]["shape"][1].GetInt());
  ScratchDir dir;
  const std::string in = dir.file("in.bin");
  {
    std::FILE* f = std::fopen(in.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    for (uint64_t i = 0; i < bytes; ++i) std::fputc(0, f);
    std::fclose(f);
  }
  Result r = runProgram("qobl-run", "--model " + modelDir("dynamic") + " --input " + in + " --runs 1");
  ASSERT_EQ(0, r.code) << r.err;
  EXPECT_EQ("dynamic (dynamic, " + shape + ")", tableRows(r.out)["model"]);
  // At another size the file does not fit, and the refusal names the size it was checked at: the one given,
  // or the default one, with how to give another.
  r = runProgram("qobl-run", "--model " + modelDir("dynamic") + " --shape 4x4 --input " + in + " --runs 1");
  EXPECT_EQ(2, r.code) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("holds " + std::to_string(bytes) + " bytes, input 0 \"data\" [1,3,4,4]"))
      << r.err;
  r = runProgram("qobl-run", "--model " + modelDir("dynamic") + " --input " + modelDir("classifier") +
                                 "/sample_input.bin --runs 1");
  EXPECT_EQ(2, r.code) << r.err;
  EXPECT_NE(std::string::npos, r.err.find(" at " + shape + ", the default size (--shape HxW sets another)")) << r.err;
}

}  // namespace
