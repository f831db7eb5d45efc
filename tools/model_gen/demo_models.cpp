// demo_models.cpp - definitions of the demo models and of their generated files.
#include "demo_models.h"

#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

#include <vector>

#include "model_files.h"
#include "reference.h"

namespace zenlar::qobl::modelgen {

namespace {

using Writer = rapidjson::PrettyWriter<rapidjson::StringBuffer>;

std::string finish(const rapidjson::StringBuffer& buf) { return std::string(buf.GetString(), buf.GetSize()) + "\n"; }

// A hardware configuration that sets only the largest batch size (every other key at its default).
void writeMaxBatchOnly(const std::string& path, int maxBatch) {
  rapidjson::StringBuffer buf;
  Writer w(buf);
  w.StartObject();
  w.Key("max_batch_size");
  w.Int(maxBatch);
  w.EndObject();
  writeFile(path, finish(buf));
}

void shapeArray(Writer& w, const std::vector<int64_t>& shape) {
  w.StartArray();
  for (int64_t d : shape) w.Int64(d);
  w.EndArray();
}

// Quantisation step of the classifier's uint8 pre-process op.  A power of two, so k * step is exact and
// quantising with it and dequantising gives the value back.
constexpr float kClassifierQuantScale = 1.0f / 64.0f;
// The sample input uses k in [0, kClassifierQuantMax]; the op declares the same clamp range.  127 keeps the
// range representable in the signed one-byte clamp fields of the op record.
constexpr int kClassifierQuantMax = 127;

}  // namespace

void generateClassifier(const std::string& dir) {
  Prng prng(0xC1A55u);
  Tensor convW({8, 3, 3, 3}), convB({8}), denseW({10, 8}), denseB({10});
  prng.fill(convW);
  prng.fill(convB);
  prng.fill(denseW);
  prng.fill(denseB);

  GraphBuilder g;
  const int data = g.addPlaceholder("data", {1, 3, 16, 16});
  const int cw = g.addPlaceholder("conv_weight", convW.shape);
  const int cb = g.addPlaceholder("conv_bias", convB.shape);
  const int conv = g.addOp("fused_conv2d_add_relu", "classifier_fused_conv2d_add_relu", {data, cw, cb}, {1, 8, 16, 16});
  const int pool = g.addOp("fused_global_avg_pool2d", "classifier_fused_global_avg_pool2d", {conv}, {1, 8});
  const int dw = g.addPlaceholder("dense_weight", denseW.shape);
  const int db = g.addPlaceholder("dense_bias", denseB.shape);
  const int dense = g.addOp("fused_dense_add", "classifier_fused_dense_add", {pool, dw, db}, {1, 10});
  g.setHeads({dense});

  writeFile(dir + "/graph.json", g.toJson());
  writeFile(dir + "/params.bin", makeParamBlob({{"conv_weight", &convW},
                                                {"conv_bias", &convB},
                                                {"dense_weight", &denseW},
                                                {"dense_bias", &denseB}}));

  rapidjson::StringBuffer buf;
  Writer w(buf);
  w.StartObject();
  w.Key("max_batch_size");
  w.Int(4);
  w.Key("preprocess_ops");
  w.StartArray();
  w.StartObject();
  w.Key("opcode");
  w.Int(197);
  w.Key("opcode_ext");
  w.Int(0);
  w.Key("input_num");
  w.Int(1);
  w.Key("outputs");
  w.StartArray();
  w.StartObject();
  w.Key("precision");
  w.Int(1);
  w.Key("is_quant");
  w.Int(1);
  w.Key("quant_scale");
  w.Double(kClassifierQuantScale);
  w.Key("quant_bias");
  w.Double(0.0);
  w.Key("quant_min");
  w.Int(0);
  w.Key("quant_max");
  w.Int(kClassifierQuantMax);
  w.EndObject();
  w.EndArray();
  w.EndObject();
  w.EndArray();
  w.EndObject();
  writeFile(dir + "/hw.json", finish(buf));

  Prng samplePrng(0x5A3B1Eu);
  Tensor input({1, 3, 16, 16});
  for (float& v : input.data) {
    v = static_cast<float>(samplePrng.next() % (kClassifierQuantMax + 1)) * kClassifierQuantScale;
  }
  const Tensor features = reference::relu(reference::conv2d(input, convW, convB, 1));
  const Tensor scores = reference::dense(reference::globalAvgPool(features), denseW, denseB);
  writeFile(dir + "/sample_input.bin", rawBytes({&input}));
  writeFile(dir + "/expected_output.bin", rawBytes({&scores}));
}

void generateSegmenter(const std::string& dir) {
  Prng prng(0x5E6Au);
  Tensor convW({5, 3, 1, 1}), convB({5});
  prng.fill(convW);
  prng.fill(convB);

  GraphBuilder g;
  const int data = g.addPlaceholder("data", {1, 3, 12, 12});
  const int cw = g.addPlaceholder("conv_weight", convW.shape);
  const int cb = g.addPlaceholder("conv_bias", convB.shape);
  const int conv = g.addOp("fused_conv2d_add", "segmenter_fused_conv2d_add", {data, cw, cb}, {1, 5, 12, 12});
  g.setHeads({conv});
  writeFile(dir + "/graph.json", g.toJson());
  writeFile(dir + "/params.bin", makeParamBlob({{"conv_weight", &convW}, {"conv_bias", &convB}}));

  // The five output channels are stored as three core tensors of two channels each (the last one half
  // used), with the 12x12 planes padded to 16x16.
  rapidjson::StringBuffer buf;
  Writer w(buf);
  w.SetFormatOptions(rapidjson::kFormatSingleLineArray);
  w.StartObject();
  w.Key("max_batch_size");
  w.Int(4);
  w.Key("outputs");
  w.StartArray();
  w.StartObject();
  w.Key("core_shapes");
  w.StartArray();
  for (int i = 0; i < 3; ++i) shapeArray(w, {1, 2, 16, 16});
  w.EndArray();
  w.EndObject();
  w.EndArray();
  w.EndObject();
  writeFile(dir + "/hw.json", finish(buf));

  Prng samplePrng(0x5E6B1Eu);
  Tensor input({1, 3, 12, 12});
  samplePrng.fill(input);
  const Tensor out = reference::conv2d(input, convW, convB, 0);
  writeFile(dir + "/sample_input.bin", rawBytes({&input}));
  writeFile(dir + "/expected_output.bin", rawBytes({&out}));
}

void generateDynamic(const std::string& dir) {
  Prng prng(0xD7Au);
  Tensor convW({4, 3, 1, 1}), convB({4});
  prng.fill(convW);
  prng.fill(convB);
  const std::vector<uint8_t> params = makeParamBlob({{"conv_weight", &convW}, {"conv_bias", &convB}});

  // Both members run the same per-pixel network with the same weights; their graphs differ in the node
  // name, so every member file set has its own digest.
  for (int m = 0; m < 2; ++m) {
    const std::string member = "member" + std::to_string(m);
    GraphBuilder g;
    const int data = g.addPlaceholder("data", {1, 3, -1, -1});
    const int cw = g.addPlaceholder("conv_weight", convW.shape);
    const int cb = g.addPlaceholder("conv_bias", convB.shape);
    const int conv = g.addOp("fused_conv2d_add_relu_" + member, "dynamic_fused_conv2d_add_relu", {data, cw, cb},
                             {1, 4, -1, -1});
    g.setHeads({conv});
    writeFile(dir + "/" + member + "/graph.json", g.toJson());
    writeFile(dir + "/" + member + "/params.bin", params);
  }

  {
    rapidjson::StringBuffer buf;
    Writer w(buf);
    w.StartObject();
    w.Key("module_name");
    w.String("member");
    w.Key("module_num");
    w.Int(2);
    w.Key("shape_ranges");
    w.String("[[[[1,3,4,4],[1,3,16,16]]],[[[1,3,17,17],[1,3,32,32]]]]");
    w.Key("shared_params");
    w.String("[]");
    for (int m = 0; m < 2; ++m) {
      const std::string member = "member" + std::to_string(m);
      w.Key(member.c_str());
      w.StartArray();
      w.String((member + "/model.so").c_str());
      w.String((member + "/params.bin").c_str());
      w.String((member + "/graph.json").c_str());
      w.EndArray();
    }
    w.EndObject();
    writeFile(dir + "/suite.json", finish(buf));
  }

  {
    // One item at HxW takes 28*H*W bytes (3 input and 4 output float32 planes): 8 items fit up to 16x16,
    // 3 at 24x24, 2 at 32x32.
    rapidjson::StringBuffer buf;
    Writer w(buf);
    w.StartObject();
    w.Key("max_batch_size");
    w.Int(8);
    w.Key("memory_budget_bytes");
    w.Int64(57344);
    w.EndObject();
    writeFile(dir + "/hw.json", finish(buf));
  }

  const int sizes[] = {8, 16, 24, 32};
  for (int s : sizes) {
    Prng samplePrng(0xD7A000u + static_cast<uint32_t>(s));
    Tensor input({1, 3, s, s});
    samplePrng.fill(input);
    const Tensor out = reference::relu(reference::conv2d(input, convW, convB, 0));
    const std::string sub = dir + "/samples/" + std::to_string(s) + "x" + std::to_string(s);
    writeFile(sub + "/sample_input.bin", rawBytes({&input}));
    writeFile(sub + "/expected_output.bin", rawBytes({&out}));
  }
}

void generateTrivial(const std::string& dir) {
  // 16 float32 values, 64 bytes per item in and out.
  Prng prng(0x7121Au);
  Tensor bias({16});
  prng.fill(bias);

  GraphBuilder g;
  const int data = g.addPlaceholder("data", {1, 16});
  const int b = g.addPlaceholder("bias", bias.shape);
  const int add = g.addOp("add", "trivial_add", {data, b}, {1, 16});
  g.setHeads({add});
  writeFile(dir + "/graph.json", g.toJson());
  writeFile(dir + "/params.bin", makeParamBlob({{"bias", &bias}}));

  writeMaxBatchOnly(dir + "/hw.json", 8);

  Prng samplePrng(0x7121B1Eu);
  Tensor input({1, 16});
  samplePrng.fill(input);
  const Tensor out = reference::addBias(input, bias);
  writeFile(dir + "/sample_input.bin", rawBytes({&input}));
  writeFile(dir + "/expected_output.bin", rawBytes({&out}));
}

void generateParallel(const std::string& dir) {
  Prng prng(0xBA7A11Eu);
  Tensor conv1W({32, 16, 3, 3}), conv1B({32}), conv2W({32, 32, 3, 3}), conv2B({32}), denseW({10, 32}),
      denseB({10});
  for (Tensor* t : {&conv1W, &conv1B, &conv2W, &conv2B, &denseW, &denseB}) prng.fill(*t);
  // Small weights keep the activations of two convolutions in a moderate range.
  for (Tensor* t : {&conv1W, &conv2W})
    for (float& v : t->data) v *= 0.125f;

  GraphBuilder g;
  const int data = g.addPlaceholder("data", {1, 16, 32, 32});
  const int w1 = g.addPlaceholder("conv1_weight", conv1W.shape);
  const int b1 = g.addPlaceholder("conv1_bias", conv1B.shape);
  const int w2 = g.addPlaceholder("conv2_weight", conv2W.shape);
  const int b2 = g.addPlaceholder("conv2_bias", conv2B.shape);
  const int convs = g.addOp("fused_conv2d_relu_conv2d_relu", "parallel_fused_conv2d_relu_conv2d_relu",
                            {data, w1, b1, w2, b2}, {1, 32, 32, 32});
  const int dw = g.addPlaceholder("dense_weight", denseW.shape);
  const int db = g.addPlaceholder("dense_bias", denseB.shape);
  const int scores = g.addOp("fused_mean_dense", "parallel_fused_mean_dense", {convs, dw, db}, {1, 10});
  g.setHeads({scores});
  writeFile(dir + "/graph.json", g.toJson());
  writeFile(dir + "/params.bin", makeParamBlob({{"conv1_weight", &conv1W},
                                                {"conv1_bias", &conv1B},
                                                {"conv2_weight", &conv2W},
                                                {"conv2_bias", &conv2B},
                                                {"dense_weight", &denseW},
                                                {"dense_bias", &denseB}}));

  writeMaxBatchOnly(dir + "/hw.json", 4);

  Prng samplePrng(0xBA7A5A3u);
  Tensor input({1, 16, 32, 32});
  samplePrng.fill(input);
  const Tensor mid = reference::relu(reference::conv2d(input, conv1W, conv1B, 1));
  const Tensor features = reference::relu(reference::conv2d(mid, conv2W, conv2B, 1));
  const Tensor out = reference::dense(reference::globalAvgPool(features), denseW, denseB);
  writeFile(dir + "/sample_input.bin", rawBytes({&input}));
  writeFile(dir + "/expected_output.bin", rawBytes({&out}));
}

void generatePair(const std::string& dir) {
  Prng prng(0x9A12u);
  Tensor bias({4}), denseW({3, 4}), denseB({3});
  for (Tensor* t : {&bias, &denseW, &denseB}) prng.fill(*t);

  // The parameter `bias` sits between the two real inputs, so the inputs are arg_nodes 0 and 2: input
  // index and placeholder position differ for `scale`.  Both outputs are heads; the first also feeds the
  // second node.
  GraphBuilder g;
  const int data = g.addPlaceholder("data", {1, 4, 8, 8});
  const int b = g.addPlaceholder("bias", bias.shape);
  const int scale = g.addPlaceholder("scale", {1, 4});
  const int scaled = g.addOp("scale_add", "pair_scale_add", {data, scale, b}, {1, 4, 8, 8});
  const int dw = g.addPlaceholder("dense_weight", denseW.shape);
  const int db = g.addPlaceholder("dense_bias", denseB.shape);
  const int summary = g.addOp("mean_dense", "pair_mean_dense", {scaled, dw, db}, {1, 3});
  g.setHeads({scaled, summary});
  writeFile(dir + "/graph.json", g.toJson());
  writeFile(dir + "/params.bin",
            makeParamBlob({{"bias", &bias}, {"dense_weight", &denseW}, {"dense_bias", &denseB}}));

  writeMaxBatchOnly(dir + "/hw.json", 4);

  Prng samplePrng(0x9A125A3u);
  Tensor input({1, 4, 8, 8}), scaleIn({1, 4});
  samplePrng.fill(input);
  samplePrng.fill(scaleIn);
  const Tensor out0 = reference::scaleAdd(input, scaleIn, bias);
  const Tensor out1 = reference::dense(reference::globalAvgPool(out0), denseW, denseB);
  writeFile(dir + "/sample_input.bin", rawBytes({&input, &scaleIn}));
  writeFile(dir + "/expected_output.bin", rawBytes({&out0, &out1}));
}

}  // namespace zenlar::qobl::modelgen
