// qobl-run's command line, model-directory inspection, percentiles and output formats, without the card.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <fstream>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "inputs.h"
#include "options.h"
#include "qobl_tools/model_dir.h"
#include "report.h"
#include "tool_test_util.h"

namespace {

using namespace zenlar::qoblrun;
using namespace zenlar::qobltools;

TEST(QoblRunPartsTest, PercentilesUseTheNearestRank) {
  std::vector<double> v;
  for (int i = 100; i >= 1; --i) v.push_back(i);   // unsorted on purpose
  EXPECT_EQ(50, percentile(v, 50));
  EXPECT_EQ(90, percentile(v, 90));
  EXPECT_EQ(99, percentile(v, 99));
  EXPECT_EQ(100, percentile(v, 100));
  EXPECT_EQ(1, percentile(v, 0));
  EXPECT_EQ(7, percentile({7}, 99));
  EXPECT_EQ(3, percentile({5, 3}, 50));   // rank ceil(0.5 * 2) = 1
  EXPECT_EQ(5, percentile({5, 3}, 51));
  EXPECT_EQ(0, percentile({}, 50));
  EXPECT_EQ("812 B", bytesText(812));
  EXPECT_EQ("4.0 KiB", bytesText(4096));
  EXPECT_EQ("1.50 MiB", bytesText(3 * 512 * 1024));
}

TEST(QoblRunPartsTest, PipelinesAndNumbersOnTheCommandLine) {
  std::vector<Stage> s;
  std::string err;
  for (const char* ok : {"input,model", "input,normalize,model", "input,model,copy", "input,normalize,model,copy"})
    EXPECT_TRUE(parseStages(ok, &s, &err)) << ok;
  EXPECT_EQ((std::vector<Stage>{Stage::kInput, Stage::kNormalize, Stage::kModel, Stage::kCopy}), s);
  for (const char* bad : {"", "input", "model", "input,copy", "input,model,normalize", "input,model,model",
                          "input,input,model", "input,model,copy,copy", "input,,model"}) {
    EXPECT_FALSE(parseStages(bad, &s, &err)) << bad;
  }
  EXPECT_FALSE(parseStages("input,resize", &s, &err));
  EXPECT_NE(std::string::npos, err.find("unknown stage \"resize\""));

  Options o;
  const char* full[] = {"qobl-run", "--model", "m", "--streams", "3", "--runs", "10", "--batch", "2", "--sync",
                        "--verify", "--dot", "g.dot", "--trace", "t.json", "--shape", "8x8", "--timeout", "5"};
  ASSERT_TRUE(parseOptions(19, full, &o, &err)) << err;
  EXPECT_EQ((std::vector<std::string>{"m", "g.dot", "t.json", "8x8"}),
            (std::vector<std::string>{o.modelDir, o.dotFile, o.traceFile, o.shape}));
  EXPECT_EQ((std::vector<uint64_t>{3, 10, 2, 5, 1, 1}),
            (std::vector<uint64_t>{o.streams, o.runs, o.batch, o.timeoutMs, o.sync, o.verify}));
  // The newer options, as --opt=value too.
  const char* more[] = {"qobl-run", "--input=random", "--seed=9", "--devices=3", "--warmup", "2", "--duration=1.5",
                        "--dump-outputs", "out", "--dump-count=4", "--json", "s.json", "--log-level=debug"};
  ASSERT_TRUE(parseOptions(13, more, &o, &err)) << err;
  EXPECT_EQ(InputKind::kRandom, o.input);
  EXPECT_EQ((std::vector<uint32_t>{0, 1, 2}), o.devices);
  EXPECT_EQ((std::vector<uint64_t>{9, 2, 4, 1}), (std::vector<uint64_t>{o.seed, o.warmup, o.dumpCount, qobmLL_DEBUG}));
  EXPECT_EQ(1.5, o.duration);
  EXPECT_EQ((std::vector<std::string>{"out", "s.json"}), (std::vector<std::string>{o.dumpDir, o.jsonFile}));
  EXPECT_FALSE(o.streamsGiven || o.runsGiven);
  const char* files[] = {"qobl-run", "--input", "a.bin,b.bin", "--device", "5"};
  ASSERT_TRUE(parseOptions(5, files, &o, &err)) << err;
  EXPECT_EQ(InputKind::kFiles, o.input);
  EXPECT_EQ((std::vector<std::string>{"a.bin", "b.bin"}), o.inputFiles);
  EXPECT_EQ((std::vector<uint32_t>{5}), o.devices);
  for (std::vector<const char*> bad : std::vector<std::vector<const char*>>{
           {"qobl-run", "--streams", "0"}, {"qobl-run", "--streams", "-1"}, {"qobl-run", "--runs", "12x"},
           {"qobl-run", "--runs", "99999999999999999999"}, {"qobl-run", "--batch"}, {"qobl-run", "extra"},
           {"qobl-run", "--devices", "17"}, {"qobl-run", "--duration", "0"}, {"qobl-run", "--shape", "24"},
           {"qobl-run", "--input", ","}, {"qobl-run", "--seed", "x"}}) {
    EXPECT_FALSE(parseOptions(static_cast<int>(bad.size()), bad.data(), &o, &err)) << bad[1];
  }
}

using tooltest::ScratchDir;

TEST(QoblRunPartsTest, DynamicSuitesPickTheirSample) {
  ScratchDir d;
  d.put("suite.json",
        "{\"module_name\": \"m\", \"module_num\": 1, \"shape_ranges\": \"[[[[1,3,4,4],[1,3,32,32]]]]\","
        " \"shared_params\": \"[]\", \"m0\": [\"a/model.so\", \"a/params.bin\", \"a/graph.json\"]}");
  ModelDir m;
  Sample smp;
  // A member file the suite names is missing: the message names it and the member.
  std::string err = openModelDir(d.dir(), &m);
  EXPECT_NE(std::string::npos, err.find("/a/model.so (named by member \"m0\" of suite.json)")) << err;
  d.put("a/model.so", "\x7f" "ELF");
  d.put("a/params.bin", "p");
  d.put("a/graph.json", "{}");
  ASSERT_EQ("", openModelDir(d.dir(), &m));
  EXPECT_TRUE(m.dynamic);
  EXPECT_NE(std::string::npos, findSample(m, "", false, &smp).find("no samples/<H>x<W>/"));
  // The default sample is the smallest by area, not the first by name ("16x16" sorts before "8x8").
  for (const char* s : {"16x16", "8x8", "12x4"}) d.put(std::string("samples/") + s + "/sample_input.bin", "x");
  ASSERT_EQ("", findSample(m, "", false, &smp));
  EXPECT_EQ(12, smp.height);
  EXPECT_EQ(4, smp.width);
  EXPECT_EQ((std::vector<std::vector<int64_t>>{{1, 3, 12, 4}}), m.inputShapesAt(smp.height, smp.width));
  ASSERT_EQ("", findSample(m, "16x16", false, &smp));
  EXPECT_EQ(16, smp.height);
  EXPECT_TRUE(smp.expected.empty());
  err = findSample(m, "16x16", true, &smp);
  EXPECT_NE(std::string::npos, err.find("expected_output.bin: No such file or directory (needed by --verify)"));
  EXPECT_NE(std::string::npos, findSample(m, "16by16", false, &smp).find("not of the form HxW"));
  // A malformed hardware configuration is named before anything is loaded.
  d.put("hw.json", "{\"max_batch_size\": }");
  err = openModelDir(d.dir(), &m);
  EXPECT_NE(std::string::npos, err.find("/hw.json: not valid JSON (offset 19")) << err;
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
  rapidjson::Document doc;
  doc.Parse(text.c_str());
  ASSERT_FALSE(doc.HasParseError());
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
  rapidjson::Document j;
  j.Parse(summaryJson(h, r).c_str());
  ASSERT_FALSE(j.HasParseError());
  EXPECT_TRUE(j["latency_us"]["p50"].IsNull());
  EXPECT_TRUE(j["latency_us"]["max"].IsNull());
  EXPECT_EQ(6u, j["verified"].GetUint());
  EXPECT_EQ(0.0, j["inferences_per_s"].GetDouble());
  // With latencies, the summary's figures come from them; per card from the card's own window.
  r.latenciesUs = {30, 10, 20};
  r.seconds = 0.5;
  r.perDevice = {{0, 4, 0, 0.5}, {1, 2, 2, 0.25}};
  j.Parse(summaryJson(h, r).c_str());
  EXPECT_EQ(20.0, j["latency_us"]["p50"].GetDouble());
  EXPECT_EQ(20.0, j["latency_us"]["mean"].GetDouble());
  EXPECT_EQ(10.0, j["latency_us"]["min"].GetDouble());
  EXPECT_EQ(12.0, j["inferences_per_s"].GetDouble());
  EXPECT_EQ(2u, j["devices"].GetUint());
  EXPECT_EQ(8.0, j["per_device"][1]["inferences_per_s"].GetDouble());
  EXPECT_EQ(4u, j["per_device"][1]["runs"].GetUint());
  EXPECT_NE(std::string::npos, summaryTable(h, r).find("| card 1             | 8.0 inferences/s (2 runs in 250.0 ms)"));
}

// Random inputs are seeded, cover every input and keep floating-point values in [-1, 1).
TEST(QoblRunPartsTest, RandomInputsAreSeededAndInRange) {
  ModelInfo info;
  info.inputs.resize(3);
  info.inputs[0].bytes = 4000;                  // float32
  info.inputs[1].dtype = DType{2, 16, 1};       // float16
  info.inputs[1].bytes = 2000;
  info.inputs[2].dtype = DType{1, 8, 1};        // uint8
  info.inputs[2].bytes = 1000;
  const std::vector<uint8_t> a = randomInput(info, 3), b = randomInput(info, 3), c = randomInput(info, 4);
  ASSERT_EQ(7000u, a.size());
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
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
