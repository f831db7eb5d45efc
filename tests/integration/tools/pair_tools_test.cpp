// qobl-info and qobl-run on the demo model with two inputs of different shapes and two outputs (pair): both
// inputs and outputs listed, the sample verified through every pipeline at several batch sizes, each input
// from its own file, both outputs dumped, and input files that do not fit named by the input they were
// given for.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "tool_test_util.h"

namespace {

using namespace tooltest;

constexpr size_t kDataBytes = 1024, kScaleBytes = 16, kScaledBytes = 1024, kSummaryBytes = 12;

TEST(PairToolsTest, QoblInfoListsBothInputsAndOutputs) {
  const std::string dir = modelDir("pair");
  Result r = runProgram("qobl-info", dir);
  ASSERT_EQ(0, r.code) << r.err;
  // One row per tensor, in index order, the columns aligned.
  for (const char* piece : {"inputs:\n  0  data   [1,4,8,8]  float32  1024 bytes  plain\n"
                            "  1  scale  [1,4]      float32  16 bytes    plain\n",
                            "outputs:\n  0  scale_add   [1,4,8,8]  float32  1024 bytes  plain\n"
                            "  1  mean_dense  [1,3]      float32  12 bytes    plain\n",
                            "largest batch: 4\n"})
    EXPECT_NE(std::string::npos, r.out.find(piece)) << piece << "\n" << r.out;

  r = runProgram("qobl-info", dir + " --json");
  ASSERT_EQ(0, r.code) << r.err;
  const rapidjson::Document j = parseJson(r.out);
  const auto& m = j["model"];
  ASSERT_EQ(2u, m["inputs"].Size());
  ASSERT_EQ(2u, m["outputs"].Size());
  const char* names[2][2] = {{"data", "scale"}, {"scale_add", "mean_dense"}};
  const std::vector<std::vector<int64_t>> shapes[2] = {{{1, 4, 8, 8}, {1, 4}}, {{1, 4, 8, 8}, {1, 3}}};
  const uint64_t bytes[2][2] = {{kDataBytes, kScaleBytes}, {kScaledBytes, kSummaryBytes}};
  for (int io = 0; io < 2; ++io) {
    const auto& list = m[io == 0 ? "inputs" : "outputs"];
    for (rapidjson::SizeType i = 0; i < 2; ++i) {
      SCOPED_TRACE(std::string(io == 0 ? "input " : "output ") + std::to_string(i));
      const auto& t = list[i];
      EXPECT_EQ(i, t["index"].GetUint());
      EXPECT_STREQ(names[io][i], t["name"].GetString());
      std::vector<int64_t> shape;
      for (const auto& d : t["shape"].GetArray()) shape.push_back(d.GetInt64());
      EXPECT_EQ(shapes[io][i], shape);
      EXPECT_EQ(bytes[io][i], t["bytes"].GetUint64());
    }
  }
}

TEST(PairToolsTest, QoblRunVerifiesTheSampleThroughEveryPipeline) {
  const std::string model = " --model " + modelDir("pair");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"--runs 16", "16"}, {"--runs 12 --batch 1 --streams 2", "12"}, {"--sync --runs 8 --batch 2", "8"},
      {"--graph input,model,copy --runs 8 --batch 4", "8"}, {"--graph input,normalize,model --runs 8", "8"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    const Result r = runProgram("qobl-run", "--verify " + c.first + model);
    ASSERT_EQ(0, r.code) << r.out << r.err;
    auto rows = tableRows(r.out);
    EXPECT_EQ(c.second + " of " + c.second + " match expected_output.bin", rows["verified"]);
    EXPECT_EQ("0", rows["errors"]);
  }
}

// Each input from its own file, in the model's input order: the sample split in two reproduces the
// expected outputs, dumped one file per output; other inputs give other outputs of the same sizes; files
// given in the wrong order, or too short, are refused naming the input.
TEST(PairToolsTest, QoblRunTakesOneFilePerInputAndDumpsBothOutputs) {
  ScratchDir d;
  const std::string dir = modelDir("pair");
  const std::string sample = readText(dir + "/sample_input.bin"), expected = readText(dir + "/expected_output.bin");
  ASSERT_EQ(kDataBytes + kScaleBytes, sample.size());
  const std::string data = d.put("data.bin", sample.substr(0, kDataBytes));
  const std::string scale = d.put("scale.bin", sample.substr(kDataBytes));
  std::string rotated = sample.substr(kDataBytes);
  std::memcpy(&rotated[0], &sample[kDataBytes + 4], kScaleBytes - 4);
  std::memcpy(&rotated[kScaleBytes - 4], &sample[kDataBytes], 4);
  const std::string other = d.put("other.bin", rotated);

  Result r = runProgram("qobl-run", "--model " + dir + " --input " + data + "," + scale + " --runs 6 --batch 4" +
                                        " --dump-outputs " + d.file("sample") + " --dump-count 6");
  ASSERT_EQ(0, r.code) << r.out << r.err;
  for (int run = 0; run < 6; ++run) {
    const std::string stem = d.file("sample/run" + std::to_string(run));
    EXPECT_EQ(expected.substr(0, kScaledBytes), readText(stem + "_output0.bin")) << run;
    EXPECT_EQ(expected.substr(kScaledBytes), readText(stem + "_output1.bin")) << run;
  }
  EXPECT_FALSE(std::filesystem::exists(d.file("sample/run0_output2.bin")));

  r = runProgram("qobl-run", "--sync --model " + dir + " --input " + data + "," + other + " --runs 1 --dump-outputs " +
                                 d.file("other"));
  ASSERT_EQ(0, r.code) << r.out << r.err;
  const std::string out0 = readText(d.file("other/run0_output0.bin")), out1 = readText(d.file("other/run0_output1.bin"));
  EXPECT_EQ(kScaledBytes, out0.size());
  EXPECT_EQ(kSummaryBytes, out1.size());
  EXPECT_NE(expected.substr(0, kScaledBytes), out0);
  EXPECT_NE(expected.substr(kScaledBytes), out1);

  const std::string shortScale = d.put("short.bin", sample.substr(kDataBytes, 12));
  for (const auto& c : std::vector<std::pair<std::string, std::string>>{
           {scale + "," + data, "holds 16 bytes, input 0 \"data\" [1,4,8,8] float32, 1024 bytes"},
           {data + "," + shortScale, "holds 12 bytes, input 1 \"scale\" [1,4] float32, 16 bytes"},
           {data, "names 1 file(s), the model takes 2 input(s)"},
           {data + "," + d.file("missing.bin"), "No such file or directory (input 1 \"scale\" [1,4] float32"}}) {
    r = runProgram("qobl-run", "--model " + dir + " --input " + c.first + " --runs 1");
    EXPECT_EQ(2, r.code) << c.first;
    EXPECT_NE(std::string::npos, r.err.find(c.second)) << r.err;
  }
}

}  // namespace
