// qobl-run's percentiles (exact, and from the bounded histogram), output formats (the profile's included)
// and random inputs, without the card.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "inputs.h"
#include "report.h"
#include "tool_test_util.h"

namespace {

using namespace zenlar::qoblrun;
using namespace zenlar::qobltools;

// Durations of the given microseconds.
Durations us(const std::vector<double>& values) {
  Durations d;
  for (double v : values) d.add(static_cast<uint64_t>(v * 1000));
  return d;
}

double percentileOf(const Durations& d, double q) { return d.percentilesNs({q})[0]; }

TEST(QoblRunPartsTest, PercentilesUseTheNearestRank) {
  Durations d;
  for (uint64_t i = 100; i >= 1; --i) d.add(i);   // unsorted on purpose
  EXPECT_TRUE(d.exact());
  EXPECT_EQ((std::vector<double>{50, 90, 99, 100, 1}), d.percentilesNs({50, 90, 99, 100, 0}));
  EXPECT_EQ(50.5, d.meanNs());
  EXPECT_EQ(5050.0, d.totalNs());
  EXPECT_EQ(7, percentileOf(us({0.007}), 99));
  EXPECT_EQ(3, percentileOf(us({0.005, 0.003}), 50));   // rank ceil(0.5 * 2) = 1
  EXPECT_EQ(5, percentileOf(us({0.005, 0.003}), 51));
  EXPECT_EQ(0, percentileOf(Durations(), 50));
  EXPECT_EQ(0, Durations().meanNs());
  EXPECT_EQ("812 B", bytesText(812));
  EXPECT_EQ("4.0 KiB", bytesText(4096));
  EXPECT_EQ("1.50 MiB", bytesText(3 * 512 * 1024));
}

// Past the exact limit, the histogram's percentiles stay within the stated relative error of the exact
// nearest ranks, on distributions of very different shapes; count, total, mean, min and max stay exact.
TEST(QoblRunPartsTest, HistogramPercentilesWithinTheirBound) {
  std::mt19937_64 gen(7);
  std::uniform_int_distribution<uint64_t> uniform(1, 20000000);          // 1 ns to 20 ms
  std::lognormal_distribution<double> lognormal(std::log(800000.0), 1.0);  // a long tail around 0.8 ms
  std::exponential_distribution<double> expo(1.0 / 3000.0);              // mostly in the exact nanoseconds
  const auto bimodal = [&gen]() -> uint64_t {
    return gen() % 10 == 0 ? 50000000 + gen() % 1000000 : 200000 + gen() % 1000;
  };
  const std::vector<double> qs = {0, 0.1, 1, 25, 50, 90, 95, 99, 99.9, 99.99, 100};
  for (int shape = 0; shape < 4; ++shape) {
    SCOPED_TRACE("distribution " + std::to_string(shape));
    std::vector<uint64_t> all;
    Durations d;
    unsigned __int128 sum = 0;
    for (int i = 0; i < 300000; ++i) {
      const uint64_t v = shape == 0   ? uniform(gen)
                         : shape == 1 ? static_cast<uint64_t>(lognormal(gen))
                         : shape == 2 ? static_cast<uint64_t>(expo(gen))
                                      : bimodal();
      all.push_back(v);
      d.add(v);
      sum += v;
    }
    std::sort(all.begin(), all.end());
    EXPECT_FALSE(d.exact());
    EXPECT_EQ(all.size(), d.count());
    EXPECT_EQ(all.front(), d.minNs());
    EXPECT_EQ(all.back(), d.maxNs());
    EXPECT_EQ(static_cast<double>(sum), d.totalNs());
    EXPECT_DOUBLE_EQ(static_cast<double>(sum) / static_cast<double>(all.size()), d.meanNs());
    const std::vector<double> got = d.percentilesNs(qs);
    for (size_t k = 0; k < qs.size(); ++k) {
      const size_t rank = std::max<size_t>(1, static_cast<size_t>(std::ceil(qs[k] / 100 * all.size())));
      const double exact = static_cast<double>(all[rank - 1]);
      EXPECT_LE(std::fabs(got[k] - exact), exact * Durations::kRelativeError) << "p" << qs[k] << ": " << got[k]
                                                                              << " for " << exact;
    }
    EXPECT_LT(Durations::kRelativeError, 0.001);
  }
}

// The memory held never grows past its bound however many durations are added, and stops changing once the
// histogram is in use; merging keeps the bound, and counts as adding every duration would.
TEST(QoblRunPartsTest, DurationsKeepFixedMemory) {
  Durations d;
  for (uint64_t i = 0; i < Durations::kExactLimit; ++i) d.add(1000 + i % 5000);
  EXPECT_TRUE(d.exact());
  EXPECT_LE(d.memoryBytes(), Durations::maxMemoryBytes());
  d.add(123);
  EXPECT_FALSE(d.exact());
  const size_t held = d.memoryBytes();
  EXPECT_LE(held, Durations::maxMemoryBytes());
  EXPECT_LE(Durations::maxMemoryBytes(), 200u * 1024);
  for (uint64_t i = 0; i < 5000000; ++i) d.add((i * 2654435761u) % 100000000);
  d.add(Durations::kHistogramMaxNs * 4);   // beyond the histogram: counted in its last bucket, max exact
  EXPECT_EQ(held, d.memoryBytes());
  EXPECT_EQ(Durations::kHistogramMaxNs * 4, d.maxNs());
  EXPECT_EQ(static_cast<double>(Durations::kHistogramMaxNs * 4), d.percentilesNs({100})[0]);

  // Two exact halves whose sum passes the limit merge into the histogram that adding them all makes.
  Durations a, b, whole;
  std::mt19937_64 gen(3);
  for (size_t i = 0; i < Durations::kExactLimit; ++i) {
    const uint64_t x = gen() % 5000000, y = gen() % 70000;
    a.add(x);
    b.add(y);
    whole.add(x);
    whole.add(y);
  }
  Durations merged = a;
  merged.merge(b);
  EXPECT_FALSE(merged.exact());
  EXPECT_LE(merged.memoryBytes(), Durations::maxMemoryBytes());
  const std::vector<double> qs = {1, 50, 90, 99};
  EXPECT_EQ(whole.percentilesNs(qs), merged.percentilesNs(qs));
  EXPECT_EQ(whole.count(), merged.count());
  EXPECT_EQ(whole.minNs(), merged.minNs());
  EXPECT_EQ(whole.maxNs(), merged.maxNs());
  // Small ones stay exact, within their own bound.
  Durations small = us({3, 1});
  small.merge(us({2}));
  EXPECT_TRUE(small.exact());
  EXPECT_EQ(2000, percentileOf(small, 50));
  for (int i = 0; i < 100; ++i) small.merge(us({1, 2, 3, 4, 5}));
  EXPECT_LE(small.memoryBytes(), Durations::maxMemoryBytes());
}

TEST(QoblRunPartsTest, TraceAndTableText) {
  std::vector<TraceEvent> ev(2);
  ev[0].name = "run \"0\"\\";
  ev[0].startNs = 5001;
  ev[0].durNs = 7;
  ev[0].tid = 1000;
  ev[1].name = "mem_copy_op_3";
  ev[1].cat = "card";
  ev[1].pid = 100;
  ev[1].tid = 1;
  ev[1].startNs = 123456789;
  ev[1].error = 500010;
  const std::vector<TraceLane> lanes = {{1, 0, "qobl-run \"x\""}, {1, 1000, "stream 0 (card 0) input slot 0"}};
  const std::string text = traceJson(ev, lanes);
  const rapidjson::Document doc = tooltest::parseJson(text);
  ASSERT_TRUE(doc.IsObject());
  ASSERT_EQ(4u, doc["traceEvents"].Size());
  const auto& name = doc["traceEvents"][0];
  EXPECT_STREQ("process_name", name["name"].GetString());
  EXPECT_STREQ("M", name["ph"].GetString());
  EXPECT_STREQ("qobl-run \"x\"", name["args"]["name"].GetString());
  EXPECT_STREQ("thread_name", doc["traceEvents"][1]["name"].GetString());
  EXPECT_EQ(1000, doc["traceEvents"][1]["tid"].GetInt());
  EXPECT_STREQ("run \"0\"\\", doc["traceEvents"][2]["name"].GetString());
  // Microseconds with their nanosecond digits, written as numbers.
  EXPECT_NE(std::string::npos, text.find("\"ts\":5.001,\"dur\":0.007")) << text;
  EXPECT_NE(std::string::npos, text.find("\"ts\":123456.789,")) << text;
  EXPECT_EQ(100, doc["traceEvents"][3]["pid"].GetInt());
  EXPECT_EQ(500010u, doc["traceEvents"][3]["args"]["error"].GetUint());
  EXPECT_EQ(0u, traceJson({}, {}).find("{\"displayTimeUnit\""));

  SummaryHeader h;
  RunResult r;
  r.submitted = 8;
  r.completed = 6;
  r.failed = 2;
  r.deviceRuns = 2;
  r.deviceRunsFailed = 1;
  const std::string plain = summaryTable(h, r);
  EXPECT_NE(std::string::npos, plain.find("| errors             | 2 (1 device runs failed)"));
  EXPECT_EQ(std::string::npos, plain.find("verified"));
  h.verify = true;
  r.verified = 6;
  // Without a completed run the latencies are unknown, not 0.
  EXPECT_NE(std::string::npos, plain.find("| latency p50        | - us")) << plain;
  EXPECT_NE(std::string::npos, plain.find("| latency min/max    | - / - us")) << plain;
  rapidjson::Document j = tooltest::parseJson(summaryJson(h, r));
  ASSERT_TRUE(j.IsObject());
  EXPECT_TRUE(j["latency_us"]["p50"].IsNull());
  EXPECT_TRUE(j["latency_us"]["max"].IsNull());
  EXPECT_EQ(6u, j["verified"].GetUint());
  EXPECT_EQ(0.0, j["inferences_per_s"].GetDouble());
  // With latencies, the summary's figures come from them; per card from the card's own window.
  r.latency = us({30, 10, 20});
  r.seconds = 0.5;
  r.perDevice = {{0, 4, 0, 0.5}, {1, 2, 2, 0.25}};
  j = tooltest::parseJson(summaryJson(h, r));
  EXPECT_EQ(20.0, j["latency_us"]["p50"].GetDouble());
  EXPECT_EQ(20.0, j["latency_us"]["mean"].GetDouble());
  EXPECT_EQ(10.0, j["latency_us"]["min"].GetDouble());
  EXPECT_EQ(12.0, j["inferences_per_s"].GetDouble());
  EXPECT_EQ(2u, j["devices"].GetUint());
  EXPECT_EQ(8.0, j["per_device"][1]["inferences_per_s"].GetDouble());
  EXPECT_EQ(4u, j["per_device"][1]["runs"].GetUint());
  EXPECT_NE(std::string::npos, summaryTable(h, r).find("| card 1             | 8.0 inferences/s (2 runs in 250.0 ms)"));
}

// Latency statistics (p95 among them) overall and per stream, in the table and the JSON alike.
TEST(QoblRunPartsTest, LatencyStatisticsPerStreamAndOverall) {
  std::vector<double> v;
  for (int i = 100; i >= 1; --i) v.push_back(i);
  const LatencyStats l = latencyStats(us(v));
  EXPECT_TRUE(l.any);
  EXPECT_EQ(50, l.p50);
  EXPECT_EQ(90, l.p90);
  EXPECT_EQ(95, l.p95);
  EXPECT_EQ(99, l.p99);
  EXPECT_EQ(50.5, l.mean);
  EXPECT_EQ(1, l.min);
  EXPECT_EQ(100, l.max);
  EXPECT_FALSE(latencyStats(Durations()).any);
  const LatencyStats one = latencyStats(us({7}));
  EXPECT_EQ(7, one.p95);
  EXPECT_EQ(7, one.min);

  SummaryHeader h;
  h.batch = h.maxBatch = 4;
  h.warmup = 3;
  RunResult r;
  r.cacheNumber = 4;
  r.submitted = r.completed = 100;
  r.deviceRuns = 25;
  r.seconds = 0.5;
  r.latency = us(v);
  r.perDevice = {{0, 100, 0, 0.5}};
  r.perStream = {{0, 0, 60, 0, 0.4, latencyStats(us({1, 2, 3}))}, {1, 0, 40, 0, 0.25, LatencyStats()}};
  const std::string table = summaryTable(h, r);
  EXPECT_NE(std::string::npos, table.find("| latency p95        | 95.0 us")) << table;
  EXPECT_NE(std::string::npos, table.find("| stream 0 (card 0)  | 150.0 inferences/s (60 runs in 400.0 ms), latency p50 2.0 / "
                                          "p99 3.0 us"))
      << table;
  EXPECT_NE(std::string::npos, table.find("| stream 1 (card 0)  | 160.0 inferences/s (40 runs in 250.0 ms), latency p50 - / "
                                          "p99 - us"))
      << table;
  rapidjson::Document j = tooltest::parseJson(summaryJson(h, r));
  EXPECT_EQ(95.0, j["latency_us"]["p95"].GetDouble());
  EXPECT_EQ(0.5, j["wall_time_s"].GetDouble());
  EXPECT_EQ(200.0, j["inferences_per_s"].GetDouble());
  EXPECT_EQ(25u, j["device_runs"].GetUint());
  EXPECT_EQ(4u, j["inputs_per_device_run"].GetUint());
  EXPECT_EQ(3u, j["warmup_device_runs"].GetUint());
  ASSERT_EQ(2u, j["per_stream"].Size());
  EXPECT_EQ(60u, j["per_stream"][0]["runs"].GetUint());
  EXPECT_EQ(150.0, j["per_stream"][0]["inferences_per_s"].GetDouble());
  EXPECT_EQ(3.0, j["per_stream"][0]["latency_us"]["max"].GetDouble());
  EXPECT_TRUE(j["per_stream"][1]["latency_us"]["p95"].IsNull());
  // One stream: no per-stream rows in the table (the totals are the stream's).
  r.perStream.resize(1);
  EXPECT_EQ(std::string::npos, summaryTable(h, r).find("| stream 0")) << summaryTable(h, r);
  // Nine streams: two rows sum them up, naming the streams at the ends; the JSON keeps each.
  r.perStream.clear();
  for (uint32_t s = 0; s < 9; ++s) {
    const double p99 = s == 4 ? 50 : s == 6 ? 900 : 100 + s;
    r.perStream.push_back({s, 0, 10 * (s == 2 ? 1 : s == 7 ? 5 : 3) + s, 0, 0.1, latencyStats(us({1, p99}))});
  }
  r.perStream[8].latency = LatencyStats();
  auto rows = tooltest::tableRows(summaryTable(h, r));
  EXPECT_EQ(0u, rows.count("stream 0 (card 0)"));
  EXPECT_EQ("inferences/s lowest 120.0 (stream 2), median 340.0, highest 570.0 (stream 7); each stream's figures in "
            "--json",
            rows["9 streams"]);
  EXPECT_EQ("lowest 50.0 us (stream 4), highest 900.0 us (stream 6)", rows["streams' latency p99"]);
  EXPECT_EQ(9u, tooltest::parseJson(summaryJson(h, r))["per_stream"].Size());
}

// Mismatching elements are shown as numbers of their own type, whatever its width.
TEST(QoblRunPartsTest, ElementsShownInTheirType) {
  auto text = [](std::vector<uint8_t> bytes, const char* type) {
    DType t;
    EXPECT_TRUE(parseDType(type, &t)) << type;
    return elementText(bytes.data(), t);
  };
  EXPECT_EQ("-1", text({0xff}, "int8"));
  EXPECT_EQ("255", text({0xff}, "uint8"));
  EXPECT_EQ("-2", text({0xfe, 0xff}, "int16"));
  EXPECT_EQ("16909060", text({0x04, 0x03, 0x02, 0x01}, "int32"));
  EXPECT_EQ("-2147483648", text({0x00, 0x00, 0x00, 0x80}, "int32"));
  EXPECT_EQ("4294967295", text({0xff, 0xff, 0xff, 0xff}, "uint32"));
  EXPECT_EQ("-9223372036854775808", text({0, 0, 0, 0, 0, 0, 0, 0x80}, "int64"));
  EXPECT_EQ("1", text({0x00, 0x3c}, "float16"));
  EXPECT_EQ("-0.5", text({0x00, 0xb8}, "float16"));
  EXPECT_EQ("5.96046448e-08", text({0x01, 0x00}, "float16"));   // the smallest subnormal
  EXPECT_EQ("inf", text({0x00, 0x7c}, "float16"));
  EXPECT_EQ("1.5", text({0xc0, 0x3f}, "bfloat16"));
  EXPECT_EQ("0.25", text({0x00, 0x00, 0x80, 0x3e}, "float32"));
  EXPECT_EQ("0.10000000000000001", text({0x9a, 0x99, 0x99, 0x99, 0x99, 0x99, 0xb9, 0x3f}, "float64"));
  EXPECT_EQ("0x0201", text({0x01, 0x02}, "int8x2"));
  EXPECT_EQ("0x01", text({0x01}, "bool"));
}

// The profile's figures: an op that never completed, and device runs none of which completed, are unknown
// (null, "-"), not 0.  The input op's host times stay out of the shares of card time, and the table says
// whose times they are.
TEST(QoblRunPartsTest, ProfileOfOpsWithoutRunsAndOfTheInputOp) {
  SummaryHeader h;
  RunResult r;
  r.profiled = true;
  r.opCardTimes.resize(3);
  r.opCardTimes[0].name = "input_op_1";
  r.opCardTimes[0].onHost = true;
  r.opCardTimes[0].ns = us({1000, 1000, 1000});
  r.opCardTimes[1].name = "run_model_op_2";
  r.opCardTimes[1].ns = us({30, 10, 20});
  r.opCardTimes[2].name = "mem_copy_op_3";
  rapidjson::Document j = tooltest::parseJson(summaryJson(h, r));
  ASSERT_TRUE(j.IsObject() && j.HasMember("profile"));
  const auto& ops = j["profile"]["ops"];
  ASSERT_EQ(3u, ops.Size());
  EXPECT_FALSE(ops[0]["on_card"].GetBool());
  EXPECT_EQ(0.0, ops[0]["share"].GetDouble());
  EXPECT_EQ(3000.0, ops[0]["total_us"].GetDouble());
  EXPECT_TRUE(ops[1]["on_card"].GetBool());
  EXPECT_EQ(1.0, ops[1]["share"].GetDouble());
  EXPECT_EQ(0u, ops[2]["runs"].GetUint());
  EXPECT_TRUE(ops[2]["mean_us"].IsNull() && ops[2]["total_us"].IsNull());
  EXPECT_EQ(0.0, ops[2]["share"].GetDouble());
  EXPECT_EQ(0u, j["profile"]["device_runs"].GetUint());
  EXPECT_TRUE(j["profile"]["card_run_us"]["p50"].IsNull());
  const std::string table = profileTable(r);
  auto rows = tooltest::tableRows(table);
  EXPECT_EQ("3 |     3.00 |  1000.0 | 1000.0 | 1000.0 | 1000.0 |   host", rows["input_op_1"]) << table;
  EXPECT_EQ(0u, rows["run_model_op_2"].find("3 |     0.06 |    20.0 |")) << rows["run_model_op_2"];
  EXPECT_NE(std::string::npos, rows["run_model_op_2"].find("| 100.0%")) << rows["run_model_op_2"];
  EXPECT_EQ(0u, rows["mem_copy_op_3"].find("0 |        - |       - |")) << rows["mem_copy_op_3"];
  EXPECT_EQ(0u, rows["whole device run"].find("0 |        - |       - |")) << rows["whole device run"];
  EXPECT_NE(std::string::npos, table.find("input_op_1 is not executed by the card; its times are the host's")) << table;
  r.opCardTimes.erase(r.opCardTimes.begin());
  EXPECT_EQ(std::string::npos, profileTable(r).find("not executed by the card"));
  r.profiled = false;
  EXPECT_FALSE(tooltest::parseJson(summaryJson(h, r)).HasMember("profile"));
}

// Random inputs cover every input and keep floating-point values in [-1, 1).  (The same seed gives the same
// inputs, another seed others: the options test.)
TEST(QoblRunPartsTest, RandomInputsAreSeededAndInRange) {
  ModelInfo info;
  info.inputs.resize(3);
  info.inputs[0].bytes = 4000;                  // float32
  info.inputs[1].dtype = DType{2, 16, 1};       // float16
  info.inputs[1].bytes = 2000;
  info.inputs[2].dtype = DType{1, 8, 1};        // uint8
  info.inputs[2].bytes = 1000;
  const std::vector<uint8_t> a = randomInput(info, 3);
  ASSERT_EQ(7000u, a.size());
  for (size_t i = 0; i < 1000; ++i) {
    float f;
    std::memcpy(&f, &a[4 * i], 4);
    ASSERT_TRUE(f >= -1.0f && f < 1.0f) << f;
    uint16_t h;
    std::memcpy(&h, &a[4000 + 2 * i], 2);
    float g = 0;
    ASSERT_EQ(0, qobmFloat16ToFloat32(h, &g));
    ASSERT_TRUE(g >= -1.0f && g <= 1.0f) << g << " from " << h;
  }
  std::set<uint8_t> bytes(a.begin() + 6000, a.end());
  EXPECT_GT(bytes.size(), 200u) << "uint8 input is not random";
}

}  // namespace
