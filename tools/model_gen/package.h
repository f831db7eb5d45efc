// package.h - a model directory for the simulated card from the user's own kernels: a short JSON
// description of the graph (inputs, parameters as raw files, nodes calling the kernels, outputs, optional
// hardware configuration, library and sample) becomes graph.json, params.bin, hw.json, model.so and the
// sample files, in the formats the card's graph runtime loads.
#ifndef QOBL_TOOLS_MODEL_GEN_PACKAGE_H
#define QOBL_TOOLS_MODEL_GEN_PACKAGE_H

#include <string>

namespace zenlar::qobl::modelgen {

// Reads the description at `descPath` (file paths in it are relative to its directory) and writes the
// model directory `outDir` (created if needed).  Throws std::runtime_error naming the key or file at fault.
void packageModel(const std::string& descPath, const std::string& outDir);

// The description's format, for --help.
const char* packageFormatText();

}  // namespace zenlar::qobl::modelgen

#endif  // QOBL_TOOLS_MODEL_GEN_PACKAGE_H
