// A model directory as the tools see it: which files it holds (a static model or a dynamic-shape suite),
// checked before anything is loaded; what its files say about the model without loading it (digest,
// input and output names and element types, hardware-configuration keys); and the sample inputs with their
// expected outputs that may sit beside it.
//
// Everything here is plain data read from files; nothing touches the card or the library.
#ifndef QOBL_TOOLS_MODEL_DIR_H
#define QOBL_TOOLS_MODEL_DIR_H

#include <cstdint>
#include <string>
#include <vector>

#include "qobl_tools/dtype.h"

namespace zenlar {
namespace qobltools {

// One placeholder or output of a model's graph.
struct GraphTensor {
  std::string name;             // placeholder name; an output is named by its node (":<index>" when the
                                // node has several outputs)
  DType dtype;
  std::vector<int64_t> shape;   // as the graph writes it (may hold -1 extents in a dynamic member)
};

// What a model's graph JSON and parameter blob say about its interface: the real inputs (placeholders that
// are not parameters, in arg_nodes order - the order the card runtime numbers them) and the outputs (heads).
struct GraphSignature {
  std::vector<GraphTensor> inputs, outputs;
};

// Reads the signature from graph JSON text and the parameter blob's bytes (only the names are read).
// Returns "" or what is wrong with either file.
std::string readGraphSignature(const std::string& graphJson, const std::vector<uint8_t>& params,
                               GraphSignature* out);

// One member of a dynamic suite: its three files and, per model input, the smallest and largest shape.
struct SuiteMember {
  std::string key;                        // "member0"
  std::string lib, params, graph;         // full paths
  std::vector<std::vector<int64_t>> minShapes, maxShapes;   // per input
};

struct ModelDir {
  std::string dir;          // as given, with a trailing '/'
  std::string name;         // last path component
  bool dynamic = false;     // suite.json present
  std::string lib, graph, params, hw, suite;   // full paths; hw empty when absent; lib/graph/params of a
                                               // dynamic model are those of member 0
  std::vector<SuiteMember> members;            // dynamic only, in suite order

  // Dynamic: the shapes of every input at spatial size height x width ([1, C, height, width] with C and the
  // rank from the first member whose ranges hold that size, else from member 0).  Empty for a static model.
  std::vector<std::vector<int64_t>> inputShapesAt(int64_t height, int64_t width) const;
  // Dynamic: whether some member's ranges hold every input at that spatial size.
  bool suiteCovers(int64_t height, int64_t width) const;
  // Dynamic: the spatial sizes each member covers, for messages ("4x4 to 16x16, 17x17 to 32x32"), from
  // the ranges of its first input.
  std::string coveredSizesText() const;
};

// Inspects `dir` (static: model.so, graph.json, params.bin, optional hw.json; dynamic: suite.json with its
// member files, optional hw.json).  Returns "" on success, else a message naming the file and what is wrong
// with it.  Sample files are not looked at (see findSample).
std::string openModelDir(const std::string& dir, ModelDir* out);

// The model's name towards the library: the MD5 digest of its files, computed as the library computes it
// (static: library, graph, parameters and hardware configuration bytes; dynamic: per member, then the
// hardware configuration).  "" when a file cannot be read.
std::string modelDigest(const ModelDir& dir);

// The signature of the model (member 0 for a dynamic suite).  Returns "" or what is wrong.
std::string readSignature(const ModelDir& dir, GraphSignature* out);

// hw.json: the top-level keys in file order (empty without hw.json) and the pre-processing op entries, each
// as compact JSON text.  Returns "" or what is wrong with the file.
std::string readHwConfig(const ModelDir& dir, std::vector<std::string>* keys, std::vector<std::string>* preOps);

// A sample input (raw little-endian bytes of one batch item, inputs in order) and its expected outputs.
struct Sample {
  std::string dir;                    // directory of sample_input.bin / expected_output.bin, trailing '/'
  int64_t height = 0, width = 0;      // dynamic: the sample's spatial size
  std::vector<uint8_t> input;
  std::vector<uint8_t> expected;      // empty when expected_output.bin is absent
};

// Parses "HxW": two decimal numbers from 1 to 2147483647; false otherwise.
bool parseHxW(const std::string& text, int64_t* height, int64_t* width);

// The dynamic sample sizes present under <dir>samples/ ("8x8", ...), smallest area first.
std::vector<std::string> sampleShapes(const ModelDir& dir);

// Reads the sample of the model (static: in the directory itself; dynamic: samples/<shape>/, where an empty
// `shape` picks the smallest).  expected_output.bin is required only when needExpected is set.  Returns ""
// or a message naming the file and what is wrong.
std::string findSample(const ModelDir& dir, const std::string& shape, bool needExpected, Sample* out);

// The spatial size the tools load a dynamic model at when no --shape is given: the smallest sample's, else
// the smallest size of the suite's first member.  qobl-run and qobl-info agree on it, so that the input
// sizes qobl-info lists are the ones qobl-run takes.
void defaultShape(const ModelDir& dir, int64_t* height, int64_t* width);

// The default model: <directory of the running program>/../models/classifier, or the installed
// <prefix>/<libdir>/qobl/models/classifier; "" when neither exists.
std::string defaultModelDir();

// Reads a whole file; false, with errno telling why, when it cannot be opened or read (a directory
// included).
bool readFile(const std::string& path, std::vector<uint8_t>* out);
// The same, reading at most `limit` bytes: a file that holds more leaves out->size() == limit.  For paths
// that may name an endless source (/dev/zero, a pipe) whose expected size is known.
bool readFile(const std::string& path, std::vector<uint8_t>* out, uint64_t limit);

}  // namespace qobltools
}  // namespace zenlar

#endif  // QOBL_TOOLS_MODEL_DIR_H
