// Command line of qobl-run: what to load, which pipeline to build and how to drive it.
#ifndef QOBL_RUN_OPTIONS_H
#define QOBL_RUN_OPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

#include "qobl_tools/pipeline.h"

namespace zenlar {
namespace qoblrun {

using qobltools::parseStages;
using qobltools::Stage;
using qobltools::stageName;

// Exit codes of qobl-run (also listed by --help).
enum ExitCode : int {
  kExitOk = 0,         // every run completed (and matched, with --verify)
  kExitRunErrors = 1,  // at least one run failed on the card or was lost
  kExitUsage = 2,      // bad command line
  kExitModelDir = 3,   // model directory missing, incomplete or inconsistent with the model
  kExitSetup = 4,      // the library refused to load the model or to build the pipeline
  kExitMismatch = 5,   // --verify: an output differs from expected_output.bin
  kExitOutputFile = 6  // --dot / --trace file could not be written
};

struct Options {
  std::string modelDir;           // empty: the bundled classifier next to the binary
  std::vector<Stage> stages;      // empty: input,model (plus copy when the model needs it)
  uint32_t streams = 1;
  uint32_t runs = 200;            // application inputs over all streams
  uint32_t batch = 0;             // 0: the model's largest batch size
  bool sync = false;
  bool verify = false;
  std::string dotFile;
  std::string traceFile;
  std::string shape;              // dynamic models: "HxW" of the input planes; empty: first sample
  uint32_t timeoutMs = 60000;     // longest wait for one completion or synchronisation
  bool help = false;
};

// Parses argv.  On a bad command line returns false and puts the reason in *error.
bool parseOptions(int argc, const char* const* argv, Options* out, std::string* error);

std::string usageText(const char* argv0);

}  // namespace qoblrun
}  // namespace zenlar

#endif  // QOBL_RUN_OPTIONS_H
