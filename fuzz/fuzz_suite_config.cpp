// The suite configuration of a dynamic model: a mutated suite.json next to links to the demo suite's
// members (member0/, member1/), loaded with the suite's hardware configuration; a loaded model gets input
// shapes and a batch size.
#include <unistd.h>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qoblfuzz::setUp();
  static const bool linked = [] {
    for (const char* m : {"member0", "member1"})
      (void)symlink(qoblfuzz::modelFile("dynamic", m).c_str(), (qoblfuzz::scratchDir() + m).c_str());
    return true;
  }();
  (void)linked;
  const std::string suite = qoblfuzz::writeFile("suite.json", data, size);
  const std::string hw = qoblfuzz::modelFile("dynamic", "hw.json");
  qoblModel* model = nullptr;
  if (qoblCreateDynamicModel(suite.c_str(), hw.c_str(), &model) != 0) return 0;
  qobmShape shape{4, {1, 3, 8, 8}};
  uint32_t max = 0;
  qoblGetDynamicModelMaxBatchSize(model, &shape, 1, &max);
  if (qoblSetDynamicModelInputShape(model, &shape, 1) == 0) {
    qoblfuzz::exercise(model);
  } else {
    qoblDestroyModel(model);
  }
  return 0;
}
