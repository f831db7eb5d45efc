// Shared pieces of the fuzz targets: the demo models of the build, a scratch directory for the mutated
// file, and the library set up once (device 0 current, logging silenced).
//
// Every target writes the fuzzer's bytes to one file, loads a model through the public load functions with
// that file in place of one of the demo model's files, then (when the load succeeds) sets the batch size
// or shapes, asks the model a few questions and destroys it.  Any crash, leak or oversized allocation is
// reported by libFuzzer and the sanitizers.
#ifndef QOBL_FUZZ_FUZZ_SUPPORT_H
#define QOBL_FUZZ_FUZZ_SUPPORT_H

#include <qobm/qobm.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "qobl_api.h"

namespace qoblfuzz {

// <build>/models/<model>/<file>; the build directory is compiled in (QOBL_FUZZ_MODELS_DIR) and may be
// overridden with QOBL_BUILD_DIR.
inline std::string modelFile(const std::string& model, const std::string& file) {
  const char* build = std::getenv("QOBL_BUILD_DIR");
  const std::string models = build != nullptr ? std::string(build) + "/models" : std::string(QOBL_FUZZ_MODELS_DIR);
  return models + "/" + model + "/" + file;
}

// A directory of its own for this process, removed at exit.
inline const std::string& scratchDir() {
  static const std::string dir = [] {
    char templ[] = "/tmp/qobl_fuzz_XXXXXX";
    const char* made = mkdtemp(templ);
    std::string d = made != nullptr ? std::string(made) + "/" : std::string("/tmp/");
    static std::string removeAtExit;
    removeAtExit = "rm -rf '" + d + "'";
    std::atexit([] { (void)std::system(removeAtExit.c_str()); });
    return d;
  }();
  return dir;
}

// Writes the bytes to <scratch>/<name> and returns the path.
inline std::string writeFile(const std::string& name, const uint8_t* data, size_t size) {
  const std::string path = scratchDir() + name;
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f != nullptr) {
    if (size != 0) (void)std::fwrite(data, 1, size, f);
    std::fclose(f);
  }
  return path;
}

// Device 0 current on the fuzzing thread, library logging off (the fuzzer's output stays readable).
inline void setUp() {
  static const bool done = [] {
    qobmSetDevice(0);
    qobmSetLogLevel(qobmLL_FATAL);
    return true;
  }();
  (void)done;
}

// After a successful load: the batch size (loads the model on the card), a few questions, destroy.
inline void exercise(qoblModel* model) {
  uint32_t batch = 2, count = 0;
  if (qoblSetModelBatchSize(model, &batch) == 0) {
    qoblGetModelInputCount(model, &count);
    qoblGetModelOutputCount(model, &count);
    qobmShape shape{};
    uint64_t size = 0;
    qoblGetModelInputShapeByIndex(model, 0, &shape);
    qoblGetModelOutputShapeByIndex(model, 0, &shape);
    qoblGetModelOutputSizeByIndex(model, 0, &size);
    qoblGetModelAlignOutputSizeByIndex(model, 0, &size);
  }
  qoblDestroyModel(model);
}

// A static model from the classifier's files with one of them replaced.
inline void loadStatic(const std::string& lib, const std::string& graph, const std::string& params,
                       const std::string& hw) {
  qoblModel* model = nullptr;
  if (qoblCreateModel(lib.c_str(), graph.c_str(), params.c_str(), hw.c_str(), &model) == 0) exercise(model);
}

}  // namespace qoblfuzz

#endif  // QOBL_FUZZ_FUZZ_SUPPORT_H
