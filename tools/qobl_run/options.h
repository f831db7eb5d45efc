// Command line of qobl-run: what to load, which inputs to feed, which pipeline to build, how to drive it
// and what to write.  Parsed with CLI11; `--opt value` and `--opt=value` both work.
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
  kExitOk = 0,            // every run completed (and matched, with --verify)
  kExitRunErrors = 1,     // at least one run failed on the card or was lost
  kExitUsage = 2,         // bad command line
  kExitModelDir = 3,      // model directory missing, incomplete or inconsistent with the model
  kExitSetup = 4,         // the library refused to load the model or to build the pipeline
  kExitMismatch = 5,      // --verify: an output differs from expected_output.bin
  kExitOutputFile = 6,    // an output file (--dot, --trace, --json, --dump-outputs) could not be written
  kExitSignalBase = 128   // plus the signal's number (130, 143): SIGINT or SIGTERM stopped the runs early,
                          // and none of the codes 1, 4, 5 and 6 applies
};

// Deepest --in-flight accepted (the card memory its slots take is checked once the model is loaded).
constexpr uint32_t kMaxInFlight = 1024;

// Where the inputs come from.
enum class InputKind { kSample, kRandom, kZeros, kFiles };

struct Options {
  std::string modelDir;           // empty: the bundled classifier next to the binary
  std::vector<Stage> stages;      // empty: input,model (plus copy when the model needs it)
  uint32_t streams = 1;
  bool streamsGiven = false;      // --streams given (else one stream per card)
  uint32_t runs = 200;            // application inputs over all streams
  bool runsGiven = false;
  double duration = 0;            // seconds; > 0: run until spent instead of --runs
  uint32_t warmup = 0;            // device runs per stream before measuring
  uint32_t batch = 0;             // 0: the model's largest batch size
  bool sync = false;
  uint32_t inFlight = 4;          // asynchronous: device runs each stream keeps in flight
  bool verify = false;
  bool profile = false;           // print (and with --json write) the card time of every op and device run
  InputKind input = InputKind::kSample;
  std::vector<std::string> inputFiles;   // kFiles: one per model input
  uint32_t seed = 1;              // kRandom
  std::vector<uint32_t> devices{0};      // cards the streams are spread over, round-robin
  std::string dotFile, traceFile, jsonFile, dumpDir;
  uint32_t dumpCount = 1;         // --dump-outputs: runs whose outputs are written
  std::string shape;              // dynamic models: "HxW" of the input planes; empty: first sample
  uint32_t timeoutMs = 60000;     // longest wait for one completion or synchronisation
  int logLevel = -1;              // the library's log level; -1: QOBM_LOG_LEVEL, else ERROR
  bool help = false, version = false;
};

// Parses argv.  On a bad command line returns false and puts the reason in *error.  --help and --version
// set the flags and return true.
bool parseOptions(int argc, const char* const* argv, Options* out, std::string* error);

std::string usageText(const char* argv0);

}  // namespace qoblrun
}  // namespace zenlar

#endif  // QOBL_RUN_OPTIONS_H
