#!/usr/bin/env bash
# Instructions per device run of the run path, counted by valgrind's callgrind on every thread of the
# process (the application thread, the card's engine and reporter threads): the card's floor, and libqobl
# on the trivial model at cache numbers 1 and 8 (per device run and per input).
#
#   bash bench/callgrind_run_path.sh [BUILD_DIR] [RUNS]      (defaults: ./build, 1000)
#
# Recipe: bench_run_instructions (bench/run_instructions.cpp) runs set-up, 200 warm-up device runs, then N
# device runs and teardown.  Each case runs twice under
#   valgrind --tool=callgrind --callgrind-out-file=F <build>/bin/bench_run_instructions <case> --runs N
# once with N = RUNS / 2 and once with N = RUNS + RUNS / 2; the "totals:" line of F is the instruction
# count (Ir) of the whole process.  (Ir(second) - Ir(first)) / RUNS is the cost of one device run at steady
# state: set-up, warm-up and teardown appear in both and cancel out.  Instruction counts do not depend on
# the machine's load, so the figure is stable from run to run to within about a percent (threads that spin
# or sleep while another one holds what they wait for add a little noise).
set -euo pipefail
build="${1:-build}"
runs="${2:-1000}"
bin="$build/bin/bench_run_instructions"
command -v valgrind >/dev/null || { echo "valgrind is not installed (apt-get install valgrind)" >&2; exit 2; }
[ -x "$bin" ] || { echo "$bin not found: build the benchmarks first" >&2; exit 2; }
export QOBL_BUILD_DIR="${QOBL_BUILD_DIR:-$(cd "$build" && pwd)}"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

# Instructions of the whole process for one case and one number of device runs.
total() {
  local out="$tmp/callgrind.out"
  valgrind --tool=callgrind --callgrind-out-file="$out" "$bin" "$@" >"$tmp/log" 2>&1 ||
    { cat "$tmp/log" >&2; exit 1; }
  awk '/^(totals|summary):/ { print $2; exit }' "$out"
}

first=$((runs / 2))
second=$((runs + runs / 2))
printf 'instructions per device run at steady state (difference of %d and %d device runs, all threads):\n' \
  "$second" "$first"
floor=""
for variant in "floor" "qobl --cache 1" "qobl --cache 8"; do
  # shellcheck disable=SC2086
  a=$(total $variant --runs "$first")
  # shellcheck disable=SC2086
  b=$(total $variant --runs "$second")
  per_run=$(( (b - a) / runs ))
  cache=1
  case "$variant" in *"--cache "*) cache="${variant##* }" ;; esac
  if [ "$variant" = "floor" ]; then
    floor=$per_run
    printf '  %-16s %9d per device run\n' "$variant" "$per_run"
  else
    printf '  %-16s %9d per device run   %8d per input   x%s of the floor per device run\n' "$variant" "$per_run" \
      $((per_run / cache)) "$(awk -v a="$per_run" -v b="$floor" 'BEGIN { printf "%.2f", a / b }')"
  fi
done
