#!/usr/bin/env bash
# Builds the Debian packages from the build tree, unpacks them into a scratch root (dpkg -x) and uses them
# as an application and a user would: their dependencies, what each one holds (copyright and changelog,
# qobl-serve on its own), the layout, a consumer built with the CMake package and with pkg-config and run
# against the root, the installed qobl-run and qobl-serve, the man pages and bash completion, and the
# private TVM runtime next to another one.
#   package_test.sh BUILD_DIR SOURCE_DIR FOREIGN_DIR
set -euo pipefail
# With pipefail, `cmd | grep -q` fails whenever grep finds its line and stops reading before cmd has
# written all it writes in more than one piece (cmd dies of SIGPIPE): checks of longer outputs let grep read
# them whole (>/dev/null instead of -q).
build=$1
src=$2
foreign=$3
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

echo "== cpack"
cpack -G DEB -B "$tmp/debs" --config "$build/CPackConfig.cmake" > "$tmp/cpack.log" 2>&1 || { cat "$tmp/cpack.log"; fail "cpack"; }
major=$(sed -n 's/^#define QOBL_VERSION_MAJOR \([0-9]*\)$/\1/p' "$build/include/qobl_version.h")
lib_deb=$(ls "$tmp"/debs/libqobl"${major}"_*.deb)
dev_deb=$(ls "$tmp"/debs/libqobl-dev_*.deb)
tools_deb=$(ls "$tmp"/debs/qobl-tools_*.deb)
version=$(dpkg-deb -f "$lib_deb" Version)
# qobl-serve has a package of its own whenever the build has the program.
serve_deb=$(ls "$tmp"/debs/qobl-serve_*.deb 2>/dev/null || true)
if [ -x "$build/bin/qobl-serve" ] && [ -z "$serve_deb" ]; then fail "qobl-serve is built but has no package"; fi

echo "== dependencies"
dep_list() { dpkg-deb -f "$1" Depends | tr ',' '\n' | sed 's/^ *//;s/ *$//'; }
has_dep() {  # has_dep DEB NAME: DEB depends on NAME, of any version
  dep_list "$1" | grep -q -- "^$2\( (.*)\)\?$" || fail "$(basename "$1") does not depend on $2: $(dep_list "$1" | xargs)"
}
has_exact_dep() {  # has_exact_dep DEB TEXT: one of DEB's dependencies reads exactly TEXT
  dep_list "$1" | grep -qxF -- "$2" || fail "$(basename "$1") does not depend on $2: $(dep_list "$1" | xargs)"
}
for d in libc6 libstdc++6; do has_dep "$lib_deb" "$d"; has_dep "$tools_deb" "$d"; done
has_exact_dep "$dev_deb" "libqobl$major (= $version)"
has_exact_dep "$tools_deb" "libqobl$major (= $version)"
has_dep "$dev_deb" libdlpack-dev
dpkg-deb -I "$lib_deb" shlibs | grep -qxF "libqobl $major libqobl$major (>= ${version%-*})" ||
  fail "shlibs of $(basename "$lib_deb"): $(dpkg-deb -I "$lib_deb" shlibs)"
if dpkg-deb -I "$lib_deb" shlibs | grep -q tvm; then fail "shlibs names the private TVM runtime"; fi
# The symbols file: each public library, the API's functions with their version, not the TVM runtime.
symbols=$(dpkg-deb -I "$lib_deb" symbols) || fail "libqobl$major has no symbols file"
for lib in qobl qobm qobe qobcrt; do
  grep -qx "lib$lib.so.$major libqobl$major #MINVER#" <<< "$symbols" || fail "symbols file: no lib$lib.so.$major"
done
grep -qE "^ qoblGetVersion@[A-Z0-9_]+ ${version%-*}$" <<< "$symbols" || fail "symbols file: no qoblGetVersion"
if grep -qi tvm <<< "$symbols"; then fail "the symbols file names the private TVM runtime"; fi

# The Python package, when the build has it.
py_deb=$(ls "$tmp"/debs/python3-qobl_*.deb 2>/dev/null || true)
if [ -n "$py_deb" ]; then
  has_exact_dep "$py_deb" "libqobl$major (= $version)"
  has_dep "$py_deb" python3-numpy
fi
# The server's libraries come with qobl-serve only: the command-line tools do not pull them in.
server_libs='^(libgrpc|libprotobuf|libcpp-httplib)'
if dep_list "$tools_deb" | grep -qE "$server_libs"; then fail "qobl-tools depends on the server's libraries"; fi
if [ -n "$serve_deb" ]; then
  has_exact_dep "$serve_deb" "libqobl$major (= $version)"
  for lib in libgrpc++ libprotobuf libcpp-httplib; do
    dep_list "$serve_deb" | grep -qF -- "$lib" || fail "qobl-serve does not depend on $lib: $(dep_list "$serve_deb" | xargs)"
  done
fi
# The loader cache is refreshed by dpkg's ldconfig trigger, not by maintainer scripts.
dpkg-deb -I "$lib_deb" triggers | grep -qx "activate-noawait ldconfig" || fail "libqobl$major has no ldconfig trigger"
for script in postinst postrm; do
  if dpkg-deb -I "$lib_deb" "$script" | grep -v '^ *#' | grep -qw ldconfig; then
    fail "the $script of libqobl$major calls ldconfig"
  fi
done

# The container image (deploy/Dockerfile) copies the installed tree onto a slim Debian base and installs
# the libraries it needs by name: those, with what they pull in and the base's own packages, must hold
# every package the libraries and qobl-serve depend on.  Resolved with this machine's apt (the image's
# Debian release); skipped where apt knows no packages.
if [ -n "$serve_deb" ] && apt-cache show apt > /dev/null 2>&1; then
  echo "== container image libraries"
  image_pkgs=$(sed -n '/^FROM .*debian:bookworm-slim/,$p' "$src/deploy/Dockerfile" |
    sed -e ':a' -e '/\\$/N; s/\\\n//; ta' | grep -o 'apt-get install [^&]*' |
    tr ' ' '\n' | grep -v -e '^-' -e '^apt-get$' -e '^install$' -e '^$' || true)
  [ -n "$image_pkgs" ] || fail "no apt-get install in the runtime stage of deploy/Dockerfile"
  # The slim base: the packages of priority required (as installed here), their dependencies, and apt.
  base=$(dpkg-query -W -f='${Package} ${Priority}\n' | awk '$2 == "required" {print $1}')
  # shellcheck disable=SC2086
  closure=$(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks --no-replaces \
              --no-enhances $image_pkgs apt $base 2>/dev/null | grep -v '^ ' | sort -u)
  for deb in "$lib_deb" "$serve_deb"; do
    while IFS= read -r dep; do
      # One of the alternatives, without its version, is enough.
      ok=no
      for alt in $(tr '|' '\n' <<< "$dep" | sed 's/(.*)//; s/ //g'); do
        case $alt in libqobl"$major") ok=yes ;; esac
        grep -qxF -- "$alt" <<< "$closure" && ok=yes
      done
      [ $ok = yes ] || fail "deploy/Dockerfile: the image lacks $dep, which $(dpkg-deb -f "$deb" Package) needs (it installs: ${image_pkgs//$'\n'/ })"
    done < <(dep_list "$deb")
  done
fi

echo "== package contents"
# Every package: its copyright (machine-readable) and a changelog that dpkg reads, of the package's
# version, compressed without a name or time stamp.  qobl-serve's files are in its package and no other.
for deb in "$lib_deb" "$dev_deb" "$tools_deb" $serve_deb $py_deb; do
  pkg=$(dpkg-deb -f "$deb" Package)
  doc=$tmp/doc/$pkg
  mkdir -p "$doc"
  dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$doc" --strip-components=5 "./usr/share/doc/$pkg/" 2>/dev/null ||
    fail "$pkg has no /usr/share/doc/$pkg"
  [ -f "$doc/copyright" ] || fail "$pkg has no copyright file"
  head -n 1 "$doc/copyright" | grep -qx "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" ||
    fail "$pkg: the copyright file is not machine-readable"
  for field in Files Copyright License; do
    grep -q "^$field: ." "$doc/copyright" || fail "$pkg: the copyright file has no $field field"
  done
  [ -f "$doc/changelog.Debian.gz" ] || fail "$pkg has no changelog.Debian.gz"
  [ "$(od -An -tu4 -j4 -N4 "$doc/changelog.Debian.gz" | tr -d ' ')" = 0 ] || fail "$pkg: the changelog carries a time stamp"
  gzip -dc "$doc/changelog.Debian.gz" > "$doc/changelog"
  [ "$(dpkg-parsechangelog -l "$doc/changelog" -S Version)" = "$version" ] ||
    fail "$pkg: changelog version $(dpkg-parsechangelog -l "$doc/changelog" -S Version), package $version"
  if [ "$deb" != "$serve_deb" ] && dpkg-deb -c "$deb" | grep -E '/qobl-serve([./]|$)' >/dev/null; then
    fail "$pkg holds files of qobl-serve: $(dpkg-deb -c "$deb" | grep -E '/qobl-serve([./]|$)' | awk '{print $NF}' | xargs)"
  fi
done
if [ -n "$serve_deb" ]; then
  for f in ./usr/bin/qobl-serve ./usr/share/man/man1/qobl-serve.1.gz; do
    dpkg-deb -c "$serve_deb" | awk '{print $NF}' | grep -xF "$f" >/dev/null || fail "qobl-serve lacks $f"
  done
fi

echo "== dpkg install and purge in a scratch root"
# dpkg itself, with a database of its own: the packages install together (their dependencies outside the
# project are not there, hence --force-depends), every one is installed, and purging them leaves nothing.
droot=$tmp/dpkg-root
mkdir -p "$droot/var/lib/dpkg/info" "$droot/var/lib/dpkg/updates" "$droot/var/lib/dpkg/triggers"
touch "$droot/var/lib/dpkg/status" "$droot/var/lib/dpkg/available"
dpkg_root() { dpkg --root="$droot" --log=/dev/null --force-not-root --force-depends --force-script-chrootless "$@"; }
# shellcheck disable=SC2086
dpkg_root -i "$lib_deb" "$dev_deb" "$tools_deb" $serve_deb $py_deb > "$tmp/dpkg.log" 2>&1 ||
  { cat "$tmp/dpkg.log"; fail "dpkg -i of the packages"; }
pkgs=$(for deb in "$lib_deb" "$dev_deb" "$tools_deb" $serve_deb $py_deb; do dpkg-deb -f "$deb" Package; done)
for pkg in $pkgs; do
  [ "$(dpkg-query --admindir="$droot/var/lib/dpkg" -W -f='${Status}' "$pkg")" = "install ok installed" ] ||
    fail "$pkg is not installed by dpkg: $(dpkg-query --admindir="$droot/var/lib/dpkg" -W -f='${Status}' "$pkg")"
done
[ -x "$droot/usr/bin/qobl-run" ] || fail "dpkg -i: no /usr/bin/qobl-run"
# shellcheck disable=SC2086
dpkg_root --purge $pkgs > "$tmp/dpkg.log" 2>&1 || { cat "$tmp/dpkg.log"; fail "dpkg --purge of the packages"; }
left=$(find "$droot" -mindepth 1 ! -path "$droot/var" ! -path "$droot/var/lib" ! -path "$droot/var/lib/dpkg" \
       ! -path "$droot/var/lib/dpkg/*")
[ -z "$left" ] || fail "left behind after dpkg --purge: $left"

echo "== unpack into a scratch root"
root=$tmp/root
for deb in "$lib_deb" "$dev_deb" "$tools_deb" $serve_deb $py_deb; do dpkg -x "$deb" "$root"; done
libdir=$(dirname "$(find "$root/usr/lib" -name "libqobl.so.$major" | head -n 1)")
[ -d "$libdir" ] || fail "no libqobl.so.$major in the root"
for f in "$libdir/libqobl.so" "$libdir/qobl/libtvm_runtime.so.$major" "$root/usr/include/qobl_api.h" \
         "$root/usr/include/qobl_version.h" "$root/usr/include/qobl-tvm/tvm/runtime/module.h" \
         "$root/usr/bin/qobl-run" "$root/usr/share/man/man1/qobl-run.1.gz" \
         "$root/usr/share/bash-completion/completions/qobl-run" "$libdir/qobl/models/classifier/model.so"; do
  [ -e "$f" ] || fail "not in the packages: ${f#"$root"}"
done
[ -z "$(find "$root" -name libtvm_runtime.so)" ] || fail "a libtvm_runtime.so link is installed"
[ ! -e "$root/usr/include/tvm" ] || fail "TVM headers are installed in the public include directory"
# Machine code (the demo models' kernels among it) belongs under lib, not share.
elf_in_share=$(find "$root/usr/share" -type f -exec file {} + | grep ELF || true)
[ -z "$elf_in_share" ] || fail "machine code under /usr/share: $elf_in_share"
for lib in "$libdir"/lib*.so."$major" "$libdir/qobl/libtvm_runtime.so.$major"; do
  name=$(basename "$lib")
  readelf -d "$lib" | grep -q "Library soname: \[$name\]" || fail "$name: soname is not $name"
done
readelf -d "$libdir/libqobl.so.$major" | grep -q '(RPATH).*\[\$ORIGIN/qobl' ||
  fail "libqobl does not look in its private directory through DT_RPATH"

echo "== CMake consumer against the root"
cmake -S "$src/tests/integration/tools/consumer" -B "$tmp/cm" -DCMAKE_PREFIX_PATH="$root/usr" \
      -DQOBL_SAMPLES_DIR="$root/usr/share/qobl/samples" > "$tmp/cm.log" 2>&1 || { cat "$tmp/cm.log"; fail "configure"; }
cmake --build "$tmp/cm" > "$tmp/cm-build.log" 2>&1 || { cat "$tmp/cm-build.log"; fail "build"; }
grep -q "$root/usr" "$tmp/cm/CMakeCache.txt" || fail "the consumer did not use the root's package"
"$tmp/cm/sync_classify" "$libdir/qobl/models/classifier"
"$tmp/cm/async_pipeline" "$libdir/qobl/models/segmenter"

echo "== pkg-config consumer against the root (C89)"
export PKG_CONFIG_PATH=$libdir/pkgconfig
[ "$(pkg-config --modversion qobl)" = "${version%-*}" ] || fail "qobl.pc version $(pkg-config --modversion qobl)"
cat > "$tmp/version.c" <<'EOF'
#include <stdio.h>
#include <qobl_api.h>
int main(void) {
  const char* text = NULL;
  uint32_t major = 99, minor = 99, rev = 99;
  if (qoblGetVersion(&text, &major, &minor, &rev, NULL) != qoblERR_SUCCESS) return 1;
  printf("%s\n", text);
  return major == QOBL_VERSION_MAJOR && minor == QOBL_VERSION_MINOR && rev == QOBL_VERSION_PATCH ? 0 : 2;
}
EOF
# shellcheck disable=SC2046
cc -std=c89 -pedantic-errors -Wall -Werror -o "$tmp/version" "$tmp/version.c" $(pkg-config --cflags --libs qobl) \
   -Wl,-rpath,"$libdir"
"$tmp/version" | grep -q "^QOBL API ${version%-*}" || fail "qoblGetVersion of the installed library"

echo "== installed qobl-run"
"$root/usr/bin/qobl-run" --verify --runs 8 | grep "8 of 8 match" >/dev/null || fail "installed qobl-run --verify"
if [ -n "$serve_deb" ]; then
  echo "== installed qobl-serve"
  missing=$(ldd "$root/usr/bin/qobl-serve" | grep "not found" || true)
  [ -z "$missing" ] || fail "qobl-serve from its package lacks libraries: $missing"
  "$root/usr/bin/qobl-serve" --help | grep -- "--model-repository" >/dev/null || fail "installed qobl-serve --help"
fi

if [ -n "$py_deb" ]; then
  echo "== installed Python package"
  PYTHONPATH=$root/usr/lib/python3/dist-packages /usr/bin/python3 "$src/samples/classify.py" \
    "$libdir/qobl/models/classifier" 8 > "$tmp/py.log" 2>&1 || { cat "$tmp/py.log"; fail "import qobl from the root"; }
  PYTHONPATH=$root/usr/lib/python3/dist-packages /usr/bin/python3 -c \
    "import qobl, sys; sys.exit(0 if qobl.__file__.startswith('$root/') else 1)" || fail "qobl was not imported from the root"
fi

echo "== man page"
MANPATH=$root/usr/share/man MANWIDTH=80 man -P cat qobl-run > "$tmp/man.txt" 2> "$tmp/man.err" ||
  { cat "$tmp/man.err"; fail "man qobl-run"; }
grep -q "^NAME" "$tmp/man.txt" && grep -qE "qobl-run +- +run a model" "$tmp/man.txt" && grep -q -- "--model" "$tmp/man.txt" ||
  { cat "$tmp/man.txt"; fail "man qobl-run does not show the page"; }
for page in "$root"/usr/share/man/man1/*.1.gz; do
  MANWIDTH=80 man -l -P cat "$page" 2>/dev/null | grep "^NAME" >/dev/null || fail "unreadable man page $(basename "$page")"
done

echo "== bash completion"
bash "$here/completion_check.sh" "$root/usr/share/bash-completion/completions/qobl-run" \
  "$libdir/qobl/models" "$root/usr/bin"

echo "== TVM runtime isolation"
bash "$here/tvm_isolation_check.sh" "$root/usr/bin/qobl-run" "$foreign" "$libdir/qobl"
echo "package test passed"
