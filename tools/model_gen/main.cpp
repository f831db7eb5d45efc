// qobl-model-gen: writes the generated files of a demo model (graph JSON, parameter blob, hardware
// configuration, samples with their CPU-computed expected outputs).
//
//   qobl-model-gen <classifier|segmenter|dynamic|trivial|parallel> <output directory>
#include <cstdio>
#include <cstring>
#include <exception>

#include "demo_models.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <classifier|segmenter|dynamic|trivial|parallel> <output directory>\n", argv[0]);
    return 2;
  }
  using namespace zenlar::qobl::modelgen;
  try {
    if (std::strcmp(argv[1], "classifier") == 0) {
      generateClassifier(argv[2]);
    } else if (std::strcmp(argv[1], "segmenter") == 0) {
      generateSegmenter(argv[2]);
    } else if (std::strcmp(argv[1], "dynamic") == 0) {
      generateDynamic(argv[2]);
    } else if (std::strcmp(argv[1], "trivial") == 0) {
      generateTrivial(argv[2]);
    } else if (std::strcmp(argv[1], "parallel") == 0) {
      generateParallel(argv[2]);
    } else {
      std::fprintf(stderr, "unknown model '%s'\n", argv[1]);
      return 2;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", argv[0], e.what());
    return 1;
  }
  return 0;
}
