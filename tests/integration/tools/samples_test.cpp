// The C samples on the demo models: they succeed on the card's results, and fail when those results
// differ from the model's expected output.  pair has two inputs and two outputs, each input in its own
// buffer; only the right input in the right buffer, and both outputs checked, make its runs pass.
#include <gtest/gtest.h>

#include "tool_test_util.h"

namespace {

using namespace tooltest;

TEST(SamplesTest, SucceedOnTheDemoModels) {
  Result r = runProgram("sync_classify", modelDir("classifier"));
  EXPECT_EQ(0, r.code) << r.out << r.err;
  EXPECT_NE(std::string::npos, r.out.find("predicted class 6; matches expected_output.bin")) << r.out;
  r = runProgram("sync_classify", modelDir("pair"));
  EXPECT_EQ(0, r.code) << r.out << r.err;
  EXPECT_NE(std::string::npos, r.out.find("output 1 (12 bytes): as expected")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("2 inputs, 2 outputs; matches expected_output.bin")) << r.out;
  for (const char* model : {"classifier", "segmenter", "pair"}) {
    r = runProgram("async_pipeline", modelDir(model));
    EXPECT_EQ(0, r.code) << model << "\n" << r.out << r.err;
    EXPECT_NE(std::string::npos, r.out.find("8 of 8 outputs as expected, 0 wrong")) << r.out;
  }
}

TEST(SamplesTest, FailOnAWrongResult) {
  ModelCopy classifier("classifier"), segmenter("segmenter"), pair("pair");
  for (const ModelCopy* m : {&classifier, &segmenter}) {
    std::string exp = readText(m->file("expected_output.bin"));
    exp[0] = static_cast<char>(exp[0] ^ 1);
    m->put("expected_output.bin", exp);
  }
  Result r = runProgram("sync_classify", classifier.dir());
  EXPECT_EQ(1, r.code) << r.out << r.err;
  EXPECT_NE(std::string::npos, r.out.find("DIFFERS from expected_output.bin"));
  r = runProgram("async_pipeline", segmenter.dir());
  EXPECT_EQ(1, r.code) << r.out << r.err;
  EXPECT_NE(std::string::npos, r.out.find("0 of 8 outputs as expected, 8 wrong")) << r.out;

  // pair: a wrong last value of the second output fails both samples, and so do the two inputs swapped
  // in sample_input.bin (the files keep their sizes: only the order of the tensors is wrong).
  const std::string expected = readText(pair.file("expected_output.bin"));
  const std::string sample = readText(pair.file("sample_input.bin"));
  std::string exp = expected;
  exp.back() = static_cast<char>(exp.back() ^ 1);
  pair.put("expected_output.bin", exp);
  r = runProgram("sync_classify", pair.dir());
  EXPECT_EQ(1, r.code) << r.out << r.err;
  EXPECT_NE(std::string::npos, r.out.find("output 0 (1024 bytes): as expected")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("output 1 (12 bytes): DIFFERS")) << r.out;
  r = runProgram("async_pipeline", pair.dir());
  EXPECT_EQ(1, r.code) << r.out << r.err;
  EXPECT_NE(std::string::npos, r.out.find("0 of 8 outputs as expected, 8 wrong")) << r.out;
  pair.put("expected_output.bin", expected);
  const size_t dataBytes = 4 * 8 * 8 * 4;
  pair.put("sample_input.bin", sample.substr(dataBytes) + sample.substr(0, dataBytes));
  for (const char* sampleProgram : {"sync_classify", "async_pipeline"}) {
    r = runProgram(sampleProgram, pair.dir());
    EXPECT_EQ(1, r.code) << sampleProgram << "\n" << r.out << r.err;
  }
  // Samples that do not fit the model are refused before anything runs.
  pair.put("sample_input.bin", sample.substr(4));
  for (const char* sampleProgram : {"sync_classify", "async_pipeline"}) {
    r = runProgram(sampleProgram, pair.dir());
    EXPECT_EQ(1, r.code) << sampleProgram;
    EXPECT_NE(std::string::npos, r.err.find("the samples do not fit the model")) << sampleProgram << "\n" << r.err;
  }

  // Usage errors and unreadable samples.
  EXPECT_EQ(2, runProgram("sync_classify", "").code);
  EXPECT_EQ(1, runProgram("async_pipeline", "/nonexistent").code);
}

}  // namespace
