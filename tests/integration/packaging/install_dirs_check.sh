#!/usr/bin/env bash
# Installation directories given as absolute paths are refused when the project is configured, with the
# directory named, while relative ones (lib64, a multiarch directory) pass.  Each configure stops early:
# the refused ones at the check, the accepted ones at a deliberately bad QOBL_SANITIZE just after it.
#   install_dirs_check.sh SOURCE_DIR
set -euo pipefail
src=$(cd "$1" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
# Whether configure log N says TEXT (CMake wraps its messages: lines are joined first).
says() { tr -s ' \n' '  ' < "$tmp/log$1" | grep -qF "$2"; }
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
echo "install dirs check passed"
