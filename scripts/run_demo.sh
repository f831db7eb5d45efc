#!/usr/bin/env bash
# Builds everything in ./build, then runs the main job on the bundled demo model: qobl-run checks every
# output against the model's expected output and prints runs, throughput, latency percentiles, the device
# memory high-water mark and errors.  Arguments are passed on to qobl-run (see ./build/bin/qobl-run --help).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install_deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)"
./build/bin/qobl-run --verify "$@"
