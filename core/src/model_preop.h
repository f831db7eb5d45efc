// Pre-process op configuration of a loaded model.
//
// A compiled model may carry pre-process ops (quantisation, space-to-depth, embeddings, layer norms,
// detection) that run on the card's DSP cores before the network.  The device runtime keeps their
// configuration records per loaded module node.  At every load the model fetches them, copies each record
// into its own block of device stream memory (so that run instructions can point at it) and extracts, per
// op output, the quantisation scale as a half-precision pattern and the tensorisation type of the input.
#ifndef QOBL_MODEL_PREOP_H
#define QOBL_MODEL_PREOP_H

#include <dlpack/dlpack.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "device_block.h"

namespace zenlar {
namespace qobl {

// Records as the device runtime lays them out (little-endian, packed exactly).
#pragma pack(push, 1)
// Head of every pre-process op record.
struct dsp_op_common {
  uint8_t opcode;          // 0: op code; 255 means the op code is in opcode_ext
  uint8_t opcode_ext;      // 1
  uint8_t is_static;       // 2
  uint8_t cid;             // 3
  uint32_t len;            // 4: byte length of the whole record, head included
  uint32_t input_num;      // 8
  uint32_t input_offset;   // 12
  uint32_t output_num;     // 16: number N of outputs
  uint32_t output_offset;  // 20: offset from the record start of N dsp_addr records
};
// One op output.  precision: 1 = 8-bit unsigned data, 0 = 16-bit float data.
struct dsp_addr {
  uint64_t addr;                // 0
  uint16_t msg_id;              // 8
  uint16_t precision;           // 10
  uint32_t dims_num;            // 12
  uint32_t dims_ptr[6];         // 16
  uint32_t align_dims_ptr[6];   // 40
};
// Quantisation of one op output.
struct quant_addr {
  uint32_t is_quant;     // 0
  float quant_scale;     // 4
  float quant_bias;      // 8
  int8_t quant_min;      // 12
  int8_t quant_max;      // 13
  uint8_t reserved[2];   // 14
};
#pragma pack(pop)
static_assert(sizeof(dsp_op_common) == 24, "dsp_op_common is 24 bytes");
static_assert(offsetof(dsp_op_common, len) == 4, "dsp_op_common.len at 4");
static_assert(offsetof(dsp_op_common, output_num) == 16, "dsp_op_common.output_num at 16");
static_assert(offsetof(dsp_op_common, output_offset) == 20, "dsp_op_common.output_offset at 20");
static_assert(sizeof(dsp_addr) == 64, "dsp_addr is 64 bytes");
static_assert(offsetof(dsp_addr, precision) == 10, "dsp_addr.precision at 10");
static_assert(offsetof(dsp_addr, align_dims_ptr) == 40, "dsp_addr.align_dims_ptr at 40");
static_assert(sizeof(quant_addr) == 16, "quant_addr is 16 bytes");
static_assert(offsetof(quant_addr, quant_scale) == 4, "quant_addr.quant_scale at 4");
static_assert(offsetof(quant_addr, quant_max) == 13, "quant_addr.quant_max at 13");

// Offset, in every interpreted record, of the word giving the offset of the quant_addr table.
constexpr uint32_t kPreOpQuantOffsetPos = sizeof(dsp_op_common);
// Value of dsp_op_common.opcode that defers to opcode_ext.
constexpr uint8_t kPreOpExtendedOpcode = 255;

// Op codes of the pre-process ops whose outputs are interpreted.
enum dspOpMode : uint32_t {
  VDSP_OP_RESIZE_AND_SPACE_TO_DEPTH_2 = 195,
  VDSP_OP_QUANT = 197,
  ODSP_OP_DETECTION = 200,
  VDSP_OP_SPACE_TO_DEPTH = 201,
  ODSP_OP_RESIZE_AND_SPACE_TO_DEPTH = 202,
  VDSP_OP_EMBEDDINGS = 204,
  ODSP_OP_LAYERNORM = 205,
  ODSP_OP_LAYERNORM_TRANSPOSE = 206,
};

// What the run-model op needs from the pre-process ops of a loaded model.
struct PreOpCfg {
  std::vector<uint16_t> preOpScaleFactors_;  // half-precision scale per interpreted op output, in order
  std::vector<uint16_t> preOpTensorTypes_;   // qobeTensorizationType per interpreted output (or of input 0)
  std::vector<std::vector<uint16_t>> preOpExtraMeanStdScaleValues_;  // never filled by this library
};

// Half-precision bit pattern of x: rounds, flushes tiny values to signed zero and saturates large values
// (and infinities, NaNs) to sign | 0x7FFF.
uint16_t float_to_half(float x);

// precision 1 -> UINT8 (interleaved: UINT8_INTERLEAVE), 0 -> FP16 (FP16_INTERLEAVE), else NONE.
uint16_t mapDspTensorType2QoblTensorizationType(uint32_t precision, uint32_t interleave);
// uint8 -> UINT8, float16 -> FP16, anything else NONE; lanes are not looked at.
uint16_t mapDLDataType2QoblTensorizationType(const DLDataType& type);

// Appends one scale factor and one tensor type per output of the record at `op` (recordLen bytes long).
// Returns false, appending nothing, when the record's output or quantisation tables lie outside it.
bool quantTensorHandler(const uint8_t* op, uint32_t recordLen, PreOpCfg& preOpCfg, uint32_t interleave);

// Per-op-code entry points, each with its interleave flag.
bool vdspOpQuant(const uint8_t* op, uint32_t recordLen, PreOpCfg& preOpCfg);
bool vdspOpEmbeddings(const uint8_t* op, uint32_t recordLen, PreOpCfg& preOpCfg);
bool oDspOpResizeAndSpaceToDepth(const uint8_t* op, uint32_t recordLen, PreOpCfg& preOpCfg);
bool oDspOpResizeAndSpaceToDepth_2(const uint8_t* op, uint32_t recordLen, PreOpCfg& preOpCfg);
bool oDspOpLayerNorm(const uint8_t* op, uint32_t recordLen, PreOpCfg& preOpCfg);
bool oDspOpLayerNormTranspose(const uint8_t* op, uint32_t recordLen, PreOpCfg& preOpCfg);
bool oDspOpDetection(const uint8_t* op, uint32_t recordLen, PreOpCfg& preOpCfg);
bool vDspOpSpaceToDepth(const uint8_t* op, uint32_t recordLen, PreOpCfg& preOpCfg);

// Op code of a record: opcode, or opcode_ext when opcode is 255.
uint32_t preOpCode(const uint8_t* op);

// Interprets one record by its op code.  Records of op codes outside the table are left alone (true).
bool interpretPreOpRecord(const uint8_t* op, uint32_t recordLen, PreOpCfg& preOpCfg);

// Asks the model module for the element type of input 0; returns the module's code (0 = success).
using InputTypeQuery = std::function<int(DLDataType& type)>;

// Pre-process half of loading a module node: fetches the node's op records from the device runtime,
// uploads each into a fresh stream-memory block on devId (appended to blocks, in record order),
// interprets them into preOpCfg, and, when no output was interpreted, records the tensor type of input 0
// (from queryInput0Type).  Expects blocks and preOpCfg to be empty (see clearPreOpInfo).  On failure the
// blocks already uploaded stay in blocks, freed with them.  The runtime's record
// block is released on every path.  modelMd5 only names the model in messages.
bool loadPreOpInfo(uint32_t devId, const std::string& realModelName, const std::string& modelMd5,
                   const InputTypeQuery& queryInput0Type, std::vector<DeviceBlock>& blocks, PreOpCfg& preOpCfg);

// Frees every block (a failed free is logged and skipped) and empties blocks and preOpCfg.
void clearPreOpInfo(std::vector<DeviceBlock>& blocks, PreOpCfg& preOpCfg);

}  // namespace qobl
}  // namespace zenlar

#endif  // QOBL_MODEL_PREOP_H
