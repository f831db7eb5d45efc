// The memory-copy op: the tensor copy configuration it builds from the model's outputs.  (Its per-run
// uploads, failed and released: the fault sweep's segmenter pipeline.)
#include <cstring>

#include "stream_op/stream_copymem_op.h"
#include "stream_op/stream_runmodel_op.h"
#include "test_support.h"

namespace zenlar {
namespace qobl {
namespace {

using namespace test;

using Four = std::vector<int32_t>;
Four four(const int32_t v[4]) { return Four(v, v + 4); }

// A memory-copy op under a run-model op running `model`.
struct CopyChain {
  CopyChain() {
    rm.setModel(&model);
    EXPECT_TRUE(cm.setInputOp(&rm));
  }
  // Record j of the host block.
  tensor_copy_cfg_info_t record(uint32_t j) const {
    tensor_copy_cfg_info_t r;
    EXPECT_GE(cm.hostConfigSize(), 8 + 376u * (j + 1));
    std::memcpy(&r, cm.hostConfig() + 8 + 376 * j, sizeof r);
    return r;
  }
  int32_t count() const {
    int32_t k = -1;
    std::memcpy(&k, cm.hostConfig(), 4);
    return k;
  }
  FakeModel model;
  EngineOp rmE{qobeOP_RUN_MODEL_OP}, cmE{qobeOP_MEM_COPY_OP};
  StreamRunModelOp rm{rmE.op};
  StreamCopyMemOp cm{cmE.op};
};

FakeOutput out(DLDataType t, std::vector<int64_t> shape, modelShape cores) { return FakeOutput{t, shape, cores}; }
const DLDataType kF32{kDLFloat, 32, 1}, kF16{kDLFloat, 16, 1}, kBF16{kDLBfloat, 16, 1};

// The record of a channel-split output (offsets, real and aligned extents, mask) is read by the card behind
// every segmenter run, checked bit-exact against the reference; here the header and the quantisation the card
// does not read, and core extents given unaligned.
TEST(CopyMemRecord, ChannelsSpreadOverTwoCoreTensors) {
  CopyChain c;
  c.model.outputs = {out(kF32, {1, 3, 224, 224}, {{1, 2, 224, 224}, {1, 2, 224, 224}})};
  c.cm.setOpCfg();
  ASSERT_EQ(c.cm.hostConfigSize(), 384u);  // record layout and packing: static_asserts in the header
  EXPECT_EQ(c.count(), 1);
  const tensor_copy_cfg_info_t r = c.record(0);
  const quant_config_t noQuant{};
  EXPECT_EQ(0, std::memcmp(&r.quant_config, &noQuant, sizeof noQuant));

  // Spatial extents are stored aligned to 8; the real channel count is kept on the host side.
  tensor_copy_cfg_info_t r2{};
  uint32_t channels = 0;
  qobmShape real{4, {1, 3, 30, 17}};
  ASSERT_TRUE(qoblFillTensorCopyRecord(kF16, {{1, 2, 30, 17}, {1, 2, 30, 17}}, real, r2, channels, 0));
  EXPECT_EQ(channels, 3u);
  EXPECT_EQ(four(r2.tensor_core_in[1].shape_align), (Four{1, 2, 32, 24}));
  EXPECT_EQ(four(r2.tensor_core_in[1].shape_real), (Four{1, 1, 30, 17}));
  EXPECT_EQ(r2.tensor_core_in[1].tensor_core_addr_offset, 2u * 30 * 17 * 2);
}

TEST(CopyMemRecord, FlatAndOtherLayouts) {
  auto fill = [](DLDataType t, modelShape cores, qobmShape real) {
    tensor_copy_cfg_info_t r{};
    uint32_t ch = 99;
    EXPECT_TRUE(qoblFillTensorCopyRecord(t, cores, real, r, ch, 0));
    EXPECT_EQ(ch, 0u);
    return r;
  };
  // [1, 1000] float16 in one [1, 1024] core: the core ends the real data at 1000 elements.
  tensor_copy_cfg_info_t r = fill(kF16, {{1, 1024}}, qobmShape{2, {1, 1000}});
  EXPECT_EQ(r.tensor_copy_type, 1);
  EXPECT_EQ(r.concat_dim_index, 3);
  EXPECT_EQ(r.core_in_mask, 1);
  EXPECT_EQ(four(r.tensor_core_in[0].shape_align), (Four{1, 1, 1, 1024}));
  EXPECT_EQ(four(r.tensor_core_in[0].shape_real), (Four{1, 1, 1, 1000}));
  EXPECT_EQ(four(r.tensor_core_out.shape_real), (Four{1, 1, 1, 1000}));

  // Two [1, 512] cores: the first is wholly real (zero real extent), the second holds the rest.
  r = fill(kF16, {{1, 512}, {1, 512}}, qobmShape{2, {1, 1000}});
  EXPECT_EQ(r.core_in_mask, 3);
  EXPECT_EQ(four(r.tensor_core_in[0].shape_real), (Four{0, 0, 0, 0}));
  EXPECT_EQ(r.tensor_core_in[1].tensor_core_addr_offset, 1024u);
  EXPECT_EQ(four(r.tensor_core_in[1].shape_real), (Four{1, 1, 1, 488}));

  // bfloat16 occupies 32 bits in core tensors: the first core already holds all 1000 elements.
  r = fill(kBF16, {{1, 512}, {1, 512}}, qobmShape{2, {1, 1000}});
  EXPECT_EQ(r.element_byte, 2);
  EXPECT_EQ(four(r.tensor_core_in[0].shape_real), (Four{1, 1, 1, 1000}));
  EXPECT_EQ(r.tensor_core_in[1].tensor_core_addr_offset, 0u);

  // Three-dimensional core layout: everything flattened.
  r = fill(kF32, {{1, 24, 8}}, qobmShape{3, {2, 3, 4}});
  EXPECT_EQ(r.tensor_copy_type, 1);
  EXPECT_EQ(r.concat_dim_index, 3);
  EXPECT_EQ(four(r.tensor_core_in[0].shape_align), (Four{1, 1, 1, 24}));
  EXPECT_EQ(four(r.tensor_core_out.shape_align), (Four{1, 1, 1, 24}));
}

TEST(CopyMemRecord, RefusedOutputsEndTheRecordList) {
  LogCapture log;
  CopyChain c;
  c.model.outputs = {out(kF32, {1, 10}, {{1, 16}}), out(kF32, {2, 1000}, {{2, 1000}}),
                     out(kF32, {1, 10}, {{1, 16}})};
  c.cm.setOpCfg();
  EXPECT_TRUE(log.contains("Not support axb yet.\n"));
  ASSERT_EQ(c.cm.hostConfigSize(), 384u);
  EXPECT_EQ(c.count(), 1);

  tensor_copy_cfg_info_t r{};
  uint32_t ch = 0;
  // More core tensors than a record holds.
  const modelShape nine(9, std::vector<int64_t>{1, 8});
  EXPECT_FALSE(qoblFillTensorCopyRecord(kF32, nine, qobmShape{2, {1, 72}}, r, ch, 4));
  EXPECT_TRUE(log.contains("Output index 4 is stored in 9 core tensors"));
  // A four-dimensional core layout over a two-dimensional output.
  EXPECT_FALSE(qoblFillTensorCopyRecord(kF32, {{1, 2, 8, 8}}, qobmShape{2, {1, 128}}, r, ch, 5));
  EXPECT_TRUE(log.contains("Output index 5 has a 2-dimensional shape but a four-dimensional core layout"));
  // No core shapes, or a first core shape of one dimension.
  EXPECT_FALSE(qoblFillTensorCopyRecord(kF32, {}, qobmShape{1, {4}}, r, ch, 6));
  EXPECT_TRUE(log.contains("Invalid output shape for index 6, skipped.\n"));
  EXPECT_FALSE(qoblFillTensorCopyRecord(kF32, {{4}}, qobmShape{1, {4}}, r, ch, 7));
  EXPECT_TRUE(log.contains("Invalid output shape for index 7, skipped.\n"));

  // A model without outputs gives no block and no configuration.
  CopyChain none;
  EXPECT_TRUE(none.cm.getConfigAddressList().empty());
  EXPECT_EQ(none.cm.hostConfig(), nullptr);
  EXPECT_TRUE(log.contains("No output for the model.\n"));
}

TEST(CopyMemOp, StaticConfigurationIsKeptDynamicIsRebuilt) {
  for (bool dynamic : {false, true}) {
    CopyChain c;
    c.model.dynamic = dynamic;
    c.model.outputs = {out(kF32, {1, 10}, {{1, 16}})};
    c.cm.setOpCfg();
    c.model.outputs = {out(kF32, {1, 12}, {{1, 16}}), out(kF32, {1, 2}, {{1, 8}})};
    c.cm.setOpCfg();
    ASSERT_NE(c.cm.hostConfig(), nullptr);
    EXPECT_EQ(c.count(), dynamic ? 2 : 1) << "dynamic " << dynamic;
    EXPECT_EQ(c.record(0).tensor_core_in[0].shape_real[3], dynamic ? 12 : 10) << "dynamic " << dynamic;
  }
}

}  // namespace
}  // namespace qobl
}  // namespace zenlar
