#!/usr/bin/env bash
# The project configures with the Ninja generator, in a build directory whose path has a space in it, with
# every default option (tests, benchmarks, tools): every input of the whole build exists or has a rule
# that makes it (a generated file another step uses without a rule to make it, or that two rules claim,
# fails here).  The one build step that runs at every build - writing the
# version text's commit - then runs for real, twice: it names the source tree's commit and leaves its
# header untouched the second time, so a Ninja build of an unchanged tree recompiles nothing.
#   ninja_build_check.sh SOURCE_DIR
set -euo pipefail
src=$(cd "$1" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
command -v ninja > /dev/null || fail "ninja is not installed (bash scripts/install_deps.sh installs it)"
build="$tmp/build dir"

echo "== configure with Ninja"
cmake -S "$src" -B "$build" -G Ninja > "$tmp/configure.log" 2>&1 || { cat "$tmp/configure.log"; fail "configure"; }

echo "== every input of the whole build exists or has a rule"
# (A dry run cannot tell: the check of the source globs that runs first at every build would have Ninja
# regenerate its manifest, and a dry run stops there.)
ninja -C "$build" -w dupbuild=err -t targets all > "$tmp/targets" 2> "$tmp/err" || { cat "$tmp/err"; fail "targets"; }
ninja -C "$build" -t inputs all > "$tmp/inputs" 2> "$tmp/err" || { cat "$tmp/err"; fail "inputs"; }
/usr/bin/python3 - "$build" "$tmp/targets" "$tmp/inputs" <<'PY' || fail "inputs without a rule"
import os, shlex, sys
build, targets, inputs = sys.argv[1:]
full = lambda p: os.path.normpath(os.path.join(build, p))
made = {full(line.rsplit(": ", 1)[0]) for line in open(targets) if ": " in line}
needed = [full(shlex.split(line)[0]) for line in open(inputs) if line.strip()]
missing = [p for p in needed if p not in made and not os.path.exists(p)]
for p in missing:
    print("needed, not there and no rule makes it:", p)
# The plan covers the libraries, the demo models' files and the man pages.
for out in ("lib/libqobl.so", "models/classifier/graph.json", "man/man1/qobl-run.1.gz", "generated/qobl_build_info.h"):
    if full(out) not in made:
        print("no rule makes", out)
        missing.append(out)
sys.exit(1 if missing else 0)
PY

echo "== the build-time version step, twice"
header="$build/generated/qobl_build_info.h"
ninja -C "$build" qobl_build_info > "$tmp/step.log" 2>&1 || { cat "$tmp/step.log"; fail "qobl_build_info"; }
commit=$(sed -n 's/^#define QOBL_COMMIT_TEXT "\(.*\)"$/\1/p' "$header")
if head=$(git -C "$src" rev-parse --short=12 HEAD 2> /dev/null); then
  [ "${commit%-dirty}" = "$head" ] || fail "the header names $commit, the source tree is at $head"
else
  [ "$commit" = unknown ] || fail "not a git checkout, yet the header names $commit"
fi
touch -d '2001-01-01 00:00:00' "$header"
ninja -C "$build" qobl_build_info > "$tmp/step.log" 2>&1 || { cat "$tmp/step.log"; fail "qobl_build_info again"; }
[ "$(stat -c %Y "$header")" = "$(date -d '2001-01-01 00:00:00' +%s)" ] || fail "the header was rewritten"
echo "ninja build check passed"
