#!/usr/bin/env bash
# Builds everything in ./build, shows the library version and the card's devices, then runs the main job
# on the bundled demo model.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install_deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)"
./build/bin/qobl-info
if [ -x ./build/bin/qobl-run ]; then
  ./build/bin/qobl-run "$@"
else
  echo "qobl-run is not part of this build yet; nothing more to run." >&2
fi
