#!/usr/bin/env bash
# Installs the build the way a packager stages it (DESTDIR under a prefix), moves the installed tree to
# another directory, and uses it from there as an integrator would: no file names the build or source tree
# (run paths included), the install manifest lists every file, the public headers compile in every C and
# C++ dialect with all warnings as errors, find_package(qobl) takes the versions and components it should
# and refuses the others, pkg-config and a bare `cc -lqobl` link, and the tools and the Python package run
# the demo models from the moved tree and report the package's version.
#   install_tree_check.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
version=$(sed -n 's/^project(qobl VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
[ -n "$version" ] || fail "no project version in $src/CMakeLists.txt"

echo "== staged install (DESTDIR), then moved"
DESTDIR=$tmp/stage cmake --install "$build" --prefix /opt/qobl > "$tmp/install.log"
[ -f "$tmp/stage/opt/qobl/lib/libqobl.so" ] || fail "nothing staged under DESTDIR/opt/qobl"
# Uninstalling removes what the manifest lists: every installed file and link must be in it.
manifest=$build/install_manifest.txt
while IFS= read -r f || [ -n "$f" ]; do rm -f "$tmp/stage$f"; done < "$manifest"
left=$(find "$tmp/stage" ! -type d)
[ -z "$left" ] || fail "files installed but not in install_manifest.txt: $left"
rm -rf "$tmp/stage"
DESTDIR=$tmp/stage cmake --install "$build" --prefix /opt/qobl > "$tmp/install.log"
mkdir "$tmp/moved"
mv "$tmp/stage/opt/qobl" "$tmp/moved/qobl"
rm -rf "$tmp/stage"
prefix=$tmp/moved/qobl

echo "== no build or source paths in the installed files"
# Text files as they are; machine code without its debug sections (those name the sources by design,
# and the Debian packages strip them), which still holds every string and run path the code uses.
leaks=()
while IFS= read -r -d '' f; do
  if file -b "$f" | grep -q '^ELF'; then
    objcopy --strip-debug "$f" "$tmp/stripped" 2>/dev/null || fail "objcopy $f"
    probe=$tmp/stripped
  else
    probe=$f
  fi
  if grep -aqF -e "$build" -e "$src" "$probe"; then leaks+=("${f#"$prefix"/}"); fi
done < <(find "$prefix" -type f -print0)
[ ${#leaks[@]} -eq 0 ] || fail "installed files naming $build or $src: ${leaks[*]}"
# Run paths are relative to the object ($ORIGIN), never absolute.
while IFS= read -r -d '' f; do
  file -b "$f" | grep -q '^ELF' || continue
  paths=$(readelf -d "$f" | sed -n 's/.*(R\(UN\)\?PATH).*\[\(.*\)\]/\2/p')
  for p in ${paths//:/ }; do
    # shellcheck disable=SC2016
    case $p in '$ORIGIN'*) ;; *) fail "${f#"$prefix"/}: run path $p is not relative to \$ORIGIN" ;; esac
  done
done < <(find "$prefix" -type f -print0)

echo "== public headers in every dialect"
inc=$prefix/include
{
  for h in qobl_api.h qobl_version.h qobm/qobm.h qobe/qobe.h qobcrt/qobcrt.h qobcrt/qobcrt_sim.h \
           qobcrt/qobcrt_model.h qobcrt/qobcrt_preproc.h; do
    [ -f "$inc/$h" ] || fail "not installed: include/$h"
    echo "#include <$h>"
    echo "#include <$h>"
  done
  echo "int main(void) { return QOBL_VERSION_MAJOR == $(echo "$version" | cut -d. -f1) ? 0 : 1; }"
} > "$tmp/headers.c"
cp "$tmp/headers.c" "$tmp/headers.cpp"
for std in c89 gnu89 c99 c11 c17; do
  cc -std=$std -Wall -Wextra -pedantic -Werror -I"$inc" -c "$tmp/headers.c" -o "$tmp/headers.o" 2> "$tmp/cc.err" ||
    { cat "$tmp/cc.err"; fail "the public headers do not compile as $std"; }
done
for std in c++98 c++11 c++17 c++20; do
  c++ -std=$std -Wall -Wextra -pedantic -Werror -I"$inc" -c "$tmp/headers.cpp" -o "$tmp/headers.o" 2> "$tmp/cc.err" ||
    { cat "$tmp/cc.err"; fail "the public headers do not compile as $std"; }
done

echo "== find_package(qobl): versions and components"
mkdir "$tmp/app"
cat > "$tmp/app/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.20)
project(qobl_app C CXX)
foreach(request "0.2" "1.0" "0.0.9" "0.1 COMPONENTS qobl nonesuch")
  separate_arguments(args UNIX_COMMAND "${request}")
  find_package(qobl ${args} QUIET)
  if(qobl_FOUND)
    message(FATAL_ERROR "find_package(qobl ${request}) accepted version ${qobl_VERSION}")
  endif()
endforeach()
find_package(qobl 0.1 REQUIRED COMPONENTS qobl qobm qobe qobcrt tvm_runtime)
file(WRITE ${CMAKE_BINARY_DIR}/found.txt "${qobl_VERSION}\n${qobl_DIR}\n")
add_executable(app_c main.c)
target_link_libraries(app_c PRIVATE qobl::qobl)
add_executable(app_cxx main.cpp)
target_link_libraries(app_cxx PRIVATE qobl::qobl qobl::qobcrt)
# Code against the TVM runtime in a project of an older C++ standard, strict about the headers it
# includes (not as system headers, pedantic errors): the target raises the standard to what they need.
set(CMAKE_CXX_STANDARD 14)
set(CMAKE_CXX_EXTENSIONS OFF)
add_executable(app_tvm tvm.cpp)
set_target_properties(app_tvm PROPERTIES NO_SYSTEM_FROM_IMPORTED ON)
target_compile_options(app_tvm PRIVATE -Wall -Wextra -pedantic-errors)
target_link_libraries(app_tvm PRIVATE qobl::tvm_runtime)
EOF
cat > "$tmp/app/tvm.cpp" <<'EOF'
#include <tvm/runtime/module.h>
#include <tvm/runtime/packed_func.h>
#include <tvm/runtime/registry.h>
int main() { return tvm::runtime::Registry::Get("tvm.graph_runtime.create") != nullptr ? 0 : 1; }
EOF
cat > "$tmp/app/main.c" <<'EOF'
#include <stdio.h>
#include <qobl_api.h>
int main(void) {
  const char* text = NULL;
  uint32_t major = 99, minor = 99, rev = 99;
  if (qoblGetVersion(&text, &major, &minor, &rev, NULL) != qoblERR_SUCCESS) return 1;
  printf("%u.%u.%u\n", major, minor, rev);
  return major == QOBL_VERSION_MAJOR && minor == QOBL_VERSION_MINOR && rev == QOBL_VERSION_PATCH ? 0 : 2;
}
EOF
cat > "$tmp/app/main.cpp" <<'EOF'
#include <qobl_api.h>
#include <qobcrt/qobcrt.h>
#include <qobcrt/qobcrt_sim.h>
#include <cstdio>
int main() {
  uint32_t cards = 0;
  if (qobcrt_get_device_count(&cards) != 0 || cards == 0) return 1;
  const char* text = nullptr;
  if (qoblGetVersion(&text, nullptr, nullptr, nullptr, nullptr) != qoblERR_SUCCESS) return 2;
  std::printf("%s\n", text);
  return 0;
}
EOF
cmake -S "$tmp/app" -B "$tmp/app/b" -DCMAKE_PREFIX_PATH="$prefix" > "$tmp/app.log" 2>&1 ||
  { cat "$tmp/app.log"; fail "find_package(qobl) against the moved tree"; }
[ "$(sed -n 1p "$tmp/app/b/found.txt")" = "$version" ] || fail "qobl_VERSION $(sed -n 1p "$tmp/app/b/found.txt")"
case $(sed -n 2p "$tmp/app/b/found.txt") in "$prefix"/*) ;; *) fail "found qobl at $(sed -n 2p "$tmp/app/b/found.txt")";; esac
cmake --build "$tmp/app/b" > "$tmp/app-build.log" 2>&1 || { cat "$tmp/app-build.log"; fail "build against the moved tree"; }
[ "$("$tmp/app/b/app_c")" = "$(echo "$version" | cut -d. -f1-3)" ] || fail "app_c: $("$tmp/app/b/app_c" || true)"
"$tmp/app/b/app_cxx" | grep -q "^QOBL API $version" || fail "app_cxx: $("$tmp/app/b/app_cxx" || true)"
"$tmp/app/b/app_tvm" || fail "app_tvm: the card's graph runtime is not registered"
# A missing component is named in the error.
cat > "$tmp/app/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.20)
project(qobl_app C)
find_package(qobl REQUIRED COMPONENTS qobl nonesuch)
EOF
if cmake -S "$tmp/app" -B "$tmp/app/b2" -DCMAKE_PREFIX_PATH="$prefix" > "$tmp/app2.log" 2>&1; then
  fail "find_package(qobl REQUIRED COMPONENTS nonesuch) succeeded"
fi
grep -q "qobl has no component nonesuch" "$tmp/app2.log" || { cat "$tmp/app2.log"; fail "no reason for the refused component"; }

echo "== pkg-config and a bare cc -lqobl"
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
[ "$(pkg-config --modversion qobl)" = "$version" ] || fail "qobl.pc version $(pkg-config --modversion qobl)"
[ "$(pkg-config --variable=libdir qobl)" -ef "$prefix/lib" ] || fail "qobl.pc libdir $(pkg-config --variable=libdir qobl)"
# shellcheck disable=SC2046
cc -std=c99 -o "$tmp/pc" "$tmp/app/main.c" $(pkg-config --cflags --libs qobl) -Wl,-rpath,"$prefix/lib"
"$tmp/pc" > /dev/null || fail "the pkg-config build"
cc -std=c99 -o "$tmp/bare" "$tmp/app/main.c" -I"$inc" -L"$prefix/lib" -lqobl
LD_LIBRARY_PATH=$prefix/lib "$tmp/bare" > /dev/null || fail "the cc -lqobl build"

echo "== tools and Python from the moved tree"
"$prefix/bin/qobl-run" --verify --runs 4 | grep "4 of 4 match" > /dev/null || fail "moved qobl-run --verify"
for tool in qobl-run qobl-info qobl-serve; do
  [ -x "$prefix/bin/$tool" ] || continue
  out=$("$prefix/bin/$tool" --version)
  grep -q "^$tool (qobl) $version\$" <<< "$out" || fail "$tool --version: $out"
  grep -q "^library: QOBL API $version," <<< "$out" || fail "$tool --version names another library: $out"
done
if [ -d "$prefix/lib/python3/dist-packages/qobl" ]; then
  PYTHONPATH=$prefix/lib/python3/dist-packages PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 \
    "$src/samples/classify.py" "$prefix/lib/qobl/models/classifier" 8 > "$tmp/py.log" 2>&1 ||
    { cat "$tmp/py.log"; fail "classify.py with the moved Python package"; }
  # Under a prefix such as /usr/local the interpreter's own site directory (lib/python3.<minor>/
  # dist-packages) leads it to the package; site.addsitedir reads that directory as the interpreter does.
  site=$prefix/lib/$(/usr/bin/python3 -c 'import sys; print("python%d.%d" % sys.version_info[:2])')/dist-packages
  PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -c "import site, sys; site.addsitedir(sys.argv[1]); import qobl; \
print(qobl.__file__, qobl.__version__)" "$site" > "$tmp/site.log" 2>&1 || { cat "$tmp/site.log"; fail "import qobl through $site"; }
  grep -q "^$prefix/lib/python3/dist-packages/qobl/__init__.py $version\$" "$tmp/site.log" ||
    fail "import qobl through the site directory: $(cat "$tmp/site.log")"
fi
echo "install tree check passed"
