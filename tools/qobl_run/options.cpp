#include "options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace zenlar {
namespace qoblrun {

namespace {

bool parseCount(const char* name, const char* text, uint32_t lo, uint32_t hi, uint32_t* out,
                std::string* error) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(text, &end, 10);
  if (text[0] == '\0' || text[0] == '-' || *end != '\0' || errno != 0 || v < lo || v > hi) {
    std::ostringstream os;
    os << name << " expects a whole number from " << lo << " to " << hi << ", got \"" << text << "\"";
    *error = os.str();
    return false;
  }
  *out = static_cast<uint32_t>(v);
  return true;
}

}  // namespace

bool parseOptions(int argc, const char* const* argv, Options* out, std::string* error) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](const char** v) {
      if (i + 1 >= argc) {
        *error = a + " needs a value";
        return false;
      }
      *v = argv[++i];
      return true;
    };
    const char* v = nullptr;
    if (a == "--help" || a == "-h") {
      o.help = true;
    } else if (a == "--sync") {
      o.sync = true;
    } else if (a == "--verify") {
      o.verify = true;
    } else if (a == "--model") {
      if (!value(&v)) return false;
      o.modelDir = v;
    } else if (a == "--graph") {
      if (!value(&v) || !parseStages(v, &o.stages, error)) return false;
    } else if (a == "--streams") {
      if (!value(&v) || !parseCount("--streams", v, 1, 64, &o.streams, error)) return false;
    } else if (a == "--runs") {
      if (!value(&v) || !parseCount("--runs", v, 1, 100000000, &o.runs, error)) return false;
    } else if (a == "--batch") {
      if (!value(&v) || !parseCount("--batch", v, 1, 4096, &o.batch, error)) return false;
    } else if (a == "--timeout") {
      if (!value(&v) || !parseCount("--timeout", v, 1, 3600000, &o.timeoutMs, error)) return false;
    } else if (a == "--dot") {
      if (!value(&v)) return false;
      o.dotFile = v;
    } else if (a == "--trace") {
      if (!value(&v)) return false;
      o.traceFile = v;
    } else if (a == "--shape") {
      if (!value(&v)) return false;
      o.shape = v;
    } else {
      *error = "unknown argument \"" + a + "\" (see --help)";
      return false;
    }
  }
  *out = o;
  return true;
}

std::string usageText(const char* argv0) {
  std::ostringstream os;
  os << "usage: " << argv0
     << " [--model DIR] [--graph input,normalize,model,copy] [--streams N] [--runs M]\n"
        "       [--batch B] [--sync] [--verify] [--dot FILE] [--trace FILE] [--shape HxW] [--timeout MS]\n"
        "\n"
        "Loads a model, builds an op pipeline for it, runs it on the card and prints a summary.\n"
        "An input's latency runs from its submission to its completion (its report callback, or the end\n"
        "of the synchronous call); inputs gathered into one device run wait for the last of them.\n"
        "\n"
        "  --model DIR     model directory: model.so, graph.json, params.bin, hw.json (optional),\n"
        "                  sample_input.bin, expected_output.bin; or suite.json (+ hw.json, member\n"
        "                  directories, samples/<H>x<W>/) for a dynamic-shape model.\n"
        "                  Default: the bundled classifier, ../models/classifier next to this program.\n"
        "  --graph LIST    stages of the pipeline, in order: input, normalize (pre-processing op),\n"
        "                  model (run-model op), copy (memory-copy op).  Default: input,model, plus copy\n"
        "                  when the model stores an output in a core layout.\n"
        "  --streams N     streams, each driven by its own thread (default 1, at most 64).\n"
        "  --runs M        inputs to run over all streams (default 200); rounded up per stream to whole\n"
        "                  device runs (a device run gathers as many inputs as the batch needs).\n"
        "  --batch B       model batch size, clamped to the model's largest (default: the largest).\n"
        "  --sync          run synchronously (qoblRunStream) instead of asynchronously with callbacks.\n"
        "  --verify        compare every output with expected_output.bin; the first mismatch ends the\n"
        "                  program with exit code 5 and names the run, output and element.\n"
        "  --dot FILE      write the op graph in Graphviz DOT.\n"
        "  --trace FILE    write a Chrome trace (JSON): one event per run and per reported op.\n"
        "  --shape HxW     dynamic models: spatial size of the input (default: the first sample).\n"
        "  --timeout MS    longest wait for a completion or a synchronisation (default 60000).\n"
        "  --help          this text.\n"
        "\n"
        "Exit codes:\n"
        "  0  every run completed (and matched, with --verify)\n"
        "  1  at least one run failed on the card or never completed\n"
        "  2  bad command line\n"
        "  3  model directory missing, incomplete, or its files do not fit the model\n"
        "  4  the library refused to load the model or to build the pipeline\n"
        "  5  --verify: an output differs from expected_output.bin\n"
        "  6  the --dot or --trace file could not be written\n";
  return os.str();
}

}  // namespace qoblrun
}  // namespace zenlar
