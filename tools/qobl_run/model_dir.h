// The model directory qobl-run is pointed at: which files it holds, checked before anything is loaded, and
// the sample input and expected output read from it.
#ifndef QOBL_RUN_MODEL_DIR_H
#define QOBL_RUN_MODEL_DIR_H

#include <cstdint>
#include <string>
#include <vector>

namespace zenlar {
namespace qoblrun {

struct ModelDir {
  std::string dir;          // as given, with a trailing '/'
  std::string name;         // last path component
  bool dynamic = false;     // suite.json present
  std::string lib, graph, params, hw, suite;   // full paths; hw empty when absent
  std::string sampleDir;    // directory of sample_input.bin / expected_output.bin
  int64_t height = 0, width = 0;               // dynamic: spatial size of the chosen sample
  std::vector<std::vector<int64_t>> inputShapes;   // dynamic: per input, [1, C, height, width]
  std::vector<uint8_t> sampleInput;            // raw bytes, inputs in order, one batch item
  std::vector<uint8_t> expectedOutput;         // raw bytes, outputs in order, one item; empty if absent
};

// Inspects `dir` (static: model.so, graph.json, params.bin, optional hw.json, sample_input.bin,
// expected_output.bin; dynamic: suite.json with its member files, optional hw.json,
// samples/<H>x<W>/).  `shape` picks the dynamic sample ("HxW"; empty: the smallest).  expected_output.bin
// is required only when needExpected is set.  Returns "" on success, else a message naming the file and
// what is wrong with it.
std::string openModelDir(const std::string& dir, const std::string& shape, bool needExpected, ModelDir* out);

// The default model: <directory of the running program>/../models/classifier, or the installed
// <prefix>/share/qobl/models/classifier; "" when neither exists.
std::string defaultModelDir();

}  // namespace qoblrun
}  // namespace zenlar

#endif  // QOBL_RUN_MODEL_DIR_H
