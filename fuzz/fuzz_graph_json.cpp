// The graph JSON of a static model: the classifier with a mutated graph file.
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qoblfuzz::setUp();
  using qoblfuzz::modelFile;
  qoblfuzz::loadStatic(modelFile("classifier", "model.so"), qoblfuzz::writeFile("graph.json", data, size),
                       modelFile("classifier", "params.bin"), modelFile("classifier", "hw.json"));
  return 0;
}
