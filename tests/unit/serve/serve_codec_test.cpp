// qobl-serve's request and response codecs, command line and metrics text, without a card or a socket.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>

#include <rapidjson/document.h>

#include "metrics.h"
#include "options.h"
#include "rest_codec.h"

namespace zenlar {
namespace qoblserve {
namespace {

TensorSpec tensor(const char* name, const char* type, std::vector<int64_t> shape) {
  TensorSpec s;
  s.name = name;
  s.datatype = type;
  EXPECT_TRUE(datatypeByName(type, &s.dtype)) << type;
  s.shape = std::move(shape);
  return s;
}

// A model with inputs of several datatypes, one of them of variable extent.
ModelSignature mixedModel() {
  ModelSignature m;
  m.name = "mixed";
  m.inputs = {tensor("a", "INT8", {-1, 2}), tensor("b", "BOOL", {-1, 2}), tensor("f", "FP32", {-1, -1}),
              tensor("i", "INT64", {-1, 2}), tensor("d", "FP64", {-1, 5}), tensor("h", "FP16", {-1, 2})};
  m.outputs = {tensor("y", "FP32", {-1, 2})};
  return m;
}

const char* const kGoodInputs =
    R"({"name":"a","datatype":"INT8","shape":[1,2],"data":[[-128,127]]},)"
    R"({"name":"b","datatype":"BOOL","shape":[1,2],"data":[true,false]},)"
    R"({"name":"f","datatype":"FP32","shape":[1,3],"data":[1.5,-0.0,3e38]},)"
    R"({"name":"i","datatype":"INT64","shape":[1,2],"data":[-9223372036854775808,9223372036854775807]},)"
    R"({"name":"d","datatype":"FP64","shape":[1,5],"data":[0E230,20E262,4.9e-324,0.1,-Infinity]},)"
    R"({"name":"h","datatype":"FP16","shape":[1,2],"parameters":{"binary_data_size":4}})";

std::string withBinary(const std::string& json, const std::string& raw, int64_t* headerLength) {
  *headerLength = static_cast<int64_t>(json.size());
  return json + raw;
}

// Every datatype from JSON, numbers converted exactly at the edges of their ranges, and binary data.
TEST(RestCodec, ParsesEveryDatatypeFromJsonAndBinary) {
  int64_t hl = 0;
  const std::string body = withBinary(std::string(R"({"id":"x9","inputs":[)") + kGoodInputs +
                                          R"(],"outputs":[{"name":"y","parameters":{"binary_data":true}}]})",
                                      "\x01\x02\x03\x04", &hl);
  InferRequest r;
  uint32_t batch = 0;
  const Error e = parseRestRequest(body, hl, mixedModel(), RestLimits(), &r, &batch);
  ASSERT_FALSE(e) << e.message;
  EXPECT_EQ(batch, 1u);
  EXPECT_EQ(r.id, "x9");
  ASSERT_EQ(r.inputs.size(), 6u);
  EXPECT_EQ(std::vector<uint8_t>(r.inputs[0].data, r.inputs[0].data + 2), (std::vector<uint8_t>{0x80, 0x7f}));
  EXPECT_EQ(std::vector<uint8_t>(r.inputs[1].data, r.inputs[1].data + 2), (std::vector<uint8_t>{1, 0}));
  float f[3];
  ASSERT_EQ(r.inputs[2].bytes, sizeof f);
  std::memcpy(f, r.inputs[2].data, sizeof f);
  EXPECT_EQ(f[0], 1.5f);
  EXPECT_TRUE(std::signbit(f[1]));
  EXPECT_EQ(f[2], 3e38f);
  int64_t i[2];
  double d[5];
  ASSERT_EQ(r.inputs[3].bytes, sizeof i);
  ASSERT_EQ(r.inputs[4].bytes, sizeof d);
  std::memcpy(i, r.inputs[3].data, sizeof i);
  std::memcpy(d, r.inputs[4].data, sizeof d);
  EXPECT_EQ((std::vector<int64_t>{i[0], i[1]}), (std::vector<int64_t>{INT64_MIN, INT64_MAX}));
  EXPECT_EQ((std::vector<double>{d[0], d[1], d[2], d[3]}), (std::vector<double>{0.0, 20e262, 4.9e-324, 0.1}));
  EXPECT_TRUE(std::isinf(d[4]) && d[4] < 0);
  EXPECT_EQ(r.inputs[5].data, reinterpret_cast<const uint8_t*>(body.data()) + hl);   // points into the body
  EXPECT_EQ(r.inputs[5].bytes, 4u);
  ASSERT_EQ(r.outputs.size(), 1u);
  EXPECT_TRUE(r.outputs[0].binary);
}

// (Element counts that differ from the shape and nesting beyond the limit: the server's REST error test.)
TEST(RestCodec, RefusesWhatDoesNotFitTheModel) {
  RestLimits tight;
  tight.maxValues = 200;
  tight.maxBatch = 3;
  const std::string a = R"({"name":"a","datatype":"INT8","shape":[1,2],"data":)";
  const std::string rest = R"({"name":"b","datatype":"BOOL","shape":[1,2],"data":[true,false]},)"
                           R"({"name":"f","datatype":"FP32","shape":[1,1],"data":[1]},)"
                           R"({"name":"i","datatype":"INT64","shape":[1,2],"data":[0,0]},)"
                           R"({"name":"d","datatype":"FP64","shape":[1,5],"data":[0,0,0,0,0]},)"
                           R"({"name":"h","datatype":"FP16","shape":[1,2],"parameters":{"binary_data_size":4}})";
  const auto with = [&](const std::string& aData) { return R"({"inputs":[)" + a + aData + "}," + rest + "]}"; };
  std::string zeros300 = "0";
  for (int i = 1; i < 300; ++i) zeros300 += ",0";
  const struct {
    std::string body;
    const char* fragment;
  } cases[] = {
      {with("[-129,0]"), "outside the datatype's range"},
      {with("[128,0]"), "outside the datatype's range"},
      {with("[1.5,0]"), "not an integer"},
      {R"({"inputs":[{"name":"i","datatype":"INT64","shape":[1,2],"data":[0,9223372036854775808]}]})",
       "outside the datatype's range"},
      {R"({"inputs":[)" + a + R"([1,2]},)" + a + R"([1,2]},)" + rest + "]}", "given twice"},
      {R"({"inputs":[)" + rest + "]}", "input \"a\" is missing"},
      {R"({"inputs":[{"name":"a","datatype":"INT8","shape":[2,2],"data":[1,2,3,4]},)" + rest + "]}",
       "disagree on the batch size"},
      {R"({"inputs":[{"name":"a","datatype":"INT8","shape":[4,2],"data":[1,2,3,4,5,6,7,8]}]})", "at most 3"},
      {R"({"inputs":[{"name":"a","datatype":"INT8","shape":[1,-2],"data":[]}]})", "extent >= 0"},
      {R"({"inputs":[{"name":"f","datatype":"FP32","shape":[1,4294967296,4294967296],"data":[]}]})",
       "shape [1,4294967296,4294967296]"},
      {R"({"inputs":[{"name":"f","datatype":"FP32","shape":[1,4294967296],"data":[]}]})",
       "holds more elements than the request can"},
      {R"({"inputs":[{"name":"h","datatype":"FP16","shape":[1,2],"data":[1,2]}]})", "no JSON form"},
      {R"({"inputs":[{"name":"b","datatype":"BOOL","shape":[1,2],"data":[1,0]}]})", "not true or false"},
      {R"({"inputs":[{"name":"h","datatype":"FP16","shape":[1,2],"data":[1,2],"parameters":{"binary_data_size":4}}]})",
       "both \"data\" and \"binary_data_size\""},
      {R"({"inputs":[{"name":"a","datatype":"INT8","shape":[1,2],"data":[1,2],"parameters":[]}]})",
       "\"parameters\" is not an object"},
      {R"({"id":7,"inputs":[]})", "\"id\" is not a string"},
      {R"({"inputs":[],"parameters":{"binary_data_output":1}})", "not true or false"},
      {R"({"inputs":[{"name":"f","datatype":"FP32","shape":[1,300],"data":[)" + zeros300 + "]}]}",
       "more than 200 values"},
      {"{\"inputs\":[\x01]}", "malformed JSON at offset 11"},
  };
  for (const auto& c : cases) {
    InferRequest r;
    uint32_t batch = 0;
    int64_t hl = 0;
    const std::string body = withBinary(c.body, "\x01\x02\x03\x04", &hl);
    const Error e = parseRestRequest(body, hl, mixedModel(), tight, &r, &batch);
    EXPECT_EQ(e.kind, ErrorKind::kInvalidArgument) << c.body;
    EXPECT_NE(e.message.find(c.fragment), std::string::npos) << c.body << "\n -> " << e.message;
  }
}

TEST(RestCodec, HeaderLengthIsADecimalWithinTheBody) {
  const struct {
    const char* text;
    uint64_t body;
    int64_t want;
  } cases[] = {{"0", 10, 0}, {"10", 10, 10}, {"11", 10, -1}, {"", 10, -1},
               {"-1", 10, -1}, {"1e3", 5000, -1}, {" 5", 10, -1}, {"99999999999999999999", 10, -1}};
  for (const auto& c : cases) EXPECT_EQ(parseHeaderLength(c.text, c.body), c.want) << c.text;
}

TEST(RestCodec, ResponseFloatsRoundTripExactlyAndBinaryOutputsFollowTheHeader) {
  const float values[] = {0.1f, 1.0f / 3.0f, FLT_MIN, 1e-45f, FLT_MAX, -0.0f, 16777216.0f, -2.5e-20f};
  OutputTensor f;
  f.name = "scores";
  f.datatype = "FP32";
  f.dtype = DType{2, 32, 1};
  f.shape = {1, 8};
  f.data.resize(sizeof values);
  std::memcpy(f.data.data(), values, sizeof values);
  OutputTensor i8 = f;
  i8.name = "classes";
  i8.datatype = "INT8";
  i8.dtype = DType{0, 8, 1};
  i8.shape = {1, 2};
  i8.data = {0x80, 0x05};
  OutputTensor half = i8;   // FP16 has no JSON form: returned as bytes even when JSON was asked for
  half.name = "half";
  half.datatype = "FP16";
  half.dtype = DType{2, 16, 1};
  half.data = {0x00, 0x3c, 0x00, 0xc0};
  OutputTensor bin = i8;
  bin.name = "bin";
  bin.binary = true;
  InferResult r;
  r.model = "m";
  r.id = "q";
  r.outputs = {f, i8, half, bin};
  std::string body;
  uint64_t hl = 0;
  writeRestResponse(r, &body, &hl);
  ASSERT_GT(hl, 0u);
  EXPECT_EQ(body.substr(hl), std::string("\x00\x3c\x00\xc0\x80\x05", 6));
  rapidjson::Document d;
  d.Parse(body.c_str(), hl);
  ASSERT_FALSE(d.HasParseError());
  EXPECT_STREQ(d["id"].GetString(), "q");
  const auto& data = d["outputs"][0]["data"];
  ASSERT_EQ(data.Size(), 8u);
  for (rapidjson::SizeType k = 0; k < 8; ++k) {
    const float back = static_cast<float>(data[k].GetDouble());
    EXPECT_EQ(std::memcmp(&back, &values[k], sizeof back), 0) << k << ": " << values[k];
  }
  EXPECT_EQ(d["outputs"][1]["data"][0].GetInt(), -128);
  EXPECT_EQ(d["outputs"][2]["parameters"]["binary_data_size"].GetUint(), 4u);
  EXPECT_FALSE(d["outputs"][3].HasMember("data"));
  // Without binary outputs the body is JSON alone.
  r.outputs = {f};
  writeRestResponse(r, &body, &hl);
  EXPECT_EQ(hl, 0u);
  EXPECT_EQ(errorJson("bad \"x\"\n"), R"({"error":"bad \"x\"\n"})");
}

// The defaults: loopback only unless asked for more.  Bad command lines are checked through the program
// (deploy_test.py).
TEST(ServeOptions, Defaults) {
  const char* args[] = {"qobl-serve", "--model-repository", "/m"};
  Options o;
  std::string err;
  ASSERT_TRUE(parseOptions(3, args, &o, &err)) << err;
  EXPECT_EQ((std::vector<int>{o.httpPort, o.grpcPort}), (std::vector<int>{8000, 8001}));
  EXPECT_EQ(o.host, "127.0.0.1");
  EXPECT_EQ(o.maxRequestBytes, 64u << 20);
  EXPECT_EQ((std::vector<uint32_t>{o.readTimeoutMs, o.headerTimeoutMs, o.requestTimeoutMs, o.responseTimeoutMs}),
            (std::vector<uint32_t>{5000, 10000, 30000, 60000}));
  EXPECT_EQ((std::vector<uint32_t>{o.maxHeaderBytes, o.maxHeaderFields}), (std::vector<uint32_t>{65536, 100}));
  EXPECT_EQ(o.serve.inFlight, 2u);
  const char* deep[] = {"qobl-serve", "--model-repository", "/m", "--in-flight", "1024"};
  ASSERT_TRUE(parseOptions(5, deep, &o, &err)) << err;
  EXPECT_EQ(o.serve.inFlight, 1024u);
  const char* head[] = {"qobl-serve", "--model-repository", "/m", "--header-timeout-ms", "250",
                        "--max-header-bytes", "1024", "--max-header-fields", "7", "--response-timeout-ms", "900"};
  ASSERT_TRUE(parseOptions(11, head, &o, &err)) << err;
  EXPECT_EQ((std::vector<uint32_t>{o.headerTimeoutMs, o.maxHeaderBytes, o.maxHeaderFields, o.responseTimeoutMs}),
            (std::vector<uint32_t>{250, 1024, 7, 900}));
  EXPECT_EQ(o.readTimeoutMs, 5000u);
}

// Values written as --opt=value, repeated options (the last one counts) and numbers read as decimal whatever
// their leading zeros; --version needs no repository.
TEST(ServeOptions, ValueFormsRepeatsAndVersion) {
  auto parse = [](std::vector<const char*> args, Options* o, std::string* err) {
    args.insert(args.begin(), "qobl-serve");
    return parseOptions(static_cast<int>(args.size()), args.data(), o, err);
  };
  Options o;
  std::string err;
  ASSERT_TRUE(parse({"--model-repository=/models", "--host=0.0.0.0", "--http-port=0", "--grpc-port", "9001",
                     "--in-flight=010", "--max-request-bytes=4294967296", "--log-level=debug"},
                    &o, &err))
      << err;
  EXPECT_EQ(o.repository, "/models");
  EXPECT_EQ(o.host, "0.0.0.0");
  EXPECT_EQ((std::vector<int>{o.httpPort, o.grpcPort}), (std::vector<int>{0, 9001}));
  EXPECT_EQ(o.serve.inFlight, 10u);
  EXPECT_EQ(o.maxRequestBytes, 4294967296ull);
  EXPECT_EQ(o.logLevel, "debug");
  EXPECT_FALSE(o.version);
  ASSERT_TRUE(parse({"--model-repository", "/a", "--devices", "3", "--model-repository", "/b", "--devices=2"}, &o,
                    &err))
      << err;
  EXPECT_EQ(o.repository, "/b");
  EXPECT_EQ(o.devices, 2u);
  // Only the last value is used, but each must be valid.
  EXPECT_FALSE(parse({"--model-repository", "/m", "--devices", "17", "--devices", "2"}, &o, &err));
  EXPECT_NE(err.find("--devices"), std::string::npos) << err;
  // A zero HTTP port picks a free port, so it never clashes with the gRPC one.
  EXPECT_TRUE(parse({"--model-repository", "/m", "--http-port", "0", "--grpc-port", "0"}, &o, &err)) << err;
  Options v;
  ASSERT_TRUE(parse({"--version"}, &v, &err)) << err;
  EXPECT_TRUE(v.version);
  EXPECT_FALSE(v.help);
}

TEST(ServeMetrics, PrometheusTextWithEscapedLabelsAndCumulativeBuckets) {
  Metrics m(0);
  ModelMetrics& a = m.model("we\"ird\\name");
  a.requestsOk = 3;
  a.runItems = 6;
  a.runCapacity = 8;
  a.latency.observe(0.0002);
  a.latency.observe(0.003);
  a.latency.observe(100);
  const std::string text = m.render();
  const std::string l = "model=\"we\\\"ird\\\\name\"";
  for (const std::string& line :
       {"qobl_inference_requests_total{" + l + ",status=\"success\"} 3",
        "qobl_inference_latency_seconds_bucket{" + l + ",le=\"0.00025\"} 1",
        "qobl_inference_latency_seconds_bucket{" + l + ",le=\"0.005\"} 2",
        "qobl_inference_latency_seconds_bucket{" + l + ",le=\"10\"} 2",
        "qobl_inference_latency_seconds_bucket{" + l + ",le=\"+Inf\"} 3",
        "qobl_inference_latency_seconds_count{" + l + "} 3", "qobl_device_run_fill_ratio{" + l + "} 0.75",
        std::string("# TYPE qobl_queue_time_seconds histogram")})
    EXPECT_NE(text.find(line + "\n"), std::string::npos) << line << "\n" << text;
}

}  // namespace
}  // namespace qoblserve
}  // namespace zenlar
