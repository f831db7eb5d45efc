// Dynamic model API: suite configuration files and their rejections, member lookup and paths, the suite
// digest as the model's name on the card, and the shape functions on the demo suite.
#include <gtest/gtest.h>
#include <qobcrt/qobcrt.h>
#include <qobcrt/qobcrt_sim.h>
#include <qobm/qobm.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "i_model.h"
#include "md5.h"
#include "qobl_api.h"
#include "qobl_api_impl.h"

namespace {

std::string buildDir() {
  const char* dir = std::getenv("QOBL_BUILD_DIR");
  return dir != nullptr ? dir : ".";
}
std::string demoDir(const std::string& name) { return buildDir() + "/models/" + name + "/"; }

std::string readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A scratch directory with the demo suite's members linked in as member0/ and member1/; everything made
// in it is removed at the end.
class SuiteDir {
 public:
  SuiteDir() {
    char templ[] = "/tmp/qobl_dynamic_api_XXXXXX";
    const char* made = mkdtemp(templ);
    dir_ = made != nullptr ? std::string(made) + "/" : std::string();
    for (const char* m : {"member0", "member1"}) {
      EXPECT_EQ(0, ::symlink((demoDir("dynamic") + m).c_str(), (dir_ + m).c_str()));
      made_.push_back(dir_ + m);
    }
  }
  ~SuiteDir() {
    for (auto it = made_.rbegin(); it != made_.rend(); ++it) ::unlink(it->c_str());
    ::rmdir(dir_.c_str());
  }
  std::string write(const std::string& name, const std::string& text) {
    const std::string path = dir_ + name;
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    made_.push_back(path);
    return path;
  }
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
  std::vector<std::string> made_;
};

// ERROR lines of the library's channel while alive.
class ErrorLog {
 public:
  ErrorLog() { qobmSetLogSink(&ErrorLog::sink, this); }
  ~ErrorLog() { qobmSetLogSink(nullptr, nullptr); }
  std::vector<std::string> take() {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<std::string> out;
    out.swap(lines_);
    return out;
  }

 private:
  static void sink(uint32_t channel, uint32_t level, const char*, const char*, uint32_t, const char* text,
                   void* user) {
    if (channel != qobmLC_CL || level != qobmLL_ERROR) return;
    auto* self = static_cast<ErrorLog*>(user);
    std::lock_guard<std::mutex> lock(self->mu_);
    self->lines_.push_back(text != nullptr ? text : "");
  }
  std::mutex mu_;
  std::vector<std::string> lines_;
};

const char* kRanges = "[[[[1,3,4,4],[1,3,16,16]]],[[[1,3,17,17],[1,3,32,32]]]]";

// A suite configuration text over the linked members; `prefix` names the keys, `extra` is spliced in.
std::string suiteText(const std::string& prefix = "member", const std::string& extra = "") {
  return std::string("{\"module_name\": \"") + prefix + "\", \"module_num\": 2, \"shape_ranges\": \"" +
         "[[[[1,3,4,4],[1,3,16,16]]],[[[1,3,17,17],[1,3,32,32]]]]" + "\", \"shared_params\": \"[]\", \"" +
         prefix + "0\": [\"member0/model.so\", \"member0/params.bin\", \"member0/graph.json\"], \"" + prefix +
         "1\": [\"member1/model.so\", \"member1/params.bin\", \"member1/graph.json\"]" + extra + "}";
}

// The model's name computed from the files: per member MD5(lib + graph + params) in hex, joined, with the
// hardware configuration's MD5 appended when given; the name is the MD5 of that text.
std::string expectedDigest(const std::string& hwPath) {
  std::string joined;
  for (const char* m : {"member0/", "member1/"}) {
    const std::string d = demoDir("dynamic") + m;
    const std::string bytes = readBytes(d + "model.so") + readBytes(d + "graph.json") + readBytes(d + "params.bin");
    joined += zenlar::qobl::MD5(bytes).hexdigest();
  }
  if (!hwPath.empty()) joined += zenlar::qobl::MD5(readBytes(hwPath)).hexdigest();
  EXPECT_EQ(32u * (hwPath.empty() ? 2 : 3), joined.size());
  return zenlar::qobl::MD5(joined).hexdigest();
}

qobmShape image(int64_t h, int64_t w) {
  qobmShape s{};
  s.ndims = 4;
  s.shapes[0] = 1;
  s.shapes[1] = 3;
  s.shapes[2] = h;
  s.shapes[3] = w;
  return s;
}

// True when the card has a module node of that name, at the address the model reports.
bool cardNodeIs(const std::string& name, qoblModel* model) {
  uint64_t cardAddr = 0, modelAddr = 0;
  if (qobcrt_model_addr(0, name.c_str(), &cardAddr) != 0) return false;
  return model->ptr_->getModelAddress(modelAddr) && modelAddr == cardAddr;
}

uint64_t liveStreamBlocks() {
  qobcrt_sim_stats s{};
  EXPECT_EQ(0, qobcrt_sim_get_stats(0, &s));
  return s.live_blocks[QOBCRT_SIM_STREAM];
}

class DynamicApiTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0, qobmSetDevice(0)); }
};

}  // namespace

// Every configuration or file fault ends in 301006 with its message and leaves the caller's pointer null.
TEST_F(DynamicApiTest, ConfigurationFaultsAreRejectedWithTheirMessages) {
  SuiteDir dir;
  const std::string hw = demoDir("dynamic") + "hw.json";
  const std::string members =
      "\"member0\": [\"member0/model.so\", \"member0/params.bin\", \"member0/graph.json\"], "
      "\"member1\": [\"member1/model.so\", \"member1/params.bin\", \"member1/graph.json\"]";
  struct Case {
    std::string what, config, message;
    bool prefixOnly;  // the message is ours, only its start is fixed
  };
  const std::string head = std::string("\"shape_ranges\": \"") + kRanges + "\", \"shared_params\": \"\", ";
  const std::vector<Case> cases = {
      {"not JSON", "{\"module_name\": ", "Failed to create Model: config file ", true},
      {"not an object", "[1, 2]", "Failed to create Model: config file ", true},
      {"no module_name", "{\"module_num\": 2, " + head + members + "}",
       "Failed to create Model: config module_name should exist and must be string.\n", false},
      {"module_name checked first", "{\"module_name\": 7}",
       "Failed to create Model: config module_name should exist and must be string.\n", false},
      {"module_num text", "{\"module_name\": \"member\", \"module_num\": \"2\", " + head + members + "}",
       "Failed to create Model: config module_num should exist and must be int.\n", false},
      {"module_num 2.0", "{\"module_name\": \"member\", \"module_num\": 2.0, " + head + members + "}",
       "Failed to create Model: config module_num should exist and must be int.\n", false},
      {"no shape_ranges", "{\"module_name\": \"member\", \"module_num\": 2, \"shared_params\": \"\"}",
       "Failed to create Model: config shape_ranges should exist and must be string.\n", false},
      {"shape_ranges as JSON", "{\"module_name\": \"member\", \"module_num\": 2, \"shape_ranges\": [], "
                               "\"shared_params\": \"\"}",
       "Failed to create Model: config shape_ranges should exist and must be string.\n", false},
      {"shared_params as JSON", "{\"module_name\": \"member\", \"module_num\": 2, \"shape_ranges\": \"[]\", "
                                "\"shared_params\": []}",
       "Failed to create Model: config shared_params should exist and must be string.\n", false},
      {"member missing", "{\"module_name\": \"member\", \"module_num\": 3, " + head + members + "}",
       "Failed to create Model: config member member2 ", true},
      {"member not an array",
       "{\"module_name\": \"member\", \"module_num\": 1, " + head + "\"member0\": \"member0/model.so\"}",
       "Failed to create Model: config member member0 ", true},
      {"member of two strings",
       "{\"module_name\": \"member\", \"module_num\": 1, " + head +
           "\"member0\": [\"member0/model.so\", \"member0/params.bin\"]}",
       "Failed to create Model: config member member0 ", true},
      {"member with a number",
       "{\"module_name\": \"member\", \"module_num\": 1, " + head +
           "\"member0\": [\"member0/model.so\", \"member0/params.bin\", 3]}",
       "Failed to create Model: config member member0 ", true},
      // Files: the graph is read first, then the parameters, then the library.
      {"graph missing",
       "{\"module_name\": \"member\", \"module_num\": 1, " + head +
           "\"member0\": [\"nolib.so\", \"noparams.bin\", \"nograph.json\"]}",
       "Can't find input model's graph file: " + dir.dir() + "nograph.json\n", false},
      {"params missing",
       "{\"module_name\": \"member\", \"module_num\": 1, " + head +
           "\"member0\": [\"nolib.so\", \"noparams.bin\", \"member0/graph.json\"]}",
       "Can't find input model's params file: " + dir.dir() + "noparams.bin\n", false},
      {"lib missing in the second member",
       "{\"module_name\": \"member\", \"module_num\": 2, " + head +
           "\"member0\": [\"member0/model.so\", \"member0/params.bin\", \"member0/graph.json\"], "
           "\"member1\": [\"nolib.so\", \"member1/params.bin\", \"member1/graph.json\"]}",
       "Can't find input model's lib file: " + dir.dir() + "nolib.so\n", false},
  };
  ErrorLog log;
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.what);
    const std::string path = dir.write("suite" + std::to_string(i) + ".json", c.config);
    qoblModel* model = nullptr;
    EXPECT_EQ(qoblERR_MODEL_FILE, qoblCreateDynamicModel(path.c_str(), hw.c_str(), &model));
    EXPECT_EQ(nullptr, model);
    const std::vector<std::string> errors = log.take();
    ASSERT_FALSE(errors.empty());
    if (c.prefixOnly) {
      EXPECT_EQ(0u, errors.back().rfind(c.message, 0)) << errors.back();
    } else {
      EXPECT_EQ(c.message, errors.back());
    }
  }

  // Missing configuration (the reader reports the open failure first), empty configuration, and a missing
  // hardware configuration.
  qoblModel* model = nullptr;
  const std::string absent = dir.dir() + "absent.json";
  EXPECT_EQ(qoblERR_MODEL_FILE, qoblCreateDynamicModel(absent.c_str(), nullptr, &model));
  EXPECT_EQ((std::vector<std::string>{"failed to open " + absent + " \n",
                                      "Can't find model suite config json file: " + absent + "\n"}),
            log.take());
  const std::string empty = dir.write("empty.json", "");
  EXPECT_EQ(qoblERR_MODEL_FILE, qoblCreateDynamicModel(empty.c_str(), nullptr, &model));
  EXPECT_EQ(std::vector<std::string>{"Can't find model suite config json file: " + empty + "\n"}, log.take());
  const std::string good = dir.write("good.json", suiteText());
  const std::string noHw = dir.dir() + "nohw.json";
  EXPECT_EQ(qoblERR_MODEL_FILE, qoblCreateDynamicModel(good.c_str(), noHw.c_str(), &model));
  EXPECT_EQ(std::string("Can't find input model's json file: ") + noHw + "\n", log.take().back());
  EXPECT_EQ(nullptr, model);
}

// Keys are prefix + index with nothing in between; other members are ignored; a configuration path
// without '/' reads the members relative to the working directory.
TEST_F(DynamicApiTest, MembersAreFoundByExactKeyAndRelativeToTheConfiguration) {
  SuiteDir dir;
  const uint64_t baseline = liveStreamBlocks();

  qoblModel* model = nullptr;
  const std::string underscored = dir.write("net.json", suiteText("net_", ", \"comment\": 1"));
  ASSERT_EQ(0u, qoblCreateDynamicModel(underscored.c_str(), nullptr, &model));
  ASSERT_NE(nullptr, model);
  EXPECT_TRUE(model->ptr_->isDynamic());
  EXPECT_EQ(0u, qoblDestroyModel(model));

  // Keys "net0"/"net1" under the prefix "net_" are not members.
  std::string shifted = suiteText("net");
  shifted.replace(shifted.find("\"net\""), 5, "\"net_\"");
  const std::string wrongKeys = dir.write("shifted.json", shifted);
  model = nullptr;
  ErrorLog log;
  EXPECT_EQ(qoblERR_MODEL_FILE, qoblCreateDynamicModel(wrongKeys.c_str(), nullptr, &model));
  EXPECT_EQ(0u, log.take().back().find("Failed to create Model: config member net_0 "));

  char cwd[4096];
  ASSERT_NE(nullptr, ::getcwd(cwd, sizeof(cwd)));
  dir.write("suite.json", suiteText());
  ASSERT_EQ(0, ::chdir(dir.dir().c_str()));
  model = nullptr;
  const qoblErr rc = qoblCreateDynamicModel("suite.json", nullptr, &model);
  ASSERT_EQ(0, ::chdir(cwd));
  ASSERT_EQ(0u, rc);
  ASSERT_NE(nullptr, model);
  EXPECT_EQ(0u, qoblDestroyModel(model));

  // The runtime judges the suite itself: no members at all, or shape ranges it cannot read, end in 301007
  // with no model.
  const std::string none = dir.write(
      "none.json", "{\"module_name\": \"m\", \"module_num\": 0, \"shape_ranges\": \"[]\", \"shared_params\": \"\"}");
  model = nullptr;
  EXPECT_EQ(qoblERR_CREATE_MODEL, qoblCreateDynamicModel(none.c_str(), nullptr, &model));
  EXPECT_EQ(nullptr, model);
  std::string badRanges = suiteText();
  badRanges.replace(badRanges.find("[[[[1,3,4,4]"), 12, "[[[[1,3,4");
  const std::string broken = dir.write("broken.json", badRanges);
  EXPECT_EQ(qoblERR_CREATE_MODEL, qoblCreateDynamicModel(broken.c_str(), nullptr, &model));
  EXPECT_EQ(nullptr, model);
  EXPECT_EQ(baseline, liveStreamBlocks());
}

// The model's name on the card is the suite digest (with and without the hardware configuration), and the
// module node follows the member that covers the shapes.
TEST_F(DynamicApiTest, SuiteDigestNamesTheModelOnTheCard) {
  const std::string suite = demoDir("dynamic") + "suite.json";
  const std::string hw = demoDir("dynamic") + "hw.json";
  for (const bool withHw : {false, true}) {
    SCOPED_TRACE(withHw);
    const std::string digest = expectedDigest(withHw ? hw : "");
    qoblModel* model = nullptr;
    ASSERT_EQ(0u, qoblCreateDynamicModel(suite.c_str(), withHw ? hw.c_str() : nullptr, &model));
    qobmShape shape = image(8, 12);
    ASSERT_EQ(0u, qoblSetDynamicModelInputShape(model, &shape, 1));
    uint32_t batch = 1;
    ASSERT_EQ(0u, qoblSetModelBatchSize(model, &batch));
    const std::string node = digest + "::" + digest;
    EXPECT_TRUE(cardNodeIs(node + ":m0:1x3x8x12:b1", model));
    shape = image(24, 20);
    ASSERT_EQ(0u, qoblSetDynamicModelInputShape(model, &shape, 1));
    EXPECT_TRUE(cardNodeIs(node + ":m1:1x3x24x20:b1", model));
    EXPECT_EQ(0u, qoblDestroyModel(model));
    uint64_t addr = 0;
    EXPECT_NE(0, qobcrt_model_addr(0, (node + ":m1:1x3x24x20:b1").c_str(), &addr));
  }
}

// Shapes through the API: errors of the model object come back as 301005 with its message; the largest
// batch shrinks as the shapes grow; a refused reload keeps the previous shapes.
TEST_F(DynamicApiTest, ShapesAndLargestBatch) {
  const uint64_t baseline = liveStreamBlocks();
  const std::string dir = demoDir("dynamic");
  qoblModel* model = nullptr;
  ASSERT_EQ(0u, qoblCreateDynamicModel((dir + "suite.json").c_str(), (dir + "hw.json").c_str(), &model));
  ErrorLog log;

  uint32_t max = 99;
  EXPECT_EQ(qoblERR_MODEL_OPERATION, qoblGetDynamicModelMaxBatchSize(model, nullptr, 0, &max));
  EXPECT_EQ(std::vector<std::string>{"exception to get maxbatchsize state wrong\n"}, log.take());

  struct Fit {
    int64_t side;
    uint32_t max;
  };
  for (const Fit& f : {Fit{4, 8}, Fit{16, 8}, Fit{17, 7}, Fit{24, 3}, Fit{32, 2}}) {
    qobmShape s = image(f.side, f.side);
    ASSERT_EQ(0u, qoblGetDynamicModelMaxBatchSize(model, &s, 1, &max)) << f.side;
    EXPECT_EQ(f.max, max) << f.side;
  }

  qobmShape two[2] = {image(8, 8), image(8, 8)};
  EXPECT_EQ(qoblERR_MODEL_OPERATION, qoblSetDynamicModelInputShape(model, two, 2));
  qobmShape rank3 = image(8, 8);
  rank3.ndims = 3;
  EXPECT_EQ(qoblERR_MODEL_OPERATION, qoblSetDynamicModelInputShape(model, &rank3, 1));
  EXPECT_EQ(qoblERR_MODEL_OPERATION, qoblGetDynamicModelMaxBatchSize(model, &rank3, 1, &max));
  EXPECT_EQ((std::vector<std::string>{"exception to set inputshape shape count is wrong\n",
                                      "exception to set inputshape dims number is wrong\n",
                                      "exception to get maxbatchsize dims number is wrong\n"}),
            log.take());
  qobmShape outside = image(40, 40);
  EXPECT_EQ(qoblERR_MODEL_OPERATION, qoblSetDynamicModelInputShape(model, &outside, 1));
  ASSERT_EQ(1u, log.take().size());

  qobmShape small = image(16, 16);
  ASSERT_EQ(0u, qoblSetDynamicModelInputShape(model, &small, 1));
  // A null shape list asks for the current shapes whatever the count says.
  ASSERT_EQ(0u, qoblGetDynamicModelMaxBatchSize(model, nullptr, 1, &max));
  EXPECT_EQ(8u, max);
  uint32_t batch = 8;
  ASSERT_EQ(0u, qoblSetModelBatchSize(model, &batch));
  ASSERT_EQ(8u, batch);

  qobmShape large = image(32, 32);
  EXPECT_EQ(qoblERR_MODEL_OPERATION, qoblSetDynamicModelInputShape(model, &large, 1));
  EXPECT_EQ(std::vector<std::string>{
                "exception to set inputshape last batchsize is exceed max batchsize that current shape support\n"},
            log.take());
  qobmShape current{};
  ASSERT_EQ(0u, qoblGetModelInputShapeByIndex(model, 0, &current));
  EXPECT_EQ(16, current.shapes[2]);
  EXPECT_EQ(16, current.shapes[3]);
  ASSERT_EQ(0u, qoblGetDynamicModelMaxBatchSize(model, &current, 0, &max));
  EXPECT_EQ(8u, max);

  // With a batch that fits, the larger shapes reload the model.
  batch = 2;
  ASSERT_EQ(0u, qoblSetModelBatchSize(model, &batch));
  ASSERT_EQ(0u, qoblSetDynamicModelInputShape(model, &large, 1));
  ASSERT_EQ(0u, qoblGetModelInputShapeByIndex(model, 0, &current));
  EXPECT_EQ(32, current.shapes[2]);
  ASSERT_EQ(0u, qoblGetDynamicModelMaxBatchSize(model, nullptr, 0, &max));
  EXPECT_EQ(2u, max);
  EXPECT_TRUE(log.take().empty());
  EXPECT_EQ(0u, qoblDestroyModel(model));
  EXPECT_EQ(baseline, liveStreamBlocks());
}

// A static model refuses both shape functions.
TEST_F(DynamicApiTest, StaticModelRefusesShapes) {
  const std::string dir = demoDir("classifier");
  qoblModel* model = nullptr;
  ASSERT_EQ(0u, qoblCreateModel((dir + "model.so").c_str(), (dir + "graph.json").c_str(),
                                (dir + "params.bin").c_str(), nullptr, &model));
  ErrorLog log;
  qobmShape s = image(16, 16);
  uint32_t max = 0;
  EXPECT_EQ(qoblERR_MODEL_OPERATION, qoblSetDynamicModelInputShape(model, &s, 1));
  EXPECT_EQ(qoblERR_MODEL_OPERATION, qoblGetDynamicModelMaxBatchSize(model, &s, 1, &max));
  EXPECT_EQ((std::vector<std::string>{"exception to set inputshape must dynamic model\n",
                                      "exception to get maxbatchsize must dynamic model\n"}),
            log.take());
  EXPECT_EQ(0u, qoblDestroyModel(model));
}
