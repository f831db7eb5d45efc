// The C samples on the demo models: they succeed on the card's results, and fail when those results
// differ from the model's expected output.
#include <gtest/gtest.h>

#include "tool_test_util.h"

namespace {

using namespace tooltest;

TEST(SamplesTest, SucceedOnTheDemoModels) {
  Result r = runProgram("sync_classify", modelDir("classifier"));
  EXPECT_EQ(0, r.code) << r.out << r.err;
  EXPECT_NE(std::string::npos, r.out.find("predicted class 6; matches expected_output.bin")) << r.out;
  for (const char* model : {"classifier", "segmenter"}) {
    r = runProgram("async_pipeline", modelDir(model));
    EXPECT_EQ(0, r.code) << model << "\n" << r.out << r.err;
    EXPECT_NE(std::string::npos, r.out.find("8 of 8 outputs as expected, 0 wrong")) << r.out;
  }
}

TEST(SamplesTest, FailOnAWrongResult) {
  ModelCopy classifier("classifier"), segmenter("segmenter");
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
  // Usage errors and unreadable samples.
  EXPECT_EQ(2, runProgram("sync_classify", "").code);
  EXPECT_EQ(1, runProgram("async_pipeline", "/nonexistent").code);
}

}  // namespace
