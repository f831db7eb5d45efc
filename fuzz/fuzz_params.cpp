// The parameter blob of a static model: the classifier with a mutated parameter file.
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qoblfuzz::setUp();
  using qoblfuzz::modelFile;
  qoblfuzz::loadStatic(modelFile("classifier", "model.so"), modelFile("classifier", "graph.json"),
                       qoblfuzz::writeFile("params.bin", data, size), modelFile("classifier", "hw.json"));
  return 0;
}
