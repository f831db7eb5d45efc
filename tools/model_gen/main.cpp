// qobl-model-gen: writes model directories for the simulated card.
//
//   qobl-model-gen package MODEL_JSON OUT_DIR         a model from your own kernels
//   qobl-model-gen demo DEMO OUT_DIR                   a demo model's generated files
//   qobl-model-gen DEMO OUT_DIR                        (the same; what the build runs)
// DEMO: classifier, segmenter, dynamic, trivial, parallel or pair.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstring>
#include <exception>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "demo_models.h"
#include "package.h"

namespace {

using namespace zenlar::qobl::modelgen;

const std::map<std::string, std::function<void(const std::string&)>>& demos() {
  static const std::map<std::string, std::function<void(const std::string&)>> m = {
      {"classifier", generateClassifier}, {"segmenter", generateSegmenter}, {"dynamic", generateDynamic},
      {"trivial", generateTrivial}, {"parallel", generateParallel}, {"pair", generatePair}};
  return m;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  // The build's short form: qobl-model-gen <demo> <dir>.
  if (args.size() == 3 && demos().count(args[1]) != 0) args.insert(args.begin() + 1, "demo");

  CLI::App app("Writes model directories for the simulated card: graph.json, params.bin, hw.json, model.so and\n"
               "samples, in the formats the card's graph runtime loads.",
               "qobl-model-gen");
  app.require_subcommand(1);
  app.footer(std::string(packageFormatText()) +
             "\nCheck the result with `qobl-info OUT_DIR` and `qobl-run --model OUT_DIR --input random`.\n"
             "\nExit codes: 0 success, 1 a file could not be read or written or the description is wrong,\n"
             "2 bad command line.\n");
  bool version = false;
  app.add_flag("--version", version, "Print the version and exit.");
  std::string desc, name, out;
  CLI::App* package = app.add_subcommand("package", "Package your own kernels and parameters as a model directory.");
  package->add_option("MODEL_JSON", desc, "The JSON description of the model (see below).")->required();
  package->add_option("OUT_DIR", out, "The model directory to write (created when missing).")->required();
  CLI::App* demo = app.add_subcommand("demo", "Write the generated files of a demo model (the build does this).");
  demo->add_option("MODEL", name, "classifier, segmenter, dynamic, trivial, parallel or pair.")
      ->required()
      ->check(CLI::IsMember({"classifier", "segmenter", "dynamic", "trivial", "parallel", "pair"}));
  demo->add_option("OUT_DIR", out, "The directory to write.")->required();

  std::vector<const char*> cargs;
  for (const auto& a : args) cargs.push_back(a.c_str());
  // --version alone needs no subcommand.
  if (args.size() == 2 && args[1] == "--version") {
    std::printf("qobl-model-gen (qobl) %s\n", QOBL_TOOLS_VERSION);
    return 0;
  }
  try {
    app.parse(static_cast<int>(cargs.size()), cargs.data());
  } catch (const CLI::CallForHelp&) {
    std::printf("%s", app.help().c_str());
    return 0;
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "qobl-model-gen: %s (see --help)\n", e.what());
    return 2;
  }
  // An empty name (as from an unset shell variable) would write the model's files into the current
  // directory, or read a description from nowhere.
  if ((package->parsed() && desc.empty()) || out.empty()) {
    std::fprintf(stderr, "qobl-model-gen: %s is empty: give a path (see --help)\n", out.empty() ? "OUT_DIR" : "MODEL_JSON");
    return 2;
  }
  try {
    if (package->parsed()) {
      packageModel(desc, out);
    } else {
      demos().at(name)(out);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qobl-model-gen: %s\n", e.what());
    return 1;
  }
  return 0;
}
