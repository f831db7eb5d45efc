#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for a bounded time, two at a time, each on a fresh copy of its seed
# corpus made from the build's demo models.  Exits non-zero when a target finds a crash, a leak, a time-out
# or an allocation above the limit (libFuzzer writes the input that did it as crash-*/leak-*/... into the
# work directory and prints where).
#   fuzz/run.sh BUILD_DIR [SECONDS_PER_TARGET=60] [WORK_DIR]
set -euo pipefail
build=$(cd "$1" && pwd)
seconds=${2:-60}
src=$(cd "$(dirname "$0")" && pwd)
work=${3:-$(mktemp -d)}
mkdir -p "$work"
models=$build/models

seed() {  # seed TARGET FILE...
  mkdir -p "$work/$1"
  local i=0
  for f in "${@:2}"; do
    [ -f "$f" ] && cp "$f" "$work/$1/seed$((i++))"
  done
}
seed fuzz_graph_json "$models"/{classifier,segmenter,trivial,pair}/graph.json "$models"/dynamic/member*/graph.json
seed fuzz_params "$models"/{classifier,segmenter,trivial}/params.bin "$models"/dynamic/member*/params.bin
seed fuzz_hw_config "$models"/{classifier,segmenter,trivial}/hw.json "$models"/dynamic/hw.json
seed fuzz_suite_config "$models"/dynamic/suite.json
seed fuzz_rest_request "$src"/../tools/qobl_serve/fuzz/corpus/*
# The card's runs: the target captures the library's runs of the demo pipelines as its own seeds.
if [ -x "$build/bin/fuzz_card_run" ]; then
  mkdir -p "$work/fuzz_card_run"
  QOBL_FUZZ_CARD_SEEDS="$work/fuzz_card_run" QOBM_LOG_LEVEL=FATAL ASAN_OPTIONS=detect_leaks=0 \
    "$build/bin/fuzz_card_run" > "$work/fuzz_card_run.seeds.log" 2>&1 ||
    { echo "== fuzz_card_run: making its seeds FAILED"; cat "$work/fuzz_card_run.seeds.log"; exit 1; }
fi

run() {  # run TARGET
  local dict=()
  case $1 in
    fuzz_params) ;;
    fuzz_card_run) dict=(-dict="$src/card.dict") ;;
    *) dict=(-dict="$src/json.dict") ;;
  esac
  (cd "$work" && ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=0 \
     UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 QOBM_LOG_LEVEL=FATAL \
     "$build/bin/$1" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -malloc_limit_mb=256 \
       -print_final_stats=1 "${dict[@]}" "$work/$1" > "$work/$1.log" 2>&1)
}

report() {  # report PID TARGET
  if wait "$1"; then echo "== $2: ok ($(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$work/$2.log" | grep -o '[0-9]*$') runs)"
  else echo "== $2: FAILED (log: $work/$2.log)"; tail -40 "$work/$2.log"; status=1; fi
}

status=0
pids=()
names=()
for t in fuzz_graph_json fuzz_params fuzz_hw_config fuzz_suite_config fuzz_rest_request fuzz_card_run; do
  [ -x "$build/bin/$t" ] || { echo "== $t: not built, skipped"; continue; }
  run "$t" & pids+=($!); names+=("$t")
  if [ ${#pids[@]} -eq 2 ]; then
    report "${pids[0]}" "${names[0]}"; report "${pids[1]}" "${names[1]}"
    pids=(); names=()
  fi
done
[ ${#pids[@]} -eq 1 ] && report "${pids[0]}" "${names[0]}"
exit $status
