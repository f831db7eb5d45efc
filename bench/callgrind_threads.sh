#!/usr/bin/env bash
# Instructions per device run of the trivial stream at steady state, per thread, and where the submission
# and the report callback split the two threads that carry a round trip:
#
#   bash bench/callgrind_threads.sh [BUILD_DIR] [RUNS] [CACHE]      (defaults: ./build, 1000, 1)
#
# Recipe: as callgrind_run_path.sh (the difference of RUNS / 2 and RUNS + RUNS / 2 device runs of
# bench_run_instructions qobl, divided by RUNS), with valgrind --separate-threads=yes, so each thread of the
# process has its own totals: the application thread (the one running main), the card's engine thread
# (engineLoop) and its reporter thread (reporterLoop).  Inclusive costs of single functions come from
# callgrind_annotate --inclusive=yes on the same files.  The splits:
#  - application thread, before the card's submission: qoblRunStreamAsync less the card's qobcrt_run_stream
#    (the few instructions of its return are counted before);
#  - reporter thread, before the report callback: sdkGetOutputs less the callback (Pipeline::onReport),
#    OpStream::recycleInstructionMemory and both OpStream::setBusy calls (marking the stream busy, about
#    twenty instructions, is counted after).  The card's own reporter loop (the floor has it too) is
#    neither.
set -euo pipefail
build="${1:-build}"
runs="${2:-1000}"
cache="${3:-1}"
bin="$build/bin/bench_run_instructions"
command -v valgrind >/dev/null || { echo "valgrind is not installed (apt-get install valgrind)" >&2; exit 2; }
[ -x "$bin" ] || { echo "$bin not found: build the benchmarks first" >&2; exit 2; }
export QOBL_BUILD_DIR="${QOBL_BUILD_DIR:-$(cd "$build" && pwd)}"
tmp="$(mktemp -d)"
[ -n "${KEEP:-}" ] && echo "callgrind files in $tmp" >&2 || trap 'rm -rf "$tmp"' EXIT

first=$((runs / 2))
second=$((runs + runs / 2))
for n in "$first" "$second"; do
  valgrind --tool=callgrind --separate-threads=yes --callgrind-out-file="$tmp/cg.$n" "$bin" qobl --cache "$cache" \
    --runs "$n" >"$tmp/log" 2>&1 || { cat "$tmp/log" >&2; exit 1; }
done

# Inclusive instructions of the functions of one thread's file, "<count>\t<file:function>": the line of the
# function summary that carries the function's object ("[...]") holds its whole inclusive cost (lines
# without it are code inlined from other files, already in it).  callgrind_annotate runs away from the
# sources (it would annotate them, and resolve file names differently).  Kept beside the file.
inclusive() {
  [ -f "$1.incl" ] || (cd "$tmp" && callgrind_annotate --inclusive=yes --show-percs=no --threshold=100 "$1" 2>/dev/null) |
    awk '/Auto-annotated source|User-annotated source/ { exit }
         /^ *[0-9,]+  / && !/=>/ && / \[[^]]*\]$/ { c = $1; gsub(",", "", c); $1 = ""; sub(/ \[[^]]*\]$/, ""); print c "\t" $0 }' \
      >"$1.incl"
  cat "$1.incl"
}
total() { awk '/^(totals|summary):/ { print $2; exit }' "$1"; }
# Per device run: (value in the second file - value in the first) / runs, for the function matching `re`.
fn() {
  local a b
  a=$(inclusive "$1" | awk -F'\t' -v re="$3" '$2 ~ re && v == "" { v = $1 } END { print v + 0 }')
  b=$(inclusive "$2" | awk -F'\t' -v re="$3" '$2 ~ re && v == "" { v = $1 } END { print v + 0 }')
  echo $(( (b - a) / runs ))
}

printf 'instructions per device run at steady state, cache number %s (difference of %d and %d device runs):\n' \
  "$cache" "$second" "$first"
for f in "$tmp"/cg."$first"-[0-9]*; do
  suffix="${f##*-}"
  g="$tmp/cg.$second-$suffix"
  [ -f "$g" ] || continue
  case "$f" in *.incl) continue ;; esac
  per_run=$(( ($(total "$g") - $(total "$f")) / runs ))
  names="$(inclusive "$g")"
  if grep -q 'reporterLoop' <<<"$names"; then
    sdk=$(fn "$f" "$g" ':zenlar::qobl::sdkGetOutputs\(')
    cb=$(fn "$f" "$g" ':qoblbench::Pipeline::onReport\(')
    recycle=$(fn "$f" "$g" ':zenlar::qobl::OpStream::recycleInstructionMemory\(')
    busy=$(fn "$f" "$g" ':zenlar::qobl::OpStream::setBusy\(')
    before=$((sdk - cb - recycle - busy))
    printf '  %-12s %6d   report handling %d: before the callback %d, callback %d, after it %d\n' reporter \
      "$per_run" "$sdk" "$before" "$cb" "$((sdk - before - cb))"
  elif grep -q 'engineLoop' <<<"$names"; then
    printf '  %-12s %6d\n' engine "$per_run"
  elif grep -q 'run_instructions.cpp:main$' <<<"$names"; then
    call=$(fn "$f" "$g" ':qoblRunStreamAsync$')
    card=$(fn "$f" "$g" ':qobcrt_run_stream$')
    # At cache number N, N calls per device run: the last sends the run, the others only gather (before).
    before=$((call - card))
    printf '  %-12s %6d   before the card submission %d, the submission %d, after it %d\n' application \
      "$per_run" "$before" "$card" "$((per_run - before - card))"
  else
    printf '  %-12s %6d\n' "thread $suffix" "$per_run"
  fi
done
