#!/usr/bin/env bash
# Builds the Debian packages: libquorvel0.2 (the shared library), libquorvel-dev (headers, static
# library, CMake and pkg-config files) and dorvane (the utility and the simulated device), in
# build/package/debian-packages/. Install them with: apt install ./build/package/debian-packages/*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh package

build=build/package
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DBUILD_SHARED_LIBS=ON -DQUORVEL_ALSO_STATIC=ON -DQUORVEL_DEBIAN_PACKAGES=ON \
  -DQUORVEL_BUILD_TESTS=OFF -DQUORVEL_BUILD_EXAMPLES=OFF
cmake --build "$build"
(cd "$build" && cpack)
ls -l "$build"/debian-packages/*.deb
