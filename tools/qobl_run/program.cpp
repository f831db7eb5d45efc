// qobl-run's work from its command line to its exit code: see program.h.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <fstream>
#include <memory>
#include <string>

#include <qobcrt/qobcrt.h>

#include "inputs.h"
#include "interrupt.h"
#include "options.h"
#include "program.h"
#include "qobl_tools/card_memory.h"
#include "qobl_tools/cli.h"
#include "qobl_tools/library.h"
#include "qobl_tools/model_dir.h"
#include "qobl_tools/pipeline.h"
#include "qobl_tools/stream.h"
#include "report.h"
#include "runner.h"

using namespace zenlar::qoblrun;
using zenlar::qobltools::ModelDir;
using zenlar::qobltools::ModelInfo;
using zenlar::qobltools::Pipeline;
using zenlar::qobltools::Sample;
using zenlar::qobltools::stagesText;

namespace {

int failWith(int code, const std::string& msg) {
  std::fprintf(stderr, "qobl-run: %s\n", msg.c_str());
  return code;
}

// An output file, opened (and so checked) before anything runs and written at the end.  "-", or a path
// naming what stdout already is (/dev/stdout, say), is stdout: the file is then written there alone, and
// the summary goes to stderr.
struct OutFile {
  std::string path;
  const char* what = "";
  std::ofstream f;
  bool toStdout = false;
  struct stat id = {};        // the file's device and inode, once opened
  std::string open(const std::string& p, const char* kind) {
    path = p;
    what = kind;
    if (p.empty()) return "";
    struct stat out = {};
    toStdout = p == "-" || (::stat(p.c_str(), &id) == 0 && ::fstat(STDOUT_FILENO, &out) == 0 &&
                            id.st_dev == out.st_dev && id.st_ino == out.st_ino);
    if (toStdout) return "";
    f.open(p, std::ios::binary | std::ios::trunc);
    if (!f) return std::string("cannot write the ") + what + " file " + p + ": " + std::strerror(errno);
    if (::stat(p.c_str(), &id) != 0) return std::string("cannot write the ") + what + " file " + p + ": " + std::strerror(errno);
    return "";
  }
  // The same file as `o` (both stdout, or one regular file): the second written would overwrite the first.
  // A device such as /dev/null takes each output whole in turn.
  bool same(const OutFile& o) const {
    if (path.empty() || o.path.empty()) return false;
    if (toStdout || o.toStdout) return toStdout && o.toStdout;
    return S_ISREG(id.st_mode) && id.st_dev == o.id.st_dev && id.st_ino == o.id.st_ino;
  }
  std::string write(const std::string& text, const char* kind) {
    if (toStdout) {
      std::fflush(stdout);
      errno = 0;
      if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0)
        return std::string("cannot write the ") + kind + " to stdout: " + std::strerror(errno != 0 ? errno : EIO);
      return "";
    }
    f << text;
    f.close();
    if (!f) return std::string("cannot write the ") + kind + " file " + path + ": " + std::strerror(errno);
    return "";
  }
};

// Creates the dump directory when missing, with its missing parents (as mkdir -p), and checks it can be
// written.
std::string prepareDumpDir(const std::string& dir) {
  struct stat st;
  for (size_t at = dir.find('/', 1);; at = dir.find('/', at + 1)) {
    const std::string part = dir.substr(0, at);
    if (::stat(part.c_str(), &st) != 0 && ::mkdir(part.c_str(), 0777) != 0 && errno != EEXIST)
      return "cannot create the --dump-outputs directory " + part + ": " + std::strerror(errno);
    if (at == std::string::npos) break;
  }
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return "--dump-outputs " + dir + " is not a directory";
  if (::access(dir.c_str(), W_OK | X_OK) != 0)
    return "cannot write to the --dump-outputs directory " + dir + ": " + std::strerror(errno);
  return "";
}

// "" when the sample files fit the model's sizes; else which file does not.
std::string checkSample(const Sample& s, const ModelInfo& info) {
  std::string inText, outText;
  for (const auto& t : info.inputs)
    inText += (inText.empty() ? "" : " + ") + zenlar::qobltools::shapeText(t.shape) + " " +
              zenlar::qobltools::dtypeText(t.dtype);
  for (const auto& t : info.outputs) outText += (outText.empty() ? "" : " + ") + zenlar::qobltools::shapeText(t.shape);
  if (s.input.size() != info.inputBytes())
    return s.dir + "sample_input.bin holds " + std::to_string(s.input.size()) + " bytes, the model's inputs " +
           inText + " take " + std::to_string(info.inputBytes()) + " bytes";
  if (!s.expected.empty() && s.expected.size() != info.outputBytes())
    return s.dir + "expected_output.bin holds " + std::to_string(s.expected.size()) + " bytes, the model's outputs " +
           outText + " take " + std::to_string(info.outputBytes()) + " bytes (used by --verify)";
  return "";
}

// "" when the normalize stage (if the pipeline has one) fits the model's inputs; else why it does not.  The
// stage reads every input it converts as float32 values and hands the model uint8 or float16 data; an input
// that holds anything but float32 would be read as floats and reach the model as garbage (a uint8 input as
// zeros).  What it converts each input to is set when a stream over the graph is built, so a synchronous
// trial stream is made and dropped first.  *setupFailed tells a library failure from a misfit.
std::string checkNormalize(const Pipeline& p, bool* setupFailed) {
  *setupFailed = false;
  const auto& stages = p.stages();
  if (std::find(stages.begin(), stages.end(), zenlar::qobltools::Stage::kNormalize) == stages.end()) return "";
  {
    zenlar::qobltools::StreamOptions so;
    so.sync = true;
    std::unique_ptr<zenlar::qobltools::Stream> trial;
    const std::string err = zenlar::qobltools::Stream::create(p, so, &trial);
    if (!err.empty()) {
      *setupFailed = true;
      return "building a stream over " + stagesText(stages) + ": " + err;
    }
  }
  const std::vector<int32_t> conv = p.normalizeConversions();
  const ModelInfo& info = p.info();
  for (size_t i = 0; i < conv.size() && i < info.inputs.size(); ++i) {
    const auto& t = info.inputs[i];
    const bool float32 = t.dtype.code == 2 && t.dtype.bits == 32 && t.dtype.lanes == 1;
    if (conv[i] == qobeTENSORIZATION_NONE || float32) continue;
    const bool toU8 = conv[i] == qobeTENSORIZATION_UINT8 || conv[i] == qobeTENSORIZATION_UINT8_INTERLEAVE;
    std::vector<zenlar::qobltools::Stage> without;
    for (auto s : stages) {
      if (s != zenlar::qobltools::Stage::kNormalize) without.push_back(s);
    }
    return "--graph " + stagesText(stages) + ": the normalize stage converts float32 values to " +
           (toU8 ? "uint8" : "float16") + " for input " + std::to_string(i) + " \"" + t.name + "\", which holds " +
           zenlar::qobltools::dtypeText(t.dtype) + " already: its bytes would be read as float32 values and the " +
           "model would compute on garbage" + (toU8 ? " (mostly zeros)" : "") +
           "; leave normalize out to hand the input to the model as it is: --graph " + stagesText(without);
  }
  return "";
}

// What to do about a sample that is missing or does not fit (the problem itself is `err`): without
// --verify, other inputs do; --verify needs the sample and its expected output.
std::string sampleHint(bool verify, const std::string& err) {
  if (!verify) return " (or give inputs: --input random|zeros|FILE[,FILE...])";
  return err.find("--verify") != std::string::npos ? "" : " (--verify compares with the sample's expected output)";
}

// Puts back the actions of SIGINT and SIGTERM after the runs and their report, and returns code; but a
// signal that arrived after the runs (the one that stopped them, runsStop, excepted) now ends the program
// by its default action, as it would have on arrival had the report not been under way.
int endAfterRuns(int code, int runsStop) {
  const int late = releaseStopSignals();
  if (late != 0 && runsStop == 0) ::raise(late);
  return code;
}

int run(const Options& o) {
  // Until the runs, a signal ends qobl-run at once (there is nothing to report yet), saying so.
  catchSignalsBeforeRuns();
  // The library's log: the level asked for (else QOBM_LOG_LEVEL, else ERROR), through the tools' sink so
  // that a failing call's reason becomes part of qobl-run's own message.
  const char* envLevel = std::getenv("QOBM_LOG_LEVEL");
  if (o.logLevel >= 0) {
    qobmSetLogLevel(static_cast<uint32_t>(o.logLevel));
  } else if (envLevel == nullptr || envLevel[0] == '\0') {
    qobmSetLogLevel(qobmLL_ERROR);
  }
  zenlar::qobltools::installLogSink("qobl-run");

  // Output files are checked before anything runs.
  OutFile dot, trace, json;
  std::string err = dot.open(o.dotFile, "DOT");
  if (err.empty()) err = trace.open(o.traceFile, "trace");
  if (err.empty()) err = json.open(o.jsonFile, "JSON");
  if (err.empty() && !o.dumpDir.empty()) err = prepareDumpDir(o.dumpDir);
  if (!err.empty()) return failWith(kExitOutputFile, err);
  // Two outputs in one file would overwrite each other: the first one written would be lost.
  const std::pair<const OutFile*, const char*> outputs[] = {{&dot, "--dot"}, {&trace, "--trace"}, {&json, "--json"}};
  for (size_t i = 0; i < 3; ++i) {
    for (size_t k = i + 1; k < 3; ++k) {
      if (outputs[i].first->same(*outputs[k].first))
        return failWith(kExitUsage, std::string(outputs[i].second) + " and " + outputs[k].second + " name the same " +
                                        (outputs[i].first->toStdout ? "stdout" : "file " + outputs[k].first->path) +
                                        ": give each its own");
    }
  }
  // With an output file on stdout, stdout holds that file only; the summary goes to stderr.
  FILE* summaryOut = dot.toStdout || trace.toStdout || json.toStdout ? stderr : stdout;

  uint32_t cardCount = 0;
  if (qobcrt_get_device_count(&cardCount) != 0 || cardCount == 0) return failWith(kExitSetup, "no card found");
  for (uint32_t d : o.devices) {
    if (d >= cardCount)
      return failWith(kExitUsage, zenlar::qobltools::missingCardText(d, cardCount));
  }
  const uint32_t streams = o.streamsGiven ? o.streams : static_cast<uint32_t>(o.devices.size());

  std::string dirPath = o.modelDir;
  if (dirPath.empty()) {
    dirPath = zenlar::qobltools::defaultModelDir();
    if (dirPath.empty())
      return failWith(kExitModelDir,
                      "no --model given and the bundled classifier was not found (looked for ../models/classifier "
                      "and, installed, ../<libdir>/qobl/models/classifier next to the program)");
  }
  ModelDir dir;
  err = zenlar::qobltools::openModelDir(dirPath, &dir);
  if (!err.empty()) return failWith(kExitModelDir, err);

  // The spatial size of a dynamic model and, by default, the sample input.
  Sample sample;
  int64_t height = 0, width = 0;
  if (!dir.dynamic && !o.shape.empty())
    return failWith(kExitUsage, "--shape applies to dynamic models only (" + dir.dir + " has no suite.json)");
  // A size no member covers is a wrong --shape whatever the inputs, not a missing sample.
  if (dir.dynamic && !o.shape.empty()) {
    zenlar::qobltools::parseHxW(o.shape, &height, &width);
    if (!dir.suiteCovers(height, width))
      return failWith(kExitUsage, "--shape " + o.shape + ": no member of " + dir.suite + " covers it (its members cover " +
                                      dir.coveredSizesText() + ")");
  }
  if (o.input == InputKind::kSample) {
    err = zenlar::qobltools::findSample(dir, o.shape, o.verify, &sample);
    if (!err.empty()) return failWith(kExitModelDir, err + sampleHint(o.verify, err));
    height = sample.height;
    width = sample.width;
  } else if (dir.dynamic && o.shape.empty()) {
    zenlar::qobltools::defaultShape(dir, &height, &width);
  }

  // One pipeline per card.
  std::vector<std::unique_ptr<Pipeline>> cards;
  zenlar::qobltools::LoadOptions lo;
  lo.batch = o.batch;
  lo.inputShapes = dir.inputShapesAt(height, width);
  for (uint32_t d : o.devices) {
    lo.device = d;
    cards.emplace_back(new Pipeline);
    err = cards.back()->load(dir, lo);
    if (!err.empty()) return failWith(cards.back()->fileProblem() ? kExitModelDir : kExitSetup, err);
  }
  const Pipeline& first = *cards.front();
  const ModelInfo& info = first.info();

  RunData data;
  std::string inputText;
  switch (o.input) {
    case InputKind::kSample:
      err = checkSample(sample, info);
      if (!err.empty()) return failWith(kExitModelDir, err + sampleHint(o.verify, err));
      data.input = sample.input;
      data.expected = sample.expected;
      inputText = sample.dir.substr(dir.dir.size()) + "sample_input.bin";
      break;
    case InputKind::kRandom:
      data.input = randomInput(info, o.seed);
      inputText = "random (seed " + std::to_string(o.seed) + ")";
      break;
    case InputKind::kZeros:
      data.input.assign(info.inputBytes(), 0);
      inputText = "zeros";
      break;
    case InputKind::kFiles: {
      err = fileInput(info, o.inputFiles, &data.input);
      if (!err.empty() && dir.dynamic && o.shape.empty())
        err += " at " + std::to_string(height) + "x" + std::to_string(width) + ", the default size (--shape HxW sets another)";
      if (!err.empty()) return failWith(kExitUsage, err);
      for (const auto& f : o.inputFiles) inputText += (inputText.empty() ? "" : ", ") + f;
      break;
    }
  }

  std::vector<Stage> stages = o.stages;
  if (stages.empty()) {
    stages = {Stage::kInput, Stage::kModel};
    if (info.needsCopy()) stages.push_back(Stage::kCopy);
  }
  // An output in a core layout needs the copy op below the model: the library refuses to build a stream
  // without it, and its bytes could not be compared or dumped as the plain tensor anyway.
  if (stages.back() == Stage::kModel && info.needsCopy()) {
    for (const auto& t : info.outputs) {
      if (t.coreLayout())
        return failWith(kExitUsage, "--graph " + stagesText(stages) + ": model " + dir.name + " stores output " +
                                        std::to_string(t.index) +
                                        " in a core layout (" + std::to_string(t.cardBytes) + " bytes on the card, " +
                                        std::to_string(t.bytes) + " plain); add the copy op: --graph " +
                                        stagesText(stages) + ",copy");
    }
  }
  for (auto& p : cards) {
    err = p->build(stages);
    if (!err.empty()) return failWith(kExitSetup, "building the pipeline " + stagesText(stages) + ": " + err);
  }
  {
    bool setupFailed = false;
    err = checkNormalize(first, &setupFailed);
    if (!err.empty()) return failWith(setupFailed ? kExitSetup : kExitUsage, err);
  }
  if (!o.dotFile.empty()) {
    err = dot.write(first.dotText(dir.name), "DOT");
    if (!err.empty()) return failWith(kExitOutputFile, err);
  }

  std::vector<const Pipeline*> pipelines;
  for (auto& p : cards) pipelines.push_back(p.get());
  if (!o.sync) {
    bool setupFailed = false;
    err = checkSlotMemory(pipelines, streams, o.inFlight, !o.traceFile.empty() || o.profile, &setupFailed);
    if (!err.empty()) return failWith(setupFailed ? kExitSetup : kExitUsage, err);
  }

  RunConfig cfg;
  cfg.streams = streams;
  cfg.runs = o.runs;
  cfg.duration = o.duration;
  cfg.warmup = o.warmup;
  cfg.sync = o.sync;
  cfg.inFlight = o.inFlight;
  cfg.verify = o.verify;
  cfg.trace = !o.traceFile.empty();
  cfg.profile = o.profile;
  cfg.dumpDir = o.dumpDir;
  cfg.dumpCount = o.dumpCount;
  cfg.timeoutMs = o.timeoutMs;
  cfg.stop = &stopSignal();
  uint32_t watched = 0;
  for (uint32_t d : o.devices) watched = std::max(watched, d + 1);
  MemoryWatcher mem(watched);
  RunResult result;
  // From the streams' creation to the end of the teardown, the first SIGINT or SIGTERM stops the runs
  // early and the summary covers what completed; before (while loading) they end the program at once.
  catchStopSignals();
  err = runPipelines(pipelines, data, cfg, &mem, &result);
  const std::string chain = first.chainText();
  const uint32_t batch = info.batch, maxBatch = info.maxBatch;
  cards.clear();   // releases every pipeline
  // The signal that stopped the runs, if one did.  The handlers stay until the summary is printed and the
  // files are written: a signal meanwhile is noted and ends the program once they are whole (a second one,
  // as during the runs, at once), so that a --json or --trace file is either whole or empty.
  result.stopSignal = stopSignal().load();
  result.memPeakBytes = mem.peak();
  result.memAfterBytes = zenlar::qobltools::cardLiveBytes(watched);
  if (!err.empty()) return endAfterRuns(failWith(kExitSetup, err), result.stopSignal);

  const auto report = [&]() -> int {
    SummaryHeader h;
    h.modelName = dir.name;
    h.model = dir.name + (dir.dynamic ? " (dynamic, " + std::to_string(height) + "x" + std::to_string(width) + ")"
                                      : " (static)");
    h.pipeline = chain;
    const std::string cardsText = o.devices.size() == 1 && o.devices[0] == 0
                                      ? ""
                                      : " over " + std::to_string(o.devices.size()) + " card" +
                                            (o.devices.size() == 1 ? " (" + std::to_string(o.devices[0]) + ")" : "s");
    h.mode = std::string(o.sync ? "synchronous" : "asynchronous") + ", " + std::to_string(streams) + " stream" +
             (streams == 1 ? "" : "s") + " on " + std::to_string(streams) + " thread" + (streams == 1 ? "" : "s") +
             cardsText;
    if (!o.sync)
      h.mode += ", " + std::to_string(o.inFlight) + " device run" + (o.inFlight == 1 ? "" : "s") + " in flight" +
                (streams == 1 ? "" : " per stream");
    h.input = inputText;
    h.sync = o.sync;
    h.streams = streams;
    h.inFlight = o.sync ? 0 : o.inFlight;
    h.batch = batch;
    h.maxBatch = maxBatch;
    h.warmup = o.warmup;
    h.verify = o.verify;
    char durationText[32];
    std::snprintf(durationText, sizeof durationText, "%g", o.duration);
    h.asked = o.duration > 0 ? std::string("--duration ") + durationText : "--runs " + std::to_string(o.runs);
    errno = 0;
    std::fputs(summaryTable(h, result).c_str(), summaryOut);
    if (result.profiled) std::fputs(profileTable(result).c_str(), summaryOut);
    // A summary that could not be printed (stdout closed, or on a full disk) fails the run like any output
    // file: a script must not take the missing figures for a success.
    std::string summaryErr;
    if (std::fflush(summaryOut) != 0 || std::ferror(summaryOut) != 0)
      summaryErr = std::string("cannot write the summary to ") + (summaryOut == stdout ? "stdout" : "stderr") + ": " +
                   std::strerror(errno != 0 ? errno : EIO);
    for (const auto& e : result.errors) std::fprintf(stderr, "qobl-run: error: %s\n", e.c_str());

    err.clear();
    if (!o.jsonFile.empty()) err = json.write(summaryJson(h, result), "JSON");
    if (err.empty() && !o.traceFile.empty()) err = trace.write(traceJson(result.events, result.lanes), "trace");
    if (err.empty() && !result.dumpError.empty()) err = result.dumpError;
    if (err.empty()) err = summaryErr;
    if (!err.empty()) return failWith(kExitOutputFile, err);
    if (result.mismatch) {
      const Mismatch& m = result.firstMismatch;
      return failWith(kExitMismatch, "VERIFICATION FAILED: run " + std::to_string(m.run) + " (stream " +
                                         std::to_string(m.stream) + "), output " + std::to_string(m.output) +
                                         ", element " + std::to_string(m.element) + " (byte " +
                                         std::to_string(m.byteOffset) + "): got " + m.got + ", expected " + m.expected +
                                         " (" + sample.dir + "expected_output.bin)");
    }
    // A fault found before or while being interrupted outranks the interruption: its code is returned (setup
    // 4, output file 6, mismatch 5, failed runs 1), so that a script never mistakes it for a user's Ctrl-C.
    if (result.failed != 0 || !result.errors.empty())
      return failWith(kExitRunErrors, std::to_string(result.failed) + " of " + std::to_string(result.submitted) +
                                          " runs failed");
    if (result.stopSignal != 0)
      return failWith(kExitSignalBase + result.stopSignal,
                      "interrupted by " + signalName(result.stopSignal) +
                          (result.measured ? " after " + std::to_string(result.completed) + " completed runs"
                                           : std::string(" before the measured runs: nothing was measured")));
    return kExitOk;
  };
  return endAfterRuns(report(), result.stopSignal);
}

}  // namespace

namespace zenlar {
namespace qoblrun {

int qoblRunMain(int argc, char** argv) {
  zenlar::qobltools::holdClosedStandardStreams();
  Options o;
  std::string err;
  const bool parsed = parseOptions(argc, argv, &o, &err);
  const int end = zenlar::qobltools::commandLineEnd("qobl-run", parsed, err, o.help, usageText(argv[0]), o.version);
  if (end >= 0) return end;
  const int code = run(o);
  releaseStopSignals();   // after an early failure: the handlers of the time before the runs
  return code;
}

}  // namespace qoblrun
}  // namespace zenlar
