#include "options.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "durations.h"
#include "qobl_tools/cli.h"
#include "qobl_tools/library.h"
#include "qobl_tools/model_dir.h"

namespace zenlar {
namespace qoblrun {

namespace {

const char* const kDescription =
    "Loads a model, builds an op pipeline for it, runs it on the card and prints a summary: runs,\n"
    "inferences per second (in total, per card and per stream), latency percentiles (p50, p90, p95, p99),\n"
    "the device memory high-water mark and errors; with --profile also the card time of every op.";

const char* const kFooter =
    "Inputs: the default is the model's sample (sample_input.bin, for dynamic models\n"
    "samples/<H>x<W>/sample_input.bin); --verify needs it, with expected_output.bin beside it.  Files given\n"
    "with --input hold one model input each (one batch item, raw little-endian, exactly the input's byte\n"
    "size; qobl-info MODEL_DIR lists them).\n"
    "\n"
    "An input's latency runs from its submission to its completion (its report callback, or the end of the\n"
    "synchronous call); inputs gathered into one device run wait for the last of them.  Inferences per\n"
    "second count the inputs that completed (a device run of batch B counts B) over the measured wall\n"
    "time, the first submission to the last completion, warm-up excluded; a card's and a stream's over\n"
    "their own first submission and last completion.\n"
    "\n"
    "Latency memory is bounded however long qobl-run runs: up to @EXACT@ inputs (per stream, and in total)\n"
    "the percentiles are exact nearest ranks; beyond, they come from a histogram and are within 0.1 % of\n"
    "the exact ones (the summary says so, and --json's latency_exact is false).  Mean, min and max are\n"
    "always exact.  The same holds for the --profile times.\n"
    "\n"
    "Interrupting: the first SIGINT (Ctrl-C) or SIGTERM during the runs (warm-up included) stops every\n"
    "stream from submitting new device runs; the device runs in flight complete (each within --timeout),\n"
    "the streams are torn down as usual, and the summary, --json, --trace and --profile cover the inputs\n"
    "that completed, marked as interrupted by that signal.  A second signal ends qobl-run at once, as do\n"
    "both signals while the model loads, before any run (saying that nothing was measured); its status\n"
    "is then the signal's (a shell shows 130 or 143, as for the exit codes below), and until the runs are\n"
    "over no summary has been printed and the --json and --trace files are empty (they are created when\n"
    "qobl-run starts and written whole after the runs).  A first signal after the runs, while the\n"
    "summary is printed and the files are written, ends qobl-run once they are whole.  A signal ignored\n"
    "when qobl-run starts (as by a shell for a background job) stays ignored.\n"
    "\n"
    "Environment: QOBM_LOG_LEVEL (the library's log level, overridden by --log-level),\n"
    "QOBCRT_DEVICE_COUNT (cards of the simulated card platform, default 1).\n"
    "\n"
    "Exit codes:\n"
    "  0  every run completed (and matched, with --verify)\n"
    "  1  at least one run failed on the card or never completed\n"
    "  2  bad command line\n"
    "  3  model directory missing, incomplete, or its files do not fit the model\n"
    "  4  the library refused to load the model or to build the pipeline\n"
    "  5  --verify: an output differs from expected_output.bin\n"
    "  6  an output file (--dot, --trace, --json, --dump-outputs), or the summary on stdout, could not be\n"
    "     written\n"
    "  130  interrupted by SIGINT (Ctrl-C); the summary covers the runs that completed\n"
    "  143  interrupted by SIGTERM; codes 1, 4, 5 and 6 take precedence over both\n";

// Help lines show an option's value name only: ranges and exclusions are in the descriptions.
class HelpFormatter : public CLI::Formatter {
 public:
  std::string make_option_opts(const CLI::Option* opt) const override {
    return opt->get_type_size() == 0 ? std::string() : " " + opt->get_type_name();
  }
};

// Seconds from lo to hi, in decimal ("0.5", "10", "1e3"; not hexadecimal, inf or nan); the failure names
// the range in the help's terms (CLI11's own range check would print "Value 0 not in range 0.001000 to
// 86400.000000").  The help text states the range itself.
CLI::Validator seconds(double lo, double hi) {
  return CLI::Validator(
      [lo, hi](const std::string& text) -> std::string {
        char* end = nullptr;
        errno = 0;
        const double v = std::strtod(text.c_str(), &end);
        const bool plain = !text.empty() && text.find_first_not_of("0123456789.eE+-") == std::string::npos;
        if (!plain || *end != '\0' || errno != 0 || !(v >= lo && v <= hi)) {
          std::ostringstream os;
          os << "expects seconds from " << lo << " to " << hi << ", got \"" << text << "\"";
          return os.str();
        }
        return std::string();
      },
      "");
}

// Everything CLI11 collects before it is turned into Options.
struct Raw {
  std::string graph, input, logLevel;
  uint32_t devices = 0, device = 0;
};

void define(CLI::App& app, Options& o, Raw& raw) {
  app.description(kDescription);
  std::string footer = kFooter;
  footer.replace(footer.find("@EXACT@"), 7, std::to_string(Durations::kExactLimit));
  app.footer(footer);
  app.formatter(std::make_shared<HelpFormatter>());
  app.get_formatter()->column_width(30);
  app.option_defaults()->always_capture_default(false);
  app.add_option("--model", o.modelDir,
                 "Model directory: model.so, graph.json, params.bin, hw.json (optional),\n"
                 "sample_input.bin, expected_output.bin; or suite.json (+ hw.json, member\n"
                 "directories, samples/<H>x<W>/) for a dynamic-shape model.  Default: the\n"
                 "bundled classifier, ../models/classifier next to this program.")
      ->type_name("DIR");
  app.add_option("--input", raw.input,
                 "Inputs: random (seeded by --seed), zeros, or one raw file per model input,\n"
                 "separated by commas.  Default: the model's sample input.")
      ->type_name("random|zeros|FILE[,FILE...]");
  app.add_option("--seed", o.seed, "Seed of --input random (default 1); only with it.")
      ->type_name("N")
      ->transform(qobltools::wholeNumber(0, UINT32_MAX));
  app.add_option("--shape", o.shape,
                 "Dynamic models only: spatial size of the inputs, any size the suite covers\n"
                 "(default: the smallest sample).")
      ->type_name("HxW")
      ->check([](const std::string& v) {
        int64_t h = 0, w = 0;
        return qobltools::parseHxW(v, &h, &w) ? std::string() : "\"" + v + "\" is not of the form HxW";
      });
  app.add_option("--graph", raw.graph,
                 "Stages of the pipeline, in order: input, normalize (pre-processing op:\n"
                 "float32 inputs converted to the data the model computes on; refused for\n"
                 "inputs of other types), model (run-model op), copy (memory-copy op).\n"
                 "Default: input,model, plus copy when the model stores an output in a\n"
                 "core layout.")
      ->type_name("LIST");
  app.add_option("--batch", o.batch, "Model batch size (1 to 4096), clamped to the model's largest (default: the\nlargest).")
      ->type_name("B")
      ->transform(qobltools::wholeNumber(1, 4096));
  auto* devices = app.add_option("--devices", raw.devices,
                                 "Spread the streams round-robin over the first N cards (1 to 16; default:\ncard 0).  Not with --device.")
                      ->type_name("N")
                      ->transform(qobltools::wholeNumber(1, 16));
  app.add_option("--device", raw.device, "Run on card ID only (0 to 15).")
      ->type_name("ID")
      ->transform(qobltools::wholeNumber(0, 15))
      ->excludes(devices);
  app.add_option("--streams", o.streams,
                 "Streams, each driven by its own thread (default: one per card, at most\n"
                 "64).  With more than 8 the summary gives their lowest, median and highest\n"
                 "figures instead of a row each (--json keeps every stream's).")
      ->type_name("N")
      ->transform(qobltools::wholeNumber(1, 64));
  auto* runs = app.add_option("--runs", o.runs,
                              "Inputs to run over all streams (default 200, at most 100000000); rounded up\n"
                              "per stream to whole device runs (a device run gathers as many inputs as the\n"
                              "batch needs).")
                   ->type_name("M")
                   ->transform(qobltools::wholeNumber(1, 100000000));
  app.add_option("--duration", o.duration,
                 "Run for this long instead of --runs (at most 86400): each stream makes\n"
                 "whole device runs, at least one, until the time is spent.")
      ->type_name("SECONDS")
      ->check(seconds(0.001, 86400.0))
      ->excludes(runs);
  app.add_option("--warmup", o.warmup,
                 "Device runs each stream makes before measuring; they are not counted\n(default 0).")
      ->type_name("N")
      ->transform(qobltools::wholeNumber(0, 1000000));
  app.add_flag("--sync", o.sync, "Run synchronously (qoblRunStream) instead of asynchronously with\ncallbacks.");
  app.add_option("--in-flight", o.inFlight,
                 "Device runs each stream keeps in flight when asynchronous (1 to 1024,\n"
                 "default 4): 1 for the lowest latency, more for throughput.  Each keeps the\n"
                 "output buffers of a batch of inputs on the card; those of all streams on a\n"
                 "card may take at most a quarter of its free memory.  Not with --sync.")
      ->type_name("N")
      ->transform(qobltools::wholeNumber(1, kMaxInFlight));
  app.add_flag("--verify", o.verify,
               "Compare every output with expected_output.bin; the first mismatch ends the\n"
               "program with exit code 5 and names the run, output and element.");
  auto* dump = app.add_option("--dump-outputs", o.dumpDir,
                              "Write every output of the first K runs to DIR as raw files named\n"
                              "run<R>_output<O>.bin (DIR and its parents created when missing).")
                   ->type_name("DIR");
  app.add_option("--dump-count", o.dumpCount, "K of --dump-outputs (default 1).")
      ->type_name("K")
      ->transform(qobltools::wholeNumber(1, 100000000))
      ->needs(dump);
  app.add_option("--json", o.jsonFile,
                 "Write the summary as JSON: the table's figures (times in the unit their\n"
                 "key names), with those of every card and every stream.  FILE - (or one that\n"
                 "is stdout) puts the JSON alone on stdout and the table on stderr; so do\n"
                 "--trace - and --dot -.  Two outputs cannot share a file.")
      ->type_name("FILE");
  app.add_option("--trace", o.traceFile,
                 "Write a Chrome trace (JSON): per input slot its runs with, nested, the\n"
                 "card-side time of every op; per card its ops in execution order.")
      ->type_name("FILE");
  app.add_flag("--profile", o.profile,
               "After the summary, print the card time of every op of the pipeline: device\n"
               "runs it ran in, total, mean, p50, p90, p99 and share of all ops' card time;\n"
               "the input op, which the card does not execute, with the host time the\n"
               "library takes to gather and send each device run.  Then the card time of\n"
               "whole device runs (first op's start to last op's end) beside the input\n"
               "latency.  An op counts once per device run, however many inputs the run\n"
               "gathers; --warmup runs and failed ops are left out.  With --json, adds\n"
               "\"profile\".  Not with --sync (synchronous runs report no op times).");
  app.add_option("--dot", o.dotFile, "Write the op graph in Graphviz DOT.")->type_name("FILE");
  app.add_option("--timeout", o.timeoutMs, "Longest wait in milliseconds for a completion or a synchronisation (default\n60000, at most 3600000).")
      ->type_name("MS")
      ->transform(qobltools::wholeNumber(1, 3600000));
  app.add_option("--log-level", raw.logLevel,
                 "The library's log level: TRACE, DEBUG, INFO, WARN, ERROR, ALARM, FATAL\n"
                 "(default: QOBM_LOG_LEVEL when set, else ERROR).")
      ->type_name("LEVEL")
      ->check([](const std::string& v) {
        return qobltools::logLevelByName(v) >= 0 ? std::string() : "unknown log level \"" + v + "\"";
      });
  app.add_flag("--version", o.version, "Print the version of qobl-run and of the library, and exit.");
}

}  // namespace

bool parseOptions(int argc, const char* const* argv, Options* out, std::string* error) {
  Options o;
  Raw raw;
  CLI::App app("", "qobl-run");
  define(app, o, raw);
  if (!qobltools::parseCommandLine(app, argc, argv, &out->help, error)) return false;
  if (out->help) return true;
  // An empty path (as from an unset shell variable) would otherwise read as the option left out: the
  // bundled model benchmarked instead of the one meant, or a summary file silently not written.
  for (const char* opt : {"--model", "--json", "--trace", "--dot", "--dump-outputs"}) {
    if (app.count(opt) != 0 && app.get_option(opt)->as<std::string>().empty()) {
      const std::string name = opt;
      *error = name + " is given an empty " + (name == "--model" || name == "--dump-outputs" ? "directory" : "file") +
               " name" + (name == "--model" ? " (leave --model out to run the bundled classifier)" : "");
      return false;
    }
  }
  o.streamsGiven = app.count("--streams") != 0;
  o.runsGiven = app.count("--runs") != 0;
  if (!raw.graph.empty() || app.count("--graph") != 0) {
    if (!parseStages(raw.graph, &o.stages, error)) return false;
  }
  if (app.count("--devices") != 0) {
    o.devices.clear();
    for (uint32_t d = 0; d < raw.devices; ++d) o.devices.push_back(d);
  } else if (app.count("--device") != 0) {
    o.devices = {raw.device};
  }
  if (app.count("--input") != 0) {
    if (raw.input == "random") {
      o.input = InputKind::kRandom;
    } else if (raw.input == "zeros") {
      o.input = InputKind::kZeros;
    } else {
      o.input = InputKind::kFiles;
      std::stringstream ss(raw.input);
      for (std::string f; std::getline(ss, f, ',');) {
        if (f.empty()) {
          *error = "--input \"" + raw.input + "\": an empty file name";
          return false;
        }
        o.inputFiles.push_back(f);
      }
      if (!raw.input.empty() && raw.input.back() == ',') {
        *error = "--input \"" + raw.input + "\": an empty file name after the last comma";
        return false;
      }
      if (o.inputFiles.empty()) {
        *error = "--input needs random, zeros or file names";
        return false;
      }
    }
  }
  if (o.sync && app.count("--in-flight") != 0) {
    *error = "--in-flight applies to asynchronous runs: --sync makes one device run at a time";
    return false;
  }
  if (o.sync && o.profile) {
    *error = "--profile reads the card times that asynchronous runs report for each op; --sync runs report none";
    return false;
  }
  if (app.count("--seed") != 0 && o.input != InputKind::kRandom) {
    *error = "--seed seeds --input random, and the inputs are " +
             std::string(o.input == InputKind::kSample ? "the model's sample" : o.input == InputKind::kZeros ? "zeros" : "files") +
             ": add --input random or drop --seed";
    return false;
  }
  if (o.verify && o.input != InputKind::kSample) {
    *error = "--verify compares with expected_output.bin, which belongs to the sample input: drop --input";
    return false;
  }
  if (!raw.logLevel.empty()) o.logLevel = qobltools::logLevelByName(raw.logLevel);
  *out = o;
  return true;
}

std::string usageText(const char* argv0) {
  Options o;
  Raw raw;
  std::string name = argv0 != nullptr ? argv0 : "qobl-run";
  const size_t slash = name.find_last_of('/');
  if (slash != std::string::npos) name = name.substr(slash + 1);
  CLI::App app("", name);
  define(app, o, raw);
  return app.help();
}

}  // namespace qoblrun
}  // namespace zenlar
