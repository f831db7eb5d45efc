// The input every run of qobl-run is fed: the model's sample, seeded random values, zeros, or the user's
// raw files (one per model input).
#ifndef QOBL_RUN_INPUTS_H
#define QOBL_RUN_INPUTS_H

#include <cstdint>
#include <string>
#include <vector>

#include "qobl_tools/pipeline.h"

namespace zenlar {
namespace qoblrun {

// Random values of one batch item for every input, back to back: float32/float16/bfloat16 elements
// uniform in [-1, 1), every other type random bytes; the same seed gives the same bytes.
std::vector<uint8_t> randomInput(const qobltools::ModelInfo& info, uint32_t seed);

// The contents of one raw file per model input, back to back.  Returns "" or which file does not fit which
// input (missing, unreadable, or not exactly the input's byte size).
std::string fileInput(const qobltools::ModelInfo& info, const std::vector<std::string>& files,
                      std::vector<uint8_t>* out);

// "[1,3,16,16] float32, 3072 bytes"
std::string inputText(const qobltools::TensorInfo& t);

}  // namespace qoblrun
}  // namespace zenlar

#endif  // QOBL_RUN_INPUTS_H
