#!/usr/bin/env bash
# Checks that libqobl and another TVM runtime (foreign_tvm_runtime.c) on the same system never take each
# other's libtvm_runtime, whatever LD_LIBRARY_PATH says.
#   tvm_isolation_check.sh QOBL_RUN FOREIGN_DIR [PRIVATE_DIR]
#     QOBL_RUN     a qobl-run whose default model is found next to it (build tree or installed tree)
#     FOREIGN_DIR  holds the other runtime (libtvm_runtime.so) and its application (foreign_tvm_app)
#     PRIVATE_DIR  the installed tree's private library directory (<libdir>/qobl), if any
set -euo pipefail
qobl_run=$1
foreign=$2
private=${3:-}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
marker="foreign TVM runtime loaded"

# The other runtime under every name the loader could look for ours by: its own file name and our soname.
mkdir "$tmp/lib"
cp "$foreign/libtvm_runtime.so" "$tmp/lib/libtvm_runtime.so"
ln -s libtvm_runtime.so "$tmp/lib/libtvm_runtime.so.0"

echo "== control: the other runtime's application loads it from LD_LIBRARY_PATH"
LD_LIBRARY_PATH="$tmp/lib" "$foreign/foreign_tvm_app" > "$tmp/app.out" 2> "$tmp/app.err"
grep -q "$marker" "$tmp/app.err" || { echo "the other runtime was not loaded by its own application"; exit 1; }

echo "== qobl-run with the other runtime first on LD_LIBRARY_PATH"
if ! LD_LIBRARY_PATH="$tmp/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" "$qobl_run" --verify --runs 8 \
    > "$tmp/run.out" 2> "$tmp/run.err"; then
  cat "$tmp/run.out" "$tmp/run.err"
  echo "qobl-run failed with another TVM runtime on LD_LIBRARY_PATH"
  exit 1
fi
grep -q "8 of 8 match" "$tmp/run.out" || { cat "$tmp/run.out"; echo "qobl-run did not verify its runs"; exit 1; }
if grep -q "$marker" "$tmp/run.err"; then
  echo "qobl-run loaded the other TVM runtime"
  exit 1
fi

if [ -n "$private" ]; then
  echo "== the other runtime's application with libqobl's private directory first on LD_LIBRARY_PATH"
  LD_LIBRARY_PATH="$private:$tmp/lib" "$foreign/foreign_tvm_app" > "$tmp/app2.out" 2> "$tmp/app2.err" || {
    cat "$tmp/app2.out" "$tmp/app2.err"
    echo "the other runtime's application did not start with libqobl's private directory on LD_LIBRARY_PATH"
    exit 1
  }
  grep -q "$marker" "$tmp/app2.err" || { echo "the other runtime's application did not load its runtime"; exit 1; }
fi
echo "TVM runtime isolation holds"
