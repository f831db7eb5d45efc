// qobl-run: loads a model, builds an op pipeline for it with libqobl on one or several cards, runs it from
// several streams and threads, and prints runs, throughput (per card and in total), latency percentiles,
// the device memory high-water mark and errors; optionally checks every output against the model's
// expected output, dumps outputs, prints the card time of every op, and writes a JSON summary, a Chrome
// trace and the op graph.
#include "program.h"

int main(int argc, char** argv) { return zenlar::qoblrun::qoblRunMain(argc, argv); }
