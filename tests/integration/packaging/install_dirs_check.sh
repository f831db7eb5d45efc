#!/usr/bin/env bash
# Installation directories given as absolute paths are refused when the project is configured, with the
# directory named, while relative ones (lib64, a multiarch directory) pass; so are in-source builds.  Each configure stops early:
# the refused ones at the check, the accepted ones at a deliberately bad QOBL_SANITIZE just after it.
#   install_dirs_check.sh SOURCE_DIR
set -euo pipefail
src=$(cd "$1" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
# Whether configure log N says TEXT (CMake wraps its messages: lines are joined first; the joined text is
# taken whole before grep -q, which stops reading at its match and, with pipefail, would fail a writer
# still writing).
says() { grep -qF "$2" <<<"$(tr -s ' \n' '  ' < "$tmp/log$1")"; }
n=0
configure() {
  n=$((n + 1))
  cmake -S "$src" -B "$tmp/b$n" -DQOBL_BUILD_TESTS=OFF -DQOBL_BUILD_BENCH=OFF -DQOBL_PYTHON=OFF "$@" \
    > "$tmp/log$n" 2>&1
}
for dir in LIBDIR BINDIR INCLUDEDIR; do
  if configure -DCMAKE_INSTALL_$dir=/opt/elsewhere/$dir; then fail "absolute CMAKE_INSTALL_$dir accepted"; fi
  says $n "CMAKE_INSTALL_$dir is /opt/elsewhere/$dir: it must be a path relative" ||
    { cat "$tmp/log$n"; fail "no reason given for the absolute CMAKE_INSTALL_$dir"; }
done
for libdir in lib64 lib/x86_64-linux-gnu; do
  if configure -DCMAKE_INSTALL_LIBDIR=$libdir -DQOBL_SANITIZE=bogus; then fail "QOBL_SANITIZE=bogus accepted"; fi
  says $n "QOBL_SANITIZE must be empty, address or thread" ||
    { cat "$tmp/log$n"; fail "CMAKE_INSTALL_LIBDIR=$libdir stopped the configure before QOBL_SANITIZE"; }
done
# An in-source build is refused before it writes anything into the source directories (a copy of the
# tracked files here, so that the real tree stays clean).
copy=$tmp/in-source
mkdir "$copy"
if git -C "$src" rev-parse --git-dir > /dev/null 2>&1; then
  git -C "$src" ls-files -z | (cd "$src" && xargs -0 cp --parents -t "$copy")
else
  (cd "$src" && tar --exclude='./build*' -cf - .) | tar -C "$copy" -xf -
fi
n=$((n + 1))
if (cd "$copy" && cmake . > "$tmp/log$n" 2>&1); then fail "an in-source build was accepted"; fi
says $n "In-source builds are refused" || { cat "$tmp/log$n"; fail "no reason given for refusing the in-source build"; }
[ ! -e "$copy/cmake/qoblConfig.cmake" ] && [ ! -e "$copy/models/classifier/graph.json" ] ||
  fail "the refused in-source build wrote into the source directories"
echo "install dirs check passed"
