// The API frame: version text, the C header, the environment flag and the fixed argument checks.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "qobcrt/qobcrt_preproc.h"
#include "qobl_api.h"
#include "qobl_api_impl.h"
#include "qobl_test/log_capture.h"
#include "utils/utils.h"

extern "C" qoblErr c_get_version(const char** ver, uint32_t numbers[4]);
extern "C" uint8_t c89_preproc_quantize_u8(float x, float scale);
extern "C" uint16_t c89_preproc_f32_to_f16(float f);

using qobltest::LogCapture;

// The version text from C, its numbers, and the compile-time version.
TEST(ApiVersion, TextNumbersAndMacrosAgree) {
  const char* ver = nullptr;
  uint32_t n[4] = {99, 99, 99, 99};
  ASSERT_EQ(c_get_version(&ver, n), qoblERR_SUCCESS);
  ASSERT_NE(ver, nullptr);
  // "QOBL API a.b.c.d, Commit: <id>, Built: Www, DD Mmm YYYY, hh:mm:ss", parsed field by field.
  uint32_t v[4] = {};
  char commit[64] = {}, day[4] = {}, month[4] = {};
  int date = 0, year = 0, hh = 0, mm = 0, ss = 0, used = 0;
  ASSERT_EQ(std::sscanf(ver,
                        "QOBL API %u.%u.%u.%u, Commit: %63[^ ,], Built: "
                        "%3[A-Za-z], %2d %3[A-Za-z] %4d, %2d:%2d:%2d%n",
                        &v[0], &v[1], &v[2], &v[3], commit, day, &date, month, &year, &hh, &mm, &ss, &used),
            12)
      << ver;
  EXPECT_EQ(static_cast<size_t>(used), std::strlen(ver)) << ver;
  auto named = [](const char* list, const char* name) {
    const size_t at = std::string(list).find(name);
    return std::strlen(name) == 3 && at != std::string::npos && at % 3 == 0;
  };
  EXPECT_TRUE(named("MonTueWedThuFriSatSun", day) && named("JanFebMarAprMayJunJulAugSepOctNovDec", month)) << ver;
  EXPECT_TRUE(date >= 1 && date <= 31 && year >= 2000 && hh < 24 && mm < 60 && ss <= 60) << ver;
  for (int i = 0; i < 4; ++i) EXPECT_EQ(n[i], v[i]) << "field " << i;
  EXPECT_EQ((std::vector<uint32_t>{QOBL_VERSION_MAJOR, QOBL_VERSION_MINOR, QOBL_VERSION_PATCH}),
            (std::vector<uint32_t>{n[0], n[1], n[2]}));

  // Same static text every time; each number pointer may be null on its own.
  const char* again = nullptr;
  uint32_t minor = 77, bn = 77;
  EXPECT_EQ(qoblGetVersion(&again, nullptr, &minor, nullptr, &bn), qoblERR_SUCCESS);
  EXPECT_EQ(again, ver);
  EXPECT_EQ((std::vector<uint32_t>{minor, bn}), (std::vector<uint32_t>{n[1], n[3]}));
}

// The pre-processing arithmetic compiled as C89 agrees with the C++ build of the same header, at the
// rounding edges of the quantisation and the binary16 conversion.
TEST(ApiFrame, PreprocHeaderSameInC89) {
  const float quant[][2] = {{0.0f, 1.0f},  {0.49999997f, 1.0f}, {0.5f, 1.0f},    {1.5f, 1.0f},   {2.5f, 1.0f},
                            {254.5f, 1.0f}, {254.49998f, 1.0f}, {300.0f, 1.0f}, {-3.0f, 1.0f}, {7.0f, 0.5f}};
  for (const auto& q : quant) {
    EXPECT_EQ(c89_preproc_quantize_u8(q[0], q[1]), qobcrt_preproc_quantize_u8(q[0], q[1])) << q[0] << " / " << q[1];
  }
  EXPECT_EQ(c89_preproc_quantize_u8(0.49999997f, 1.0f), 0);
  EXPECT_EQ(c89_preproc_quantize_u8(254.5f, 1.0f), 255);
  for (float f : {0.0f, 1.0f, -2.5f, 65504.0f, 65520.0f, 1e-8f, 6.1035156e-05f, 3.14159f}) {
    EXPECT_EQ(c89_preproc_f32_to_f16(f), qobcrt_preproc_f32_to_f16(f)) << f;
  }
}

TEST(ApiFrame, EnvironmentFlag) {
  using zenlar::qobl::_qoblIsEnvSet;
  const char* name = "QOBL_API_FRAME_TEST_FLAG";
  unsetenv(name);
  EXPECT_FALSE(_qoblIsEnvSet(name));
  EXPECT_FALSE(_qoblIsEnvSet(nullptr));
  const std::pair<const char*, bool> cases[] = {{"", false},  {"1", true},   {"y", true},   {"Y", true},
                                                {"0", false}, {"n", false},  {"yes", false}, {"11", false},
                                                {" 1", false}, {"1 ", false}, {"true", false}};
  for (const auto& c : cases) {
    setenv(name, c.first, 1);
    EXPECT_EQ(_qoblIsEnvSet(name), c.second) << '"' << c.first << '"';
  }
  unsetenv(name);
}

// Every exported function rejects missing pointers (and emptied handles) with 301002 and its fixed message,
// logged at ERROR on channel 3 under the function's own name, and writes nothing.
TEST(ApiFrame, ArgumentChecksUseTheFixedMessages) {
  LogCapture log(qobmLL_WARN);
  qoblModel emptyModel{nullptr};
  qoblOpGraph emptyGraph{nullptr};
  uint32_t u32 = 0;
  uint64_t u64 = 0;
  qobmShape shape{};
  qobmDType dtype = qobmDT_ANY;
  qobeOp* op = nullptr;
  qoblModel* model = nullptr;
  qoblStream* stream = nullptr;

  const std::string modelMsg = "Invalid parameter: NULL != model && NULL != model->ptr_ && NULL != ";
  struct Case {
    const char* function;
    qoblErr result;
    std::string message;
  };
  uint32_t a = 11, b = 12, c = 13, d = 14;
  const Case cases[] = {
      {"qoblGetVersion", qoblGetVersion(nullptr, &a, &b, &c, &d), "Invalid parameter: NULL != ver"},
      {"qoblCreateModel", qoblCreateModel("lib", "graph", nullptr, nullptr, &model),
       "Invalid parameter: NULL != modLib && NULL != modGraph && NULL != modParam && NULL != model"},
      {"qoblCreateModel", qoblCreateModel("lib", "graph", "params", nullptr, nullptr),
       "Invalid parameter: NULL != modLib && NULL != modGraph && NULL != modParam && NULL != model"},
      {"qoblCreateDynamicModel", qoblCreateDynamicModel(nullptr, nullptr, &model),
       "Invalid parameter: NULL != modSuitesConfig && NULL != model"},
      {"qoblDestroyModel", qoblDestroyModel(nullptr), "Invalid parameter: NULL != model && NULL != model->ptr_"},
      {"qoblDestroyModel", qoblDestroyModel(&emptyModel), "Invalid parameter: NULL != model && NULL != model->ptr_"},
      {"qoblSetModelBatchSize", qoblSetModelBatchSize(&emptyModel, &u32), modelMsg + "batchSize"},
      {"qoblGetModelBatchSize", qoblGetModelBatchSize(nullptr, &u32), modelMsg + "batchSize"},
      {"qoblGetModelMaxBatchSize", qoblGetModelMaxBatchSize(&emptyModel, &u32), modelMsg + "batchSize"},
      {"qoblSetDynamicModelInputShape", qoblSetDynamicModelInputShape(&emptyModel, &shape, 1),
       "Invalid parameter: NULL != model && NULL != model->ptr_ && 0 != count && NULL != shapes"},
      {"qoblGetDynamicModelMaxBatchSize", qoblGetDynamicModelMaxBatchSize(nullptr, &shape, 1, &u32),
       modelMsg + "batchSize"},
      {"qoblGetModelInputCount", qoblGetModelInputCount(&emptyModel, &u32), modelMsg + "inCount"},
      {"qoblGetModelOutputCount", qoblGetModelOutputCount(nullptr, &u32), modelMsg + "outCount"},
      {"qoblGetModelInputShapeByIndex", qoblGetModelInputShapeByIndex(&emptyModel, 0, &shape), modelMsg + "shape"},
      {"qoblGetModelOutputShapeByIndex", qoblGetModelOutputShapeByIndex(nullptr, 0, &shape), modelMsg + "shape"},
      {"qoblGetModelOutputDataTypeByIndex", qoblGetModelOutputDataTypeByIndex(&emptyModel, 0, &dtype),
       modelMsg + "dType"},
      {"qoblGetModelOutputSizeByIndex", qoblGetModelOutputSizeByIndex(nullptr, 0, &u64), modelMsg + "size"},
      {"qoblGetModelAlignOutputSizeByIndex", qoblGetModelAlignOutputSizeByIndex(&emptyModel, 0, &u64),
       modelMsg + "size"},
      {"qoblCreateOpGraph", qoblCreateOpGraph(nullptr), "Invalid parameter: NULL != graph"},
      {"qoblDestroyOpGraph", qoblDestroyOpGraph(nullptr), "Invalid parameter: NULL != graph"},
      {"qoblCreateGraphInputOp", qoblCreateGraphInputOp(nullptr, 1, &op), "Invalid parameter: NULL != graph"},
      {"qoblCreateRunModelOp", qoblCreateRunModelOp(nullptr, &op),
       "Invalid parameter: (NULL != op) && (NULL != model)"},
      {"qoblConnectOps", qoblConnectOps(nullptr, op), "Invalid parameter: (NULL != parent) && (NULL != child)"},
      {"qoblCreateOpStream", qoblCreateOpStream(&emptyGraph, qoblBM_ONCE, &stream),
       "Invalid parameter: (NULL != graph) && (NULL != stream) && (graph->ptr_ != NULL)"},
      {"qoblDestroyOpStream", qoblDestroyOpStream(nullptr), "Invalid parameter: NULL != stream"},
      {"qoblBuildStream", qoblBuildStream(nullptr), "Invalid parameter: NULL != stream"},
      {"qoblRegisterGetOutput", qoblRegisterGetOutput(nullptr, nullptr),
       "Invalid parameter: NULL != stream && NULL != op"},
      {"qoblRegisterGetOutputs", qoblRegisterGetOutputs(nullptr, &op, 1),
       "Invalid parameter: NULL != stream && NULL != ops && NULL != *ops"},
      {"qoblRequestOutputDataset", qoblRequestOutputDataset(nullptr, nullptr),
       "Invalid parameter: NULL != stream && NULL != output"},
      {"qoblRunStream", qoblRunStream(nullptr, nullptr, nullptr, 0), "Invalid parameter: NULL != stream"},
      {"qoblRunStreamAsync", qoblRunStreamAsync(nullptr, nullptr, nullptr), "Invalid parameter: NULL != stream"},
      {"qoblGetStreamCacheNumber", qoblGetStreamCacheNumber(nullptr, &u32),
       "Invalid parameter: NULL != stream and NULL != num"},
      {"qoblSubscribeStreamReport", qoblSubscribeStreamReport(nullptr, nullptr, nullptr),
       "Invalid parameter: NULL != stream"},
      {"qoblSynchronizeStream", qoblSynchronizeStream(nullptr, 0), "Invalid parameter: NULL != stream"},
  };
  const auto lines = log.takeLines();
  const size_t n = sizeof(cases) / sizeof(cases[0]);
  ASSERT_EQ(lines.size(), n) << "one ERROR line per rejected call";
  for (size_t i = 0; i < n; ++i) {
    EXPECT_EQ(cases[i].result, qoblERR_INVALID_PARAM) << cases[i].function;
    EXPECT_EQ(lines[i].function, cases[i].function);
    EXPECT_EQ(lines[i].text, cases[i].message) << cases[i].function;
    EXPECT_EQ(lines[i].level, static_cast<uint32_t>(qobmLL_ERROR)) << cases[i].function;
  }
  EXPECT_EQ(model, nullptr);
  EXPECT_EQ(stream, nullptr);
  EXPECT_EQ((std::vector<uint32_t>{11, 12, 13, 14}), (std::vector<uint32_t>{a, b, c, d}));
}

TEST(ApiFrame, HandlesAlreadySetOrEmptied) {
  LogCapture log(qobmLL_WARN);
  // A model pointer that is already set is refused and left as it is.
  qoblModel existing{nullptr};
  qoblModel* model = &existing;
  EXPECT_EQ(qoblCreateModel("lib", "graph", "params", nullptr, &model), qoblERR_INVALID_PARAM);
  EXPECT_EQ(qoblCreateDynamicModel("suite.json", nullptr, &model), qoblERR_INVALID_PARAM);
  EXPECT_EQ(model, &existing);
  auto lines = log.takeLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].text, "Invalid parameter: NULL == (*model)");
  EXPECT_EQ(lines[1].text, "Invalid parameter: NULL == (*model)");

  // An existing graph handle is kept; an emptied one is destroyed again without complaint.
  qoblOpGraph graph{nullptr};
  qoblOpGraph* handle = &graph;
  EXPECT_EQ(qoblCreateOpGraph(&handle), qoblERR_SUCCESS);
  EXPECT_EQ(handle, &graph);
  EXPECT_EQ(qoblDestroyOpGraph(&graph), qoblERR_SUCCESS);
  EXPECT_TRUE(log.takeLines().empty());

  // Records that name no live graph or no model are refused without being followed, and no op is made.
  int notAGraph = 0;
  qoblOpGraph foreign{reinterpret_cast<zenlar::qobl::OpDirectedGraph*>(&notAGraph)};
  qoblModel noModel{nullptr};
  qobeOp* op = nullptr;
  EXPECT_EQ(qoblCreateGraphInputOp(&foreign, 1, &op), qoblERR_INVALID_PARAM);
  EXPECT_EQ(qoblCreateRunModelOp(&noModel, &op), qoblERR_INVALID_PARAM);
  EXPECT_EQ(op, nullptr);
  lines = log.takeLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].text.rfind("Invalid parameter: the graph is not a live op graph.", 0), 0u);
  EXPECT_EQ(lines[1].text, "Invalid parameter: NULL != model->ptr_");
}
