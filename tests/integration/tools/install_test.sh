#!/usr/bin/env bash
# Installs the build into a temporary prefix, then builds the installed samples against it twice - with
# the CMake package (find_package(qobl)) and with pkg-config (qobl.pc) - and runs them on the demo models,
# builds them once more against the build tree's CMake package (qobl_DIR=<build>/cmake),
# and runs the installed qobl-run on its installed default model, qobl-info on it and qobl-model-gen --help.
#   install_test.sh BUILD_DIR SOURCE_DIR SANITIZE_FLAGS
set -euo pipefail
build=$1
src=$2
san=${3:-}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix

cmake --install "$build" --prefix "$prefix" > "$tmp/install.log"
for f in include/qobl_api.h include/qobm/qobm.h include/qobe/qobe.h include/qobcrt/qobcrt.h \
         lib/libqobl.so lib/cmake/qobl/qoblConfig.cmake lib/pkgconfig/qobl.pc bin/qobl-run bin/qobl-info \
         bin/qobl-model-gen \
         share/qobl/samples/sync_classify.c lib/qobl/models/classifier/model.so; do
  [ -e "$prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done

echo "== CMake package"
cmake -S "$src/tests/integration/tools/consumer" -B "$tmp/cm" -DCMAKE_PREFIX_PATH="$prefix" \
      -DQOBL_SAMPLES_DIR="$prefix/share/qobl/samples" -DCMAKE_C_FLAGS="$san" \
      -DCMAKE_EXE_LINKER_FLAGS="$san" > "$tmp/cm.log"
cmake --build "$tmp/cm" > "$tmp/cm-build.log"
"$tmp/cm/sync_classify" "$build/models/classifier"
"$tmp/cm/async_pipeline" "$build/models/segmenter"
# The installed demo model with two inputs and two outputs.
"$tmp/cm/sync_classify" "$prefix/lib/qobl/models/pair"
"$tmp/cm/async_pipeline" "$prefix/lib/qobl/models/pair"

echo "== CMake package of the build tree (not installed)"
cmake -S "$src/tests/integration/tools/consumer" -B "$tmp/bt" -Dqobl_DIR="$build/cmake" \
      -DQOBL_SAMPLES_DIR="$src/samples" -DCMAKE_C_FLAGS="$san" -DCMAKE_EXE_LINKER_FLAGS="$san" > "$tmp/bt.log"
cmake --build "$tmp/bt" > "$tmp/bt-build.log"
"$tmp/bt/sync_classify" "$build/models/pair"
# It links the build tree's library, not the one just installed.
# (ldd's whole output is taken first: grep -q stops reading at its match, and with pipefail ldd's broken
# pipe would fail the check.)
libs="$(ldd "$tmp/bt/sync_classify")"
grep -q "=> $(cd "$build/lib" && pwd -P)/libqobl.so.0 " <<<"$libs" ||
  { echo "$libs"; echo "the build-tree consumer does not use $build/lib/libqobl.so.0"; exit 1; }

echo "== pkg-config"
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
libdir=$(pkg-config --variable=libdir qobl)
# shellcheck disable=SC2046,SC2086
cc -std=c11 $san -o "$tmp/pc_async" "$prefix/share/qobl/samples/async_pipeline.c" \
   $(pkg-config --cflags --libs qobl) -lpthread -Wl,-rpath,"$libdir"
"$tmp/pc_async" "$build/models/classifier"

echo "== installed qobl-run"
"$prefix/bin/qobl-run" --verify --runs 8 | grep -q "8 of 8 match"
"$prefix/bin/qobl-info" --json "$prefix/lib/qobl/models/classifier" | grep -q '"name": "fused_dense_add"'
"$prefix/bin/qobl-model-gen" --help | grep -q "Usage: qobl-model-gen"
echo "install test passed"
