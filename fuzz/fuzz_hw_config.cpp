// The hardware configuration of a static model: the classifier with a mutated hw.json (largest batch,
// core layouts, pre-process ops read back from the card when the batch size is set).
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qoblfuzz::setUp();
  using qoblfuzz::modelFile;
  qoblfuzz::loadStatic(modelFile("classifier", "model.so"), modelFile("classifier", "graph.json"),
                       modelFile("classifier", "params.bin"), qoblfuzz::writeFile("hw.json", data, size));
  return 0;
}
