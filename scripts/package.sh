#!/usr/bin/env bash
# Builds the Debian packages libqobl0, libqobl-dev, qobl-tools and qobl-serve (and python3-qobl when the
# Python package is built) into build-deb/packages/, then checks them with lintian: its findings and a
# summary are printed, and the script fails when lintian reports an error (E:).  Overrides for the tags
# that do not apply to these packages ship inside them (cmake/debian/*.lintian-overrides).
# The packages come from a build of their own in ./build-deb, configured for /usr (libraries in the
# multiarch directory, e.g. /usr/lib/x86_64-linux-gnu), without the tests and benchmarks.  Install them with
#   sudo apt install ./build-deb/packages/*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install_deps.sh lintian
# Debian's build flags with every hardening feature: stack protector, fortified libc calls, read-only
# relocations and immediate binding.  Given explicitly, as CMake reads CFLAGS & co. only into a new cache.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cppflags=$(dpkg-buildflags --get CPPFLAGS)
ldflags=$(dpkg-buildflags --get LDFLAGS)
cmake -S . -B build-deb -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
      -DQOBL_BUILD_TESTS=OFF -DQOBL_BUILD_BENCH=OFF \
      -DCMAKE_C_FLAGS="$cppflags $(dpkg-buildflags --get CFLAGS)" \
      -DCMAKE_CXX_FLAGS="$cppflags $(dpkg-buildflags --get CXXFLAGS)" \
      -DCMAKE_EXE_LINKER_FLAGS="$ldflags" -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" \
      -DCMAKE_MODULE_LINKER_FLAGS="$ldflags"
cmake --build build-deb -j"$(nproc)"
rm -rf build-deb/packages
cpack -G DEB -B build-deb/packages --config build-deb/CPackConfig.cmake
rm -rf build-deb/packages/_CPack_Packages
for deb in build-deb/packages/*.deb; do
  echo "$deb: $(dpkg-deb -f "$deb" Depends)"
done

echo "== lintian"
# --fail-on none: the tags are counted here; a non-zero status then means lintian itself failed.
report=$(lintian --display-info --show-overrides --fail-on none build-deb/packages/*.deb 2> build-deb/lintian.err) || {
  cat build-deb/lintian.err
  echo "lintian failed" >&2
  exit 1
}
count() { grep -c "^$1: " <<< "$report" || true; }
errors=$(count E)
# The tags found, without the overridden ones and lintian's notes on them.
grep -E "^[EWI]: " <<< "$report" || true
echo "lintian: $errors error(s), $(count W) warning(s), $(count I) info, $(count O) overridden"
if [ "$errors" -ne 0 ]; then
  echo "lintian reports errors in the packages" >&2
  exit 1
fi
