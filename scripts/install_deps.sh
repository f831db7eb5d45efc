#!/usr/bin/env bash
# Installs the Debian packages the build needs, only those that are missing.  Extra package names given
# as arguments are installed too (scripts/package.sh adds lintian, which only packaging needs).
set -euo pipefail
pkgs=("$@" g++ gcc make ninja-build cmake pkg-config git rapidjson-dev libdlpack-dev googletest libgtest-dev libgmock-dev
      libbenchmark-dev libcli11-dev python3 python3-dev pybind11-dev python3-numpy python3-pytest
      # qobl-serve: HTTP server, gRPC and protobuf; its tests' clients (curl, grpcio, protobuf, YAML)
      libcpp-httplib-dev libgrpc++-dev libprotobuf-dev protobuf-compiler protobuf-compiler-grpc
      curl python3-grpcio python3-protobuf python3-yaml
      # Debian packages (CPack, dpkg-shlibdeps), man pages and their test
      dpkg-dev file help2man man-db)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
