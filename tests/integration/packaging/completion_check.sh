#!/usr/bin/env bash
# Drives the bash completion of qobl-run the way bash does (COMP_WORDS, COMP_CWORD) and checks what it
# offers against the program's own --help.
#   completion_check.sh COMPLETION_FILE MODELS_DIR [BIN_DIR]   (qobl-run on PATH, or in BIN_DIR)
set -uo pipefail
[ -n "${3:-}" ] && PATH=$3:$PATH
# shellcheck source=/dev/null
source "$1"
models=$2
failures=0

complete_words() {  # complete_words WORD...: completes the last word; prints one candidate per line
  COMP_WORDS=("$@")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _qobl_run
  printf '%s\n' "${COMPREPLY[@]}"
}
expect() {  # expect DESCRIPTION EXPECTED ACTUAL
  if [ "$2" != "$3" ]; then
    printf 'completion of %s:\n  expected: %s\n  got:      %s\n' "$1" "$(echo $2)" "$(echo $3)"
    failures=$((failures + 1))
  fi
}

help_opts=$(qobl-run --help | grep -oE -- '(^|[ ,[])--[a-z][a-z0-9-]*' | sed -E 's/^[ ,[]//' | sort -u)
[ "$(echo "$help_opts" | wc -l)" -ge 10 ] || { echo "qobl-run --help lists too few options"; exit 1; }
expect "qobl-run --" "$help_opts" "$(complete_words qobl-run -- | sort)"
expect "qobl-run (empty word)" "$help_opts" "$(complete_words qobl-run '' | sort)"
expect "qobl-run --mo" "--model" "$(complete_words qobl-run --mo)"
expect "qobl-run --ver" "$(echo "$help_opts" | grep '^--ver')" "$(complete_words qobl-run --ver)"
expect "qobl-run --runs <N>" "" "$(complete_words qobl-run --runs '')"
expect "qobl-run --graph input,n" "input,normalize" "$(complete_words qobl-run --graph input,n)"
expect "qobl-run --graph ''" "$(printf '%s\n' input normalize model copy)" "$(complete_words qobl-run --graph '')"

# Directory values: only directories, also written as --model=DIR (bash splits the word at "=").
cd "$models" || exit 1
dirs=$(compgen -d -- c | sort)
[ -n "$dirs" ] || { echo "no model directory starting with c in $models"; exit 1; }
expect "qobl-run --model c" "$dirs" "$(complete_words qobl-run --model c | sort)"
expect "qobl-run --model=c" "$dirs" "$(complete_words qobl-run --model = c | sort)"
expect "qobl-run --model classifier/" "" "$(complete_words qobl-run --model classifier/)"
expect "qobl-run --trace classifier/g" "classifier/graph.json" "$(complete_words qobl-run --trace classifier/g)"

if [ "$failures" -ne 0 ]; then
  echo "$failures completion check(s) failed"
  exit 1
fi
echo "qobl-run completion offers its --help options and completes their values"
