#!/usr/bin/env bash
# The commit and build date in the library's version text follow the source tree at build time:
# - the built library names the commit the source tree is at (after a new commit the build, without a new
#   configure, must have refreshed it);
# - cmake/qobl_build_info.cmake, run as the build runs it against a scratch repository: the header names
#   HEAD, is left untouched (same bytes, same time stamp) while HEAD stays, is rewritten after a commit,
#   names "unknown" outside a git checkout, and takes its date from SOURCE_DATE_EPOCH when that is set.
#   build_info_check.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)
script=$src/cmake/qobl_build_info.cmake
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
# The commit a header names.
commit_of() { sed -n 's/^#define QOBL_COMMIT_TEXT "\(.*\)"$/\1/p' "$1"; }
gen() { cmake -DSOURCE_DIR="$1" -DOUT="$2" -DGIT="$(command -v git)" -P "$script"; }

echo "== the built library names the source tree's commit"
text=$("$build/bin/qobl-info" --version | sed -n 's/^library: //p')
built=$(sed -n 's/^QOBL API [0-9.]*, Commit: \([^,]*\), Built: .*/\1/p' <<< "$text")
[ -n "$built" ] || fail "no commit in the version text: $text"
if head=$(git -C "$src" rev-parse --short=12 HEAD 2> /dev/null); then
  [ "$built" = "$head" ] || fail "the library in $build names commit $built, the source tree is at $head"
else
  [ "$built" = unknown ] || fail "not a git checkout, yet the library names commit $built"
fi

echo "== the header follows HEAD and is rewritten only when HEAD moves"
repo=$tmp/repo
git init -q "$repo"
g() { git -C "$repo" -c user.name=t -c user.email=t@t.invalid "$@"; }
echo a > "$repo/a"
g add a && g commit -q -m one
h=$tmp/out/build_info.h
mkdir -p "$tmp/out"
gen "$repo" "$h"
[ "$(commit_of "$h")" = "$(g rev-parse --short=12 HEAD)" ] || fail "header names $(commit_of "$h") after the first commit"
grep -Eq '^#define QOBL_BUILD_DATE_TEXT "(Mon|Tue|Wed|Thu|Fri|Sat|Sun), [0-9]{2} [A-Z][a-z]{2} [0-9]{4}, [0-9]{2}:[0-9]{2}:[0-9]{2}"$' "$h" ||
  fail "build date: $(grep DATE "$h")"
touch -d '2001-01-01 00:00:00' "$h"
cp "$h" "$tmp/first.h"
echo b >> "$repo/a"          # uncommitted changes do not move HEAD
gen "$repo" "$h"
cmp -s "$h" "$tmp/first.h" || fail "rewritten at the same commit"
[ "$(stat -c %Y "$h")" = "$(date -d '2001-01-01 00:00:00' +%s)" ] || fail "touched at the same commit"
g commit -q -am two
gen "$repo" "$h"
[ "$(commit_of "$h")" = "$(g rev-parse --short=12 HEAD)" ] || fail "header names $(commit_of "$h") after a new commit"
[ "$(stat -c %Y "$h")" -gt "$(date -d '2001-01-01 00:00:00' +%s)" ] || fail "not rewritten after a new commit"
[ ! -e "$h.tmp" ] || fail "a temporary file is left behind"

echo "== outside a git checkout, and a fixed date"
mkdir "$tmp/plain"
SOURCE_DATE_EPOCH=0 GIT_CEILING_DIRECTORIES=$tmp gen "$tmp/plain" "$h"
[ "$(commit_of "$h")" = unknown ] || fail "outside git the header names $(commit_of "$h")"
grep -q '^#define QOBL_BUILD_DATE_TEXT "Thu, 01 Jan 1970, 00:00:00"$' "$h" ||
  fail "SOURCE_DATE_EPOCH=0 gives $(grep DATE "$h")"
echo "build info check passed"
