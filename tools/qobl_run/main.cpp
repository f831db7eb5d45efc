// qobl-run: loads a model, builds an op pipeline for it with libqobl, runs it on the card from several
// streams and threads, and prints runs, throughput, latency percentiles, the device memory high-water mark
// and errors; optionally checks every output against the model's expected output.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "options.h"
#include "qobl_tools/card_memory.h"
#include "qobl_tools/model_dir.h"
#include "qobl_tools/pipeline.h"
#include "report.h"
#include "runner.h"

using namespace zenlar::qoblrun;
using zenlar::qobltools::ModelDir;
using zenlar::qobltools::Pipeline;
using zenlar::qobltools::Sample;
using zenlar::qobltools::stagesText;

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

// "" when the sample files fit the model's sizes; else which file does not.
std::string checkSample(const Sample& s, const zenlar::qobltools::ModelInfo& info) {
  std::string inText, outText;
  for (const auto& t : info.inputs)
    inText += (inText.empty() ? "" : " + ") + zenlar::qobltools::shapeText(t.shape) + " " + zenlar::qobltools::dtypeText(t.dtype);
  for (const auto& t : info.outputs) outText += (outText.empty() ? "" : " + ") + zenlar::qobltools::shapeText(t.shape);
  if (s.input.size() != info.inputBytes())
    return s.dir + "sample_input.bin holds " + std::to_string(s.input.size()) + " bytes, the model's inputs " +
           inText + " take " + std::to_string(info.inputBytes());
  if (!s.expected.empty() && s.expected.size() != info.outputBytes())
    return s.dir + "expected_output.bin holds " + std::to_string(s.expected.size()) + " bytes, the model's outputs " +
           outText + " take " + std::to_string(info.outputBytes());
  return "";
}

int run(const Options& o) {
  std::string dirPath = o.modelDir;
  if (dirPath.empty()) {
    dirPath = zenlar::qobltools::defaultModelDir();
    if (dirPath.empty())
      return failWith(kExitModelDir,
                      "no --model given and the bundled classifier was not found (looked for ../models/classifier "
                      "and ../share/qobl/models/classifier next to the program)");
  }
  ModelDir dir;
  std::string err = zenlar::qobltools::openModelDir(dirPath, &dir);
  Sample sample;
  if (err.empty()) err = zenlar::qobltools::findSample(dir, o.shape, o.verify, &sample);
  if (!err.empty()) return failWith(kExitModelDir, err);

  // The library warns about expected situations (e.g. a model without pre-process ops); keep the summary
  // readable unless the user asked for a log level.
  const char* level = std::getenv("QOBM_LOG_LEVEL");
  if (level == nullptr || level[0] == '\0') qobmSetLogLevel(qobmLL_ERROR);
  MemoryWatcher mem;
  RunResult result;
  Pipeline p;
  zenlar::qobltools::LoadOptions lo;
  lo.batch = o.batch;
  lo.inputShapes = dir.inputShapesAt(sample.height, sample.width);
  err = p.load(dir, lo);
  if (!err.empty()) return failWith(p.fileProblem() ? kExitModelDir : kExitSetup, err);
  err = checkSample(sample, p.info());
  if (!err.empty()) return failWith(kExitModelDir, err);

  std::vector<Stage> stages = o.stages;
  if (stages.empty()) {
    stages = {Stage::kInput, Stage::kModel};
    if (p.info().needsCopy()) stages.push_back(Stage::kCopy);
  }
  if (o.verify && stages.back() == Stage::kModel && p.info().needsCopy()) {
    for (const auto& t : p.info().outputs) {
      if (t.coreLayout())
        return failWith(kExitUsage, "--verify: model " + dir.name + " stores output " + std::to_string(t.index) +
                                        " in a core layout (" + std::to_string(t.cardBytes) +
                                        " bytes on the card, " + std::to_string(t.bytes) +
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
  err = runPipeline(p, sample, cfg, &mem, &result);
  const std::string chain = p.chainText();
  p.release();
  result.memPeakBytes = mem.peak();
  result.memAfterBytes = zenlar::qobltools::cardLiveBytes(1);
  if (!err.empty()) return failWith(kExitSetup, err);

  SummaryHeader h;
  h.model = dir.name + (dir.dynamic ? " (dynamic, " + std::to_string(sample.height) + "x" + std::to_string(sample.width) + ")"
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
                                       " (" + sample.dir + "expected_output.bin)");
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
