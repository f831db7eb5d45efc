// qobl-run: loads a model, builds an op pipeline for it with libqobl, runs it on the card from several
// streams and threads, and prints runs, throughput, latency percentiles, the device memory high-water mark
// and errors; optionally checks every output against the model's expected output.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "model_dir.h"
#include "options.h"
#include "pipeline.h"
#include "report.h"
#include "runner.h"

using namespace zenlar::qoblrun;

namespace {

int failWith(int code, const std::string& msg) {
  std::fprintf(stderr, "qobl-run: %s\n", msg.c_str());
  return code;
}

bool writeFile(const std::string& path, const std::string& text) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << text;
  f.close();
  return static_cast<bool>(f);
}

std::string stagesText(const std::vector<Stage>& stages) {
  std::string t;
  for (Stage s : stages) t += (t.empty() ? "" : ",") + std::string(stageName(s));
  return t;
}

int run(const Options& o) {
  std::string dirPath = o.modelDir;
  if (dirPath.empty()) {
    dirPath = defaultModelDir();
    if (dirPath.empty())
      return failWith(kExitModelDir,
                      "no --model given and the bundled classifier was not found (looked for ../models/classifier "
                      "and ../share/qobl/models/classifier next to the program)");
  }
  ModelDir dir;
  std::string err = openModelDir(dirPath, o.shape, o.verify, &dir);
  if (!err.empty()) return failWith(kExitModelDir, err);

  // The library warns about expected situations (e.g. a model without pre-process ops); keep the summary
  // readable unless the user asked for a log level.
  const char* level = std::getenv("QOBM_LOG_LEVEL");
  if (level == nullptr || level[0] == '\0') qobmSetLogLevel(qobmLL_ERROR);
  if (qobmSetDevice(0) != 0) return failWith(kExitSetup, "qobmSetDevice(0) failed: is there a card?");
  MemoryWatcher mem;
  RunResult result;
  Pipeline p;
  err = p.load(dir, o.batch);
  if (!err.empty()) {
    const bool fileProblem = err.find(std::to_string(qoblERR_MODEL_FILE)) != std::string::npos;
    return failWith(fileProblem ? kExitModelDir : kExitSetup, err);
  }
  err = p.checkSamples(dir);
  if (!err.empty()) return failWith(kExitModelDir, err);

  std::vector<Stage> stages = o.stages;
  if (stages.empty()) {
    stages = {Stage::kInput, Stage::kModel};
    if (p.info().needsCopy()) stages.push_back(Stage::kCopy);
  }
  if (o.verify && stages.back() == Stage::kModel && p.info().needsCopy()) {
    for (uint32_t i = 0; i < p.info().outputs; ++i) {
      if (p.info().alignBytes[i] != p.info().outBytes[i])
        return failWith(kExitUsage, "--verify: model " + dir.name + " stores output " + std::to_string(i) +
                                        " in a core layout (" + std::to_string(p.info().alignBytes[i]) +
                                        " bytes on the card, " + std::to_string(p.info().outBytes[i]) +
                                        " plain); add the copy op: --graph " + stagesText(stages) + ",copy");
    }
  }
  err = p.build(stages);
  if (!err.empty()) return failWith(kExitSetup, "building the pipeline " + stagesText(stages) + ": " + err);
  if (!o.dotFile.empty() && !writeFile(o.dotFile, p.dotText(dir.name)))
    return failWith(kExitOutputFile, "cannot write the DOT file " + o.dotFile);

  RunConfig cfg;
  cfg.streams = o.streams;
  cfg.runs = o.runs;
  cfg.sync = o.sync;
  cfg.verify = o.verify;
  cfg.trace = !o.traceFile.empty();
  cfg.timeoutMs = o.timeoutMs;
  err = runPipeline(p, dir, cfg, &mem, &result);
  const std::string chain = p.chainText();
  p.release();
  result.memPeakBytes = mem.peak();
  result.memAfterBytes = MemoryWatcher::liveBytes();
  if (!err.empty()) return failWith(kExitSetup, err);

  SummaryHeader h;
  h.model = dir.name + (dir.dynamic ? " (dynamic, " + std::to_string(dir.height) + "x" + std::to_string(dir.width) + ")"
                                    : " (static)");
  h.pipeline = chain;
  h.mode = std::string(o.sync ? "synchronous" : "asynchronous") + ", " + std::to_string(o.streams) + " stream" +
           (o.streams == 1 ? "" : "s") + " on " + std::to_string(o.streams) + " thread" + (o.streams == 1 ? "" : "s");
  h.batch = p.info().batch;
  h.maxBatch = p.info().maxBatch;
  h.verify = o.verify;
  std::printf("%s", summaryTable(h, result).c_str());
  std::fflush(stdout);
  for (const auto& e : result.errors) std::fprintf(stderr, "qobl-run: error: %s\n", e.c_str());

  if (!o.traceFile.empty() && !writeFile(o.traceFile, traceJson(result.events, "qobl-run " + dir.name)))
    return failWith(kExitOutputFile, "cannot write the trace file " + o.traceFile);
  if (result.mismatch) {
    const Mismatch& m = result.firstMismatch;
    return failWith(kExitMismatch, "VERIFICATION FAILED: run " + std::to_string(m.run) + " (stream " +
                                       std::to_string(m.stream) + "), output " + std::to_string(m.output) +
                                       ", element " + std::to_string(m.element) + " (byte " +
                                       std::to_string(m.byteOffset) + "): got " + m.got + ", expected " + m.expected +
                                       " (" + dir.sampleDir + "expected_output.bin)");
  }
  if (result.failed != 0 || !result.errors.empty())
    return failWith(kExitRunErrors, std::to_string(result.failed) + " of " + std::to_string(result.submitted) +
                                        " runs failed");
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  std::string err;
  if (!parseOptions(argc, argv, &o, &err)) {
    std::fprintf(stderr, "qobl-run: %s\n", err.c_str());
    return kExitUsage;
  }
  if (o.help) {
    std::printf("%s", usageText(argv[0]).c_str());
    return kExitOk;
  }
  return run(o);
}
