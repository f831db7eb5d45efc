// StreamCopyMemOp: the stream op of a memory-copy op, the op that follows a run-model op and gathers each
// model output from the core tensors the card leaves it in into the plain tensor the application reads.
//
// It takes its counts, sizes, batch size and model from the run-model op before it (its input op, valid
// when that op's type id is 20000), and prepares from the model's output descriptions the tensor copy
// configuration: one tensor_copy_cfg_info_t per model output saying where each core tensor lies, what part
// of it is real data and along which dimension the pieces are joined.
//
// OWNERSHIP: the host configuration block is owned by the op (built on the first getConfigAddressList with
// a valid input, kept for a static model, rebuilt on every call for a dynamic one, freed with the op).
// Every getConfigAddressList call uploads a NEW stream-memory copy of it; that block belongs to the caller,
// who frees it with qobcrt_free_stream on the op's device.  getConfigAddressList may be called from several
// threads at once (one graph, several streams); it serialises itself.  initOpCfg, setOpCfg and dumpOpCfg
// called directly are not locked.
#ifndef QOBL_STREAM_OP_STREAM_COPYMEM_OP_H
#define QOBL_STREAM_OP_STREAM_COPYMEM_OP_H

#include <dlpack/dlpack.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "i_model.h"
#include "stream_op/stream_op.h"

namespace zenlar {
namespace qobl {

// ---- Device records (little-endian, packed) ----
#pragma pack(push, 1)
// One tensor: real extent, stored (aligned) extent, byte offset from the start of the op's input data.
struct tensor_info_t {
  int32_t shape_real[4];
  int32_t shape_align[4];
  uint64_t tensor_core_addr_offset;
};

struct quant_config_t {
  uint8_t quant_enable;
  uint8_t round_mode;
  int16_t rsvd;
  float quant_scale;
  int16_t quant_min;
  int16_t quant_max;
};

// How one model output is gathered from up to eight core tensors.
struct tensor_copy_cfg_info_t {
  tensor_info_t tensor_core_in[8];  // core input tensors 0..7
  tensor_info_t tensor_core_out;    // the plain output
  uint8_t concat_dim_index;         // dimension (of four) along which the core inputs are joined
  uint8_t core_in_mask;             // bit i: core input i is used
  uint8_t element_byte;             // bytes per output element
  uint8_t tensor_copy_type;         // 0 channel-joined four-dimensional, 1 otherwise
  quant_config_t quant_config;      // all zero
};

// The configuration block: a record count, four zero bytes, then inout_cnt records (8 + 376 x k bytes).
struct tensor_copy_cfg_t {
  int32_t inout_cnt;
  uint8_t reserved[4];
  tensor_copy_cfg_info_t inout_info[1];  // really inout_cnt records
};

// Host-side record: a device record plus the real channel count of a four-dimensional output (else 0).
struct TensorCopyCfgInfoFlat {
  tensor_copy_cfg_info_t cfgInfo;
  uint32_t normCfgCnt;
  uint8_t reserved[4];
};
#pragma pack(pop)

static_assert(sizeof(tensor_info_t) == 40, "tensor_info_t is 40 bytes");
static_assert(offsetof(tensor_info_t, shape_align) == 16 && offsetof(tensor_info_t, tensor_core_addr_offset) == 32,
              "tensor_info_t offsets");
static_assert(sizeof(quant_config_t) == 12, "quant_config_t is 12 bytes");
static_assert(offsetof(quant_config_t, round_mode) == 1 && offsetof(quant_config_t, rsvd) == 2 &&
                  offsetof(quant_config_t, quant_scale) == 4 && offsetof(quant_config_t, quant_min) == 8 &&
                  offsetof(quant_config_t, quant_max) == 10,
              "quant_config_t offsets");
static_assert(sizeof(tensor_copy_cfg_info_t) == 376, "tensor_copy_cfg_info_t is 376 bytes");
static_assert(offsetof(tensor_copy_cfg_info_t, tensor_core_out) == 320 &&
                  offsetof(tensor_copy_cfg_info_t, concat_dim_index) == 360 &&
                  offsetof(tensor_copy_cfg_info_t, core_in_mask) == 361 &&
                  offsetof(tensor_copy_cfg_info_t, element_byte) == 362 &&
                  offsetof(tensor_copy_cfg_info_t, tensor_copy_type) == 363 &&
                  offsetof(tensor_copy_cfg_info_t, quant_config) == 364,
              "tensor_copy_cfg_info_t offsets");
static_assert(offsetof(tensor_copy_cfg_t, inout_info) == 8 && sizeof(tensor_copy_cfg_t) == 8 + 376,
              "tensor_copy_cfg_t is 8 + 376 x k bytes");
static_assert(sizeof(TensorCopyCfgInfoFlat) == 384 && offsetof(TensorCopyCfgInfoFlat, normCfgCnt) == 376,
              "TensorCopyCfgInfoFlat is 384 bytes");

// Byte size of a configuration block of k records.
constexpr uint64_t tensorCopyCfgSize(uint32_t k) {
  return (static_cast<uint64_t>(sizeof(tensor_copy_cfg_info_t)) * k + 4 + 7) / 8 * 8;
}

// Fills cfgInfo / normCfgCnt (zeroed by the caller) for one output from its element type, its core shapes
// (as the model lists them) and its real shape.  False, with one error line, when the output cannot be
// described: a two-dimensional core layout not starting with 1 ("Not support axb yet.\n"), more than eight
// core tensors, a four-dimensional core layout over a real shape of fewer than four dimensions, or core
// shapes too short to read.
// index only names the output in messages.  Also refuses (with "Invalid output shape for index %d,
// skipped.\n") an empty core list or a first core shape of fewer than two dimensions, and element types of
// less than one byte.
bool qoblFillTensorCopyRecord(const DLDataType& type, const modelShape& coreShapes, const qobmShape& realShape,
                              tensor_copy_cfg_info_t& cfgInfo, uint32_t& normCfgCnt, int32_t index);

// The human-readable text of one record (as dumped at trace level).
std::string qoblTensorCopyRecordText(const tensor_copy_cfg_info_t& cfgInfo);

class StreamCopyMemOp final : public StreamOp {
 public:
  explicit StreamCopyMemOp(qobeOp* op) : StreamOp(op) {}
  ~StreamCopyMemOp() override;

  uint32_t configCount() override;                        // 1
  // setOpCfg(), then a fresh stream-memory copy of the configuration block on deviceId() as a one-entry
  // list (0 when the upload failed); empty when there is no block.  The caller owns the new block.
  std::vector<uint64_t> getConfigAddressList() override;
  std::vector<uint64_t> getBufferAddresses() override;    // empty
  void bufferAddressesInto(std::vector<uint64_t>& out) override { out.clear(); }
  uint32_t inputCount() override;                         // valid input: its outputCount(); else 0
  uint32_t outputCount() override;                        // inputCount()
  std::vector<uint32_t> inputSizes() override;            // valid input: its outputSizes(); else empty
  std::vector<uint32_t> outputSizes() override;           // inputSizes()
  uint32_t batchSize() override;                          // valid input: its batchSize(); else 0
  IModel* getModel() override;                            // valid input: its model; else null
  bool setPreOpArg() override;                            // true

  // Builds the host block from the model's outputs (see the header comment for when it is rebuilt).
  void initOpCfg();
  // initOpCfg(), then dumpOpCfg() when trace level is enabled on the library's channel.
  void setOpCfg();
  // Logs the block's text and its raw bytes at trace level; nothing without a block.
  void dumpOpCfg();

  // The host block (laid out as tensor_copy_cfg_t) and its size; null / 0 when there is none.  Owned by the
  // op; valid until the next setOpCfg()/getConfigAddressList() on a dynamic model or the op's destruction.
  const uint8_t* hostConfig() const { return copyCfg_; }
  uint64_t hostConfigSize() const { return copyCfgSize_; }

 private:
  bool isValidInOp();
  // Fills one record for model output index from the model's description of it.
  bool _getRealOutputConfig(IModel* model, int32_t index, tensor_copy_cfg_info_t& cfgInfo, uint32_t& normCfgCnt);
  void releaseCfg();

  uint64_t copyCfgSize_ = 0;
  uint8_t* copyCfg_ = nullptr;  // malloc'ed, owned
  // One graph may run on several streams at once: building, rebuilding and uploading the block from
  // getConfigAddressList is serialised per op.
  std::mutex cfgMutex_;
};

}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_STREAM_OP_STREAM_COPYMEM_OP_H
