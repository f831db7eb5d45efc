#!/usr/bin/env bash
# The commit and build date in the library's version text follow the source tree at build time:
# - the built library names the commit the source tree is at (after a new commit the build, without a new
#   configure, must have refreshed it);
# - cmake/qobl_build_info.cmake, run as the build runs it against a scratch repository: the header names
#   HEAD, with "-dirty" while tracked files differ from it (changed contents in the work tree or the index;
#   not untracked files, not a file only touched, not changes outside the source directory), is left
#   untouched (same bytes, same time stamp) while that text stays, is rewritten when it changes, names
#   "unknown" outside a git checkout, and takes its date from SOURCE_DATE_EPOCH when that is set.
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
  [ -z "$(git -C "$src" status --porcelain --untracked-files=no -- .)" ] || head=$head-dirty
  [ "$built" = "$head" ] || fail "the library in $build names commit $built, the source tree is at $head"
else
  [ "$built" = unknown ] || fail "not a git checkout, yet the library names commit $built"
fi

echo "== the header follows HEAD and the tree's changes, and is rewritten only when its text changes"
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
old=$(date -d '2001-01-01 00:00:00' +%s)
# Generates again and checks the commit text; "same" when the header must be left as it was.
expect() {
  touch -d @"$old" "$h"
  cp "$h" "$tmp/before.h"
  gen "${4:-$repo}" "$h"
  [ "$(commit_of "$h")" = "$1" ] || fail "$3: header names $(commit_of "$h"), expected $1"
  if [ "$2" = same ]; then
    cmp -s "$h" "$tmp/before.h" && [ "$(stat -c %Y "$h")" = "$old" ] || fail "$3: header rewritten"
  else
    [ "$(stat -c %Y "$h")" -gt "$old" ] || fail "$3: header not rewritten"
  fi
}
one=$(g rev-parse --short=12 HEAD)
expect "$one" same "same commit"
echo tmp > "$repo/untracked"
touch -d '2001-01-01 00:00:00' "$repo/a"
expect "$one" same "an untracked file and a touched file"
echo b >> "$repo/a"
expect "$one-dirty" new "a changed file"
echo c >> "$repo/a"
expect "$one-dirty" same "a further change"
g checkout -q -- a
expect "$one" new "the change undone"
echo b >> "$repo/a"
g add a
expect "$one-dirty" new "a staged change"
g commit -q -m two
two=$(g rev-parse --short=12 HEAD)
expect "$two" new "a new commit"
mkdir "$repo/sub" && echo s > "$repo/sub/s" && g add sub && g commit -q -m three
three=$(g rev-parse --short=12 HEAD)
expect "$three" new "another commit"
echo d >> "$repo/a"
expect "$three" same "a change outside the source directory" "$repo/sub"
echo t >> "$repo/sub/s"
expect "$three-dirty" new "a change inside the source directory" "$repo/sub"
[ ! -e "$h.tmp" ] || fail "a temporary file is left behind"

echo "== outside a git checkout, and a fixed date"
mkdir "$tmp/plain"
SOURCE_DATE_EPOCH=0 GIT_CEILING_DIRECTORIES=$tmp gen "$tmp/plain" "$h"
[ "$(commit_of "$h")" = unknown ] || fail "outside git the header names $(commit_of "$h")"
grep -q '^#define QOBL_BUILD_DATE_TEXT "Thu, 01 Jan 1970, 00:00:00"$' "$h" ||
  fail "SOURCE_DATE_EPOCH=0 gives $(grep DATE "$h")"
echo "build info check passed"
