#!/usr/bin/env bash
# Configures the project with its tests switched off (benchmarks and tools on) in a scratch build directory:
# nothing outside tests/ may depend on a test target.
#   configure_without_tests.sh SOURCE_DIR
set -euo pipefail
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
if ! cmake -S "$1" -B "$tmp/build" -DQOBL_BUILD_TESTS=OFF -DQOBL_BUILD_BENCH=ON > "$tmp/log" 2>&1; then
  cat "$tmp/log"
  exit 1
fi
