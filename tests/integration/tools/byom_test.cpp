// A model of one's own, end to end: kernels in a shared object (byom/byom_kernels.c), a JSON description
// packaged by qobl-model-gen, described by qobl-info and run and verified by qobl-run - and the
// generator's complaints about descriptions that do not add up.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "tool_test_util.h"

namespace {

using namespace tooltest;

std::string floats(const std::vector<float>& v) {
  std::string s(v.size() * 4, '\0');
  std::memcpy(&s[0], v.data(), s.size());
  return s;
}

// data uint8 [1,4] x w -> scaled [1,4] -> sum [1,1]; the sample's expected outputs computed here.
std::string modelJson(const std::string& paramsFile = "w.bin", const std::string& sumInput = "scaled") {
  return R"({
  "inputs":  [{"name": "data", "shape": [1, 4], "dtype": "uint8"}],
  "params":  [{"name": "w", "shape": [4], "file": ")" + paramsFile + R"("}],
  "nodes":   [{"name": "scaled", "func": "byom_scale", "inputs": ["data", "w"], "shape": [1, 4]},
              {"name": "sum", "func": "byom_sum", "inputs": [")" + sumInput + R"("], "shape": [1, 1]}],
  "outputs": ["scaled", "sum"],
  "hw":      {"max_batch_size": 2},
  "library": ")" + buildDir() + R"(/tests/byom/byom_kernels.so",
  "sample":  {"input": ["x.bin"], "expected": ["scaled.bin", "sum.bin"]}
})";
}

// `json` with the first `from` replaced by `to`.
std::string edited(std::string json, const std::string& from, const std::string& to) {
  const size_t at = json.find(from);
  EXPECT_NE(std::string::npos, at) << from;
  if (at != std::string::npos) json.replace(at, from.size(), to);
  return json;
}

TEST(ByomTest, OwnKernelsPackagedDescribedAndVerified) {
  ScratchDir d;
  d.put("w.bin", floats({0.5f, 2.0f, -1.0f, 0.25f}));
  d.put("x.bin", std::string("\x02\x03\x04\x08", 4));
  d.put("scaled.bin", floats({1.0f, 6.0f, -4.0f, 2.0f}));
  d.put("sum.bin", floats({5.0f}));
  d.put("model.json", modelJson());
  const std::string out = d.file("mine");
  Result r = runProgram("qobl-model-gen", "package " + d.file("model.json") + " " + out);
  ASSERT_EQ(0, r.code) << r.err;

  // qobl-info: the digest of the four files, the uint8 input of 4 bytes, both outputs by name.
  r = runProgram("qobl-info", out + " --json");
  ASSERT_EQ(0, r.code) << r.err;
  const rapidjson::Document j = tooltest::parseJson(r.out);
  ASSERT_TRUE(j.IsObject()) << r.out;
  const auto& m = j["model"];
  EXPECT_EQ(md5sumOf(out + "/model.so " + out + "/graph.json " + out + "/params.bin " + out + "/hw.json"),
            m["name"].GetString());
  EXPECT_EQ(2u, m["max_batch"].GetUint());
  EXPECT_STREQ("uint8", m["inputs"][0]["dtype"].GetString());
  EXPECT_EQ(4u, m["inputs"][0]["bytes"].GetUint64());
  ASSERT_EQ(2u, m["outputs"].Size());
  EXPECT_STREQ("scaled", m["outputs"][0]["name"].GetString());
  EXPECT_STREQ("sum", m["outputs"][1]["name"].GetString());
  EXPECT_EQ(4u, m["outputs"][1]["bytes"].GetUint64());

  // qobl-run: the sample verified, asynchronously and synchronously; random inputs run too.
  r = runProgram("qobl-run", "--model " + out + " --verify --runs 6");
  ASSERT_EQ(0, r.code) << r.out << r.err;
  EXPECT_EQ("6 of 6 match expected_output.bin", tableRows(r.out)["verified"]);
  EXPECT_EQ(0, runProgram("qobl-run", "--model " + out + " --verify --sync --runs 2").code);
  r = runProgram("qobl-run", "--model " + out + " --input random --runs 4 --dump-outputs " + d.file("dump"));
  ASSERT_EQ(0, r.code) << r.err;
  EXPECT_EQ(16u, readText(d.file("dump/run0_output0.bin")).size());
  EXPECT_EQ(4u, readText(d.file("dump/run0_output1.bin")).size());
}

// The normalize stage reads the inputs it converts as float32 values: on a uint8 or float16 input the model
// would compute on garbage (the uint8 model's sample came out as zeros), so qobl-run refuses the stage,
// naming the input and the stages that fit, before anything runs; float32 inputs keep it.
TEST(ByomTest, NormalizeRefusedOnInputsThatAreNotFloat32) {
  ScratchDir d;
  d.put("w.bin", floats({0.5f, 2.0f, -1.0f, 0.25f}));
  d.put("x.bin", std::string("\x02\x03\x04\x08", 4));
  d.put("scaled.bin", floats({1.0f, 6.0f, -4.0f, 2.0f}));
  d.put("sum.bin", floats({5.0f}));
  d.put("h.bin", std::string(16, '\0'));
  d.put("z.bin", std::string(8, '\0'));
  d.put("u8.json", modelJson());
  d.put("f16.json", R"({
  "inputs":  [{"name": "image", "shape": [1, 8], "dtype": "float16"}],
  "nodes":   [{"name": "out", "func": "byom_zero", "inputs": ["image"], "shape": [1, 2]}],
  "outputs": ["out"],
  "library": ")" + buildDir() + R"(/tests/byom/byom_kernels.so",
  "sample":  {"input": ["h.bin"], "expected": ["z.bin"]}
})");
  struct Case {
    std::string model, made, name, held;
  };
  for (const Case& c : {Case{"u8", "uint8", "data", "uint8"}, Case{"f16", "float16", "image", "float16"}}) {
    SCOPED_TRACE(c.model);
    ASSERT_EQ(0, runProgram("qobl-model-gen", "package " + d.file(c.model + ".json") + " " + d.file(c.model)).code);
    for (const char* extra : {"--verify", "--input random --sync"}) {
      const Result r =
          runProgram("qobl-run", "--model " + d.file(c.model) + " --graph input,normalize,model --runs 2 " + extra);
      EXPECT_EQ(2, r.code) << r.out << r.err;
      EXPECT_EQ("", r.out);
      EXPECT_NE(std::string::npos, r.err.find("qobl-run: --graph input,normalize,model: the normalize stage converts "
                                              "float32 values to " + c.made + " for input 0 \"" + c.name +
                                              "\", which holds " + c.held + " already"))
          << r.err;
      EXPECT_NE(std::string::npos, r.err.find("leave normalize out to hand the input to the model as it is: --graph "
                                              "input,model\n"))
          << r.err;
    }
    const Result plain = runProgram("qobl-run", "--model " + d.file(c.model) + " --verify --runs 2");
    EXPECT_EQ(0, plain.code) << plain.out << plain.err;
  }
  // A float32 input with a quantising pre-processing op keeps the stage.
  const Result cls = runProgram("qobl-run", "--model " + modelDir("classifier") + " --graph input,normalize,model --verify --runs 4");
  EXPECT_EQ(0, cls.code) << cls.err;
  EXPECT_EQ("4 of 4 match expected_output.bin", tableRows(cls.out)["verified"]);
}

// Several inputs and outputs of other dtypes, a node taking its inputs out of declaration order, and an
// output that is a model input: the packaged graph wires them as written, and qobl-info and qobl-run
// describe, size and verify every output by its own dtype.
TEST(ByomTest, SeveralDtypesInputsAndOutputs) {
  ScratchDir d;
  d.put("p.bin", std::string(8, '\0'));
  std::string a(12, '\0');
  for (int i = 0; i < 12; ++i) a[i] = static_cast<char>(i * 7);
  d.put("a.bin", a);
  d.put("b.bin", std::string("\x01\x02\x03\xfa", 4));
  d.put("z10.bin", std::string(10, '\0'));
  d.put("z24.bin", std::string(24, '\0'));
  d.put("model.json", R"({
  "inputs":  [{"name": "a", "shape": [2, 3], "dtype": "float16"}, {"name": "b", "shape": [4], "dtype": "int8"}],
  "params":  [{"name": "p", "shape": [2], "dtype": "int32", "file": "p.bin"}],
  "nodes":   [{"name": "n1", "func": "byom_zero", "inputs": ["p", "b", "a"], "shape": [2, 3], "dtype": "int32"},
              {"name": "n2", "func": "byom_zero", "inputs": ["n1", "a"], "shape": [5], "dtype": "float16"}],
  "outputs": ["n2", "n1", "b"],
  "hw":      {"max_batch_size": 3},
  "library": ")" + buildDir() + R"(/tests/byom/byom_kernels.so",
  "sample":  {"input": ["a.bin", "b.bin"], "expected": ["z10.bin", "z24.bin", "b.bin"]}
})");
  const std::string out = d.file("m");
  Result r = runProgram("qobl-model-gen", "package " + d.file("model.json") + " " + out);
  ASSERT_EQ(0, r.code) << r.err;

  const rapidjson::Document g = tooltest::parseJson(readText(out + "/graph.json"));
  ASSERT_TRUE(g.IsObject());
  const auto& n1in = g["nodes"][3]["inputs"];   // p, b, a -> nodes 2, 1, 0
  ASSERT_EQ(3u, n1in.Size());
  EXPECT_EQ(2, n1in[0][0].GetInt());
  EXPECT_EQ(1, n1in[1][0].GetInt());
  EXPECT_EQ(0, n1in[2][0].GetInt());
  EXPECT_EQ(1, g["heads"][2][0].GetInt());

  r = runProgram("qobl-info", out + " --json");
  ASSERT_EQ(0, r.code) << r.err;
  const rapidjson::Document j = tooltest::parseJson(r.out);
  ASSERT_TRUE(j.IsObject()) << r.out;
  const auto& m = j["model"];
  ASSERT_EQ(2u, m["inputs"].Size());
  EXPECT_STREQ("float16", m["inputs"][0]["dtype"].GetString());
  EXPECT_EQ(12u, m["inputs"][0]["bytes"].GetUint64());
  EXPECT_STREQ("int8", m["inputs"][1]["dtype"].GetString());
  ASSERT_EQ(3u, m["outputs"].Size());
  const char* names[] = {"n2", "n1", "b"};
  const char* dtypes[] = {"float16", "int32", "int8"};
  const uint64_t bytes[] = {10, 24, 4};
  for (int i = 0; i < 3; ++i) {
    EXPECT_STREQ(names[i], m["outputs"][i]["name"].GetString());
    EXPECT_STREQ(dtypes[i], m["outputs"][i]["dtype"].GetString());
    EXPECT_EQ(bytes[i], m["outputs"][i]["bytes"].GetUint64());
  }

  r = runProgram("qobl-run", "--model " + out + " --verify --batch 3 --runs 3");
  ASSERT_EQ(0, r.code) << r.out << r.err;
  EXPECT_EQ("3 of 3 match expected_output.bin", tableRows(r.out)["verified"]);
  // The input passed through as an output is compared too: another expected b fails the check.
  d.put("b2.bin", std::string("\x01\x02\x03\xfb", 4));
  d.put("model.json", edited(readText(d.file("model.json")), "\"z24.bin\", \"b.bin\"", "\"z24.bin\", \"b2.bin\""));
  ASSERT_EQ(0, runProgram("qobl-model-gen", "package " + d.file("model.json") + " " + out).code);
  r = runProgram("qobl-run", "--model " + out + " --verify --runs 1");
  EXPECT_EQ(5, r.code);
  EXPECT_NE(std::string::npos, r.err.find("output 2, element 3 (byte 3): got -6, expected -5")) << r.err;
}

TEST(ByomTest, DescriptionsThatDoNotAddUpAreNamed) {
  ScratchDir d;
  d.put("w.bin", floats({1, 2, 3, 4}));
  d.put("short.bin", floats({1, 2, 3}));
  d.put("x.bin", std::string(4, '\1'));
  d.put("scaled.bin", floats({1, 2, 3, 4}));
  d.put("sum.bin", floats({10}));
  struct Case {
    std::string json, message;
  };
  const std::vector<Case> cases = {
      {modelJson("short.bin"), "params[0]: short.bin holds 12 bytes, the shape takes 16"},
      {modelJson("w.bin", "nothing"), "nodes[1]: input \"nothing\" is not defined before it"},
      {modelJson("w.bin", "sum"), "nodes[1]: input \"sum\" is not defined before it"},
      {R"({"inputs": [{"name": "data", "shape": [1, 4], "dtype": "complex64"}]})", "\"complex64\" is not a data type"},
      {R"({"inputs": []})", "\"inputs\" must name at least one input"},
      {R"({"inputs": [{"name": "data", "shape": [1, 4], "dtype": "uint8"}],
           "params": [{"name": "w", "shape": [1], "dtype": "float32x4", "file": "w.bin"}]})",
       "params[0]: \"float32x4\" is a vector type: parameters of vector types are not supported"},
      {"{\"inputs\": [", "not valid JSON"},
      // Misspelt keys are refused, not skipped.
      {edited(modelJson(), "\"params\"", "\"param\""), "unknown key \"param\""},
      {edited(modelJson(), "\"sample\"", "\"smaple\""), "unknown key \"smaple\""},
      {edited(modelJson(), "\"func\": \"byom_sum\", \"inputs\"", "\"func\": \"byom_sum\", \"input\""),
       "nodes[1]: unknown key \"input\""},
      {edited(modelJson(), "\"expected\"", "\"expect\""), "sample: unknown key \"expect\""},
      // Sample files must hold one item of every input and of every output.
      {edited(modelJson(), "[\"x.bin\"]", "[\"w.bin\"]"), "sample.input: the files hold 16 bytes, one item of the inputs takes 4"},
      {edited(modelJson(), "\"sum.bin\"]", "\"sum.bin\", \"sum.bin\"]"),
       "sample.expected: the files hold 24 bytes, one item of the outputs takes 20"},
      // A hand-written hardware configuration: misspelt keys and layouts for outputs that do not exist.
      {edited(modelJson(), "max_batch_size", "max_batch_sise"), "hw: unknown key \"max_batch_sise\""},
      {edited(modelJson(), "\"max_batch_size\": 2", "\"outputs\": [null, null, {\"core_shapes\": [[4]]}]"),
       "hw.outputs: 3 core layouts for 2 outputs"},
      // What the card would refuse when loading the model: core shapes too small for their output, values
      // out of range.
      {edited(modelJson(), "\"max_batch_size\": 2", "\"outputs\": [{\"core_shapes\": [[1, 2]]}]"),
       "hw.outputs[0]: core shapes hold fewer elements than the output (the output is float32 [1, 4])"},
      {edited(modelJson(), "\"max_batch_size\": 2", "\"outputs\": [null, {\"core_shapes\": [[2, 8]]}]"),
       "hw.outputs[1]: two-dimensional core shapes must start with 1 (the output is float32 [1, 1])"},
      {edited(modelJson(), "\"max_batch_size\": 2", "\"max_batch_size\": 0"),
       "hw: hardware configuration: \"max_batch_size\" must be an integer from 1"},
      {edited(modelJson(), "byom_kernels.so", "no_such_kernels.so"), "library: cannot read"},
      // The library is opened and every node's function looked up before anything is written.
      {edited(modelJson(), "\"byom_sum\"", "\"byom_summ\""), "nodes[1]: the library"},
      {edited(modelJson(), "\"byom_sum\"", "\"byom_summ\""), "exports no function \"byom_summ\""},
      {edited(modelJson(), buildDir() + "/tests/byom/byom_kernels.so", "x.bin"), "x.bin cannot be loaded"},
      {edited(modelJson(), "\"name\": \"w\"", "\"name\": \"data\""), "params[0]: the name \"data\" is used twice"},
      {edited(modelJson(), "[\"x.bin\"]", "[\"nothing.bin\"]"), "sample.input: cannot read"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    d.put("bad.json", c.json);
    std::filesystem::remove_all(d.file("out"));
    const Result r = runProgram("qobl-model-gen", "package " + d.file("bad.json") + " " + d.file("out"));
    EXPECT_EQ(1, r.code);
    EXPECT_NE(std::string::npos, r.err.find(c.message)) << r.err;
    // Nothing is written for a description at fault.
    EXPECT_FALSE(std::ifstream(d.file("out/graph.json")).good());
  }

  // Packaged again without "hw" and "sample", the directory keeps no stale configuration or sample.
  d.put("good.json", modelJson());
  ASSERT_EQ(0, runProgram("qobl-model-gen", "package " + d.file("good.json") + " " + d.file("out")).code);
  EXPECT_TRUE(std::ifstream(d.file("out/hw.json")).good());
  d.put("good.json", edited(edited(modelJson(), "\"hw\":      {\"max_batch_size\": 2},", ""),
                            ",\n  \"sample\":  {\"input\": [\"x.bin\"], \"expected\": [\"scaled.bin\", \"sum.bin\"]}", ""));
  const Result again = runProgram("qobl-model-gen", "package " + d.file("good.json") + " " + d.file("out"));
  ASSERT_EQ(0, again.code) << again.err;
  for (const char* f : {"hw.json", "sample_input.bin", "expected_output.bin"})
    EXPECT_FALSE(std::ifstream(d.file(std::string("out/") + f)).good()) << f;
  EXPECT_TRUE(std::ifstream(d.file("out/model.so")).good());
  EXPECT_EQ(2, runProgram("qobl-model-gen", "package " + d.file("bad.json")).code);
  EXPECT_EQ(2, runProgram("qobl-model-gen", "").code);
  // An empty OUT_DIR is refused rather than taken for the current directory.
  const Result emptyOut = runProgram("qobl-model-gen", "package " + d.file("good.json") + " ''");
  EXPECT_EQ(2, emptyOut.code);
  EXPECT_EQ("qobl-model-gen: OUT_DIR is empty: give a path (see --help)\n", emptyOut.err);
  EXPECT_EQ(2, runProgram("qobl-model-gen", "package '' " + d.file("out")).code);
  const Result help = runProgram("qobl-model-gen", "--help");
  EXPECT_EQ(0, help.code);
  EXPECT_NE(std::string::npos, help.out.find("Usage: qobl-model-gen [OPTIONS] SUBCOMMAND"));
}

}  // namespace
