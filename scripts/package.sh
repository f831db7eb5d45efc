#!/usr/bin/env bash
# Builds the Debian packages libqobl0, libqobl-dev and qobl-tools into build-deb/packages/.
# They come from a build of their own in ./build-deb, configured for /usr (libraries in the multiarch
# directory, e.g. /usr/lib/x86_64-linux-gnu), without the tests and benchmarks.  Install them with
#   sudo apt install ./build-deb/packages/*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install_deps.sh
cmake -S . -B build-deb -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
      -DQOBL_BUILD_TESTS=OFF -DQOBL_BUILD_BENCH=OFF
cmake --build build-deb -j"$(nproc)"
rm -rf build-deb/packages
cpack -G DEB -B build-deb/packages --config build-deb/CPackConfig.cmake
rm -rf build-deb/packages/_CPack_Packages
for deb in build-deb/packages/*.deb; do
  echo "$deb: $(dpkg-deb -f "$deb" Depends)"
done
