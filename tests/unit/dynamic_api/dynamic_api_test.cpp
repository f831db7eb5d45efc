// Dynamic model API on the demo suite: configuration files and their rejections, member lookup, and the
// shape functions.  (The suite's name on the card and the member chosen per size: the dynamic stream test.)
#include <gtest/gtest.h>
#include <qobm/qobm.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "qobl_api.h"
#include "qobl_test/card_stats.h"
#include "qobl_test/files.h"
#include "qobl_test/log_capture.h"

namespace {

std::string demoDir(const std::string& name) { return qobltest::modelDir(name) + "/"; }

// A temporary folder with the demo suite's members linked in as member0/ and member1/.
struct SuiteDir : qobltest::TempDir {
  SuiteDir() {
    for (const char* m : {"member0", "member1"}) link(m, demoDir("dynamic") + m);
  }
  std::string write(const std::string& name, const std::string& text) const { return put(name, text); }
  std::string dir() const { return TempDir::dir() + "/"; }
};

const char* kRanges = "[[[[1,3,4,4],[1,3,16,16]]],[[[1,3,17,17],[1,3,32,32]]]]";

// A member entry `key`: [lib, params, graph]; the files of member`i` unless given.
std::string entry(const std::string& key, int i, const std::string& third = "", const std::string& lib = "") {
  const std::string m = "member" + std::to_string(i) + "/";
  return "\"" + key + "\": [\"" + (lib.empty() ? m + "model.so" : lib) + "\", \"" + m + "params.bin\"" +
         (third.empty() ? ", \"" + m + "graph.json\"" : third) + "]";
}
// The fields before the members; `name` is the module_name value as JSON, left out when empty.
std::string head(const std::string& count, const std::string& name = "\"member\"") {
  return "{" + (name.empty() ? "" : "\"module_name\": " + name + ", ") + "\"module_num\": " + count +
         ", \"shape_ranges\": \"" + kRanges + "\", \"shared_params\": \"[]\", ";
}
std::string suiteText(const std::string& prefix = "member", const std::string& extra = "") {
  return head("2", "\"" + prefix + "\"") + entry(prefix + "0", 0) + ", " + entry(prefix + "1", 1) + extra + "}";
}

qobmShape image(int64_t h, int64_t w) { return qobmShape{4, {1, 3, h, w}}; }

// The largest single allocation made through operator new while an AllocWatch is alive (the whole process
// allocates through the replacements below), so that a test sees a count from a file turn into memory.
std::atomic<size_t> gLargest{0};
std::atomic<bool> gWatching{false};

void* watched(size_t size) {
  if (gWatching.load(std::memory_order_relaxed)) {
    size_t cur = gLargest.load();
    while (size > cur && !gLargest.compare_exchange_weak(cur, size)) {
    }
  }
  return std::malloc(size == 0 ? 1 : size);
}

struct AllocWatch {
  AllocWatch() {
    gLargest = 0;
    gWatching = true;
  }
  ~AllocWatch() { gWatching = false; }
  size_t largest() const { return gLargest.load(); }
};

}  // namespace

void* operator new(size_t size) {
  void* p = watched(size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](size_t size) { return ::operator new(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return watched(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return watched(size); }
// These replacements hand out malloc blocks and take them back with free, which the compiler cannot see
// through when it inlines a delete of a new.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
#pragma GCC diagnostic pop
void operator delete[](void* p) noexcept { ::operator delete(p); }
void operator delete(void* p, size_t) noexcept { ::operator delete(p); }
void operator delete[](void* p, size_t) noexcept { ::operator delete(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { ::operator delete(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { ::operator delete(p); }

namespace {

// Each test leaves the card as it found it.
class DynamicApiTest : public qobltest::LiveBlocksTest {
 protected:
  void SetUp() override {
    LiveBlocksTest::SetUp();
    ASSERT_EQ(0, qobmSetDevice(0));
  }
};

}  // namespace

// Every configuration or file fault ends in 301006 with its message (or, for messages that carry the
// parser's words, its start) and leaves the caller's pointer null.
TEST_F(DynamicApiTest, ConfigurationFaultsAreRejectedWithTheirMessages) {
  SuiteDir dir;
  const std::string hw = demoDir("dynamic") + "hw.json";
  const std::string members = entry("member0", 0) + ", " + entry("member1", 1) + "}";
  const std::string cfg = "Failed to create Model: config ";
  const std::string name = cfg + "module_name should exist and must be string.\n";
  const std::string num = cfg + "module_num should exist and must be int.\n";
  const std::string ranges = cfg + "shape_ranges should exist and must be string.\n";
  const std::string start = "{\"module_name\": \"member\", \"module_num\": 2, ";
  const std::string missing = "Can't find input model's ";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"{\"module_name\": ", cfg + "file "},
      {"[1, 2]", cfg + "file "},
      {head("2", "") + members, name},
      {"{\"module_name\": 7}", name},
      {head("\"2\"") + members, num},
      {head("2.0") + members, num},
      {start + "\"shared_params\": \"\"}", ranges},
      {start + "\"shape_ranges\": [], \"shared_params\": \"\"}", ranges},
      {start + "\"shape_ranges\": \"[]\", \"shared_params\": []}",
       cfg + "shared_params should exist and must be string.\n"},
      {head("3") + members, cfg + "member member2 "},
      {head("2", "\"net_\"") + entry("net0", 0) + ", " + entry("net1", 1) + "}", cfg + "member net_0 "},
      {head("1") + "\"member0\": \"member0/model.so\"}", cfg + "member member0 "},
      {head("1") + entry("member0", 0, " ") + "}", cfg + "member member0 "},
      {head("1") + entry("member0", 0, ", 3") + "}", cfg + "member member0 "},
      // Files: the graph is read first, then the parameters, then the library.
      {head("1") + "\"member0\": [\"nolib.so\", \"noparams.bin\", \"nograph.json\"]}",
       missing + "graph file: " + dir.dir() + "nograph.json\n"},
      {head("1") + "\"member0\": [\"nolib.so\", \"noparams.bin\", \"member0/graph.json\"]}",
       missing + "params file: " + dir.dir() + "noparams.bin\n"},
      {head("2") + entry("member0", 0) + ", " + entry("member1", 1, "", "nolib.so") + "}",
       missing + "lib file: " + dir.dir() + "nolib.so\n"},
  };
  qobltest::LogCapture log(qobmLL_ERROR);
  for (size_t i = 0; i < cases.size(); ++i) {
    const std::string& message = cases[i].second;
    SCOPED_TRACE(cases[i].first);
    const std::string path = dir.write("suite" + std::to_string(i) + ".json", cases[i].first);
    qoblModel* model = nullptr;
    EXPECT_EQ(qoblERR_MODEL_FILE, qoblCreateDynamicModel(path.c_str(), hw.c_str(), &model));
    EXPECT_EQ(nullptr, model);
    const std::vector<std::string> errors = log.take();
    ASSERT_FALSE(errors.empty());
    if (message.back() == '\n') {
      EXPECT_EQ(message, errors.back());
    } else {
      EXPECT_EQ(0u, errors.back().rfind(message, 0)) << errors.back();
    }
  }

  // A missing configuration (the reader reports the open failure first), an empty one, and a missing
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
  EXPECT_EQ(missing + "json file: " + noHw + "\n", log.take().back());
  EXPECT_EQ(nullptr, model);
}

// Keys are prefix + index with nothing in between, other keys are ignored, and the runtime judges the suite
// itself (no members, or shape ranges it cannot read: 301007); a configuration path without '/' reads the
// members relative to the working directory.
TEST_F(DynamicApiTest, MembersAreFoundByExactKeyAndRelativeToTheConfiguration) {
  SuiteDir dir;
  std::string badRanges = suiteText();
  badRanges.replace(badRanges.find("[[[[1,3,4,4]"), 12, "[[[[1,3,4");
  const std::pair<std::string, qoblErr> cases[] = {
      {suiteText("net_", ", \"comment\": 1"), qoblERR_SUCCESS},
      {"{\"module_name\": \"m\", \"module_num\": 0, \"shape_ranges\": \"[]\", \"shared_params\": \"\"}",
       qoblERR_CREATE_MODEL},
      {badRanges, qoblERR_CREATE_MODEL},
  };
  for (const auto& c : cases) {
    qoblModel* model = nullptr;
    EXPECT_EQ(c.second, qoblCreateDynamicModel(dir.write("case.json", c.first).c_str(), nullptr, &model));
    EXPECT_EQ(c.second == qoblERR_SUCCESS, model != nullptr) << c.first;
    if (model != nullptr) {
      EXPECT_EQ(0u, qoblDestroyModel(model));
    }
  }

  char cwd[4096];
  ASSERT_NE(nullptr, ::getcwd(cwd, sizeof(cwd)));
  dir.write("suite.json", suiteText());
  ASSERT_EQ(0, ::chdir(dir.dir().c_str()));
  qoblModel* model = nullptr;
  const qoblErr rc = qoblCreateDynamicModel("suite.json", nullptr, &model);
  ASSERT_EQ(0, ::chdir(cwd));
  ASSERT_EQ(0u, rc);
  EXPECT_EQ(0u, qoblDestroyModel(model));
}

// Shapes through the API: errors of the model object come back as 301005 with its message; the batch size
// needs shapes first and is clamped to what they allow; a static model refuses both shape functions.
TEST_F(DynamicApiTest, ShapesAndLargestBatch) {
  const std::string dir = demoDir("dynamic");
  qoblModel* model = nullptr;
  ASSERT_EQ(0u, qoblCreateDynamicModel((dir + "suite.json").c_str(), (dir + "hw.json").c_str(), &model));
  qobltest::LogCapture log(qobmLL_ERROR);
  uint32_t max = 99, batch = 4;
  EXPECT_EQ(qoblERR_MODEL_OPERATION, qoblSetModelBatchSize(model, &batch));
  EXPECT_EQ(qoblERR_MODEL_OPERATION, qoblGetDynamicModelMaxBatchSize(model, nullptr, 0, &max));
  EXPECT_EQ((std::vector<std::string>{"Failed to set batch size state wrong\n",
                                      "exception to get maxbatchsize state wrong\n"}),
            log.take());

  // The largest batch for given shapes answers before any shapes are set.
  const std::pair<int64_t, uint32_t> fits[] = {{4, 8}, {16, 8}, {17, 7}, {24, 3}, {32, 2}};
  for (const auto& f : fits) {
    qobmShape s = image(f.first, f.first);
    ASSERT_EQ(0u, qoblGetDynamicModelMaxBatchSize(model, &s, 1, &max)) << f.first;
    EXPECT_EQ(f.second, max) << f.first;
  }

  qobmShape two[2] = {image(8, 8), image(8, 8)};
  qobmShape rank3{3, {1, 3, 8}}, outside = image(40, 40);
  EXPECT_EQ(qoblERR_MODEL_OPERATION, qoblSetDynamicModelInputShape(model, two, 2));
  EXPECT_EQ(qoblERR_MODEL_OPERATION, qoblSetDynamicModelInputShape(model, &rank3, 1));
  EXPECT_EQ(qoblERR_MODEL_OPERATION, qoblGetDynamicModelMaxBatchSize(model, &rank3, 1, &max));
  EXPECT_EQ((std::vector<std::string>{"exception to set inputshape shape count is wrong\n",
                                      "exception to set inputshape dims number is wrong\n",
                                      "exception to get maxbatchsize dims number is wrong\n"}),
            log.take());
  EXPECT_EQ(qoblERR_MODEL_OPERATION, qoblSetDynamicModelInputShape(model, &outside, 1));
  ASSERT_EQ(1u, log.take().size());

  // 16x16 allows 8: a batch of 10 is clamped.  (A model without pre-process ops records one tensor type,
  // none: static_model_test, through the same load.)
  qobmShape small = image(16, 16);
  ASSERT_EQ(0u, qoblSetDynamicModelInputShape(model, &small, 1));
  ASSERT_EQ(0u, qoblGetDynamicModelMaxBatchSize(model, nullptr, 1, &max));  // null: the current shapes
  EXPECT_EQ(8u, max);
  batch = 10;
  ASSERT_EQ(0u, qoblSetModelBatchSize(model, &batch));
  EXPECT_EQ(8u, batch);
  EXPECT_EQ(base_.stream, qobltest::liveBlocks().stream);  // a suite without pre-process ops uploads none

  // (A reload refused because the batch does not fit keeps the shapes, a fitting one reloads: the dynamic
  // stream test, per run.)
  EXPECT_TRUE(log.take().empty());
  EXPECT_EQ(0u, qoblDestroyModel(model));

  const std::string cls = demoDir("classifier");
  model = nullptr;
  ASSERT_EQ(0u, qoblCreateModel((cls + "model.so").c_str(), (cls + "graph.json").c_str(),
                                (cls + "params.bin").c_str(), nullptr, &model));
  EXPECT_EQ(qoblERR_MODEL_OPERATION, qoblSetDynamicModelInputShape(model, &small, 1));
  EXPECT_EQ(qoblERR_MODEL_OPERATION, qoblGetDynamicModelMaxBatchSize(model, &small, 1, &max));
  EXPECT_EQ((std::vector<std::string>{"exception to set inputshape must dynamic model\n",
                                      "exception to get maxbatchsize must dynamic model\n"}),
            log.take());
  EXPECT_EQ(0u, qoblDestroyModel(model));
}

// Counts and paths from the caller are checked against what the files hold before they size any work: a
// "module_num" beyond the members the configuration holds (or below 0) is refused at once, and a directory
// given as a configuration, model or member file is refused without asking for memory of its size.
TEST_F(DynamicApiTest, CountsAndPathsAreRefusedBeforeTheySizeMemory) {
  SuiteDir dir;
  const std::string members = entry("member0", 0) + ", " + entry("member1", 1) + "}";
  const std::string cfg = "Failed to create Model: config module_num ";
  qobltest::LogCapture log(qobmLL_ERROR);
  for (const char* count : {"20000000", "2147483647", "-1", "7"}) {
    SCOPED_TRACE(count);
    const std::string path = dir.write("count.json", head(count) + members);
    qoblModel* model = nullptr;
    AllocWatch watch;
    EXPECT_EQ(qoblERR_MODEL_FILE, qoblCreateDynamicModel(path.c_str(), nullptr, &model));
    EXPECT_LT(watch.largest(), 1u << 16);
    const std::vector<std::string> errors = log.take();
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(0u, errors.back().rfind(cfg, 0)) << errors.back();
  }

  const std::string cls = demoDir("classifier");
  const std::string lib = cls + "model.so", graph = cls + "graph.json", params = cls + "params.bin";
  const std::string folder = dir.dir() + "member0";  // a directory
  const std::string memberIsDir = dir.write("dir.json", head("1") + entry("member0", 0, ", \"member1\"") + "}");
  struct Case {
    const char* what;
    std::function<qoblErr(qoblModel**)> load;
  };
  const Case cases[] = {
      {"suite", [&](qoblModel** m) { return qoblCreateDynamicModel(dir.dir().c_str(), nullptr, m); }},
      {"suite hw", [&](qoblModel** m) { return qoblCreateDynamicModel(memberIsDir.c_str(), folder.c_str(), m); }},
      {"member graph", [&](qoblModel** m) { return qoblCreateDynamicModel(memberIsDir.c_str(), nullptr, m); }},
      {"graph", [&](qoblModel** m) { return qoblCreateModel(lib.c_str(), folder.c_str(), params.c_str(), nullptr, m); }},
      {"params", [&](qoblModel** m) { return qoblCreateModel(lib.c_str(), graph.c_str(), folder.c_str(), nullptr, m); }},
      {"lib", [&](qoblModel** m) { return qoblCreateModel(folder.c_str(), graph.c_str(), params.c_str(), nullptr, m); }},
      {"hw", [&](qoblModel** m) { return qoblCreateModel(lib.c_str(), graph.c_str(), params.c_str(), folder.c_str(), m); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    qoblModel* model = nullptr;
    AllocWatch watch;
    EXPECT_EQ(qoblERR_MODEL_FILE, c.load(&model));
    EXPECT_EQ(nullptr, model);
    EXPECT_LT(watch.largest(), 1u << 24);
    log.take();
  }
}
