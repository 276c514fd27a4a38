#!/usr/bin/env bash
# Installs the Debian packages that a purpose needs, when any is missing:
#   scripts/setup-debian.sh run        the utility and the simulated device (scripts/run.sh)
#   scripts/setup-debian.sh test       every test suite (scripts/test.sh)
#   scripts/setup-debian.sh package    the Debian packages (scripts/package.sh)
#   scripts/setup-debian.sh docs       the reference documentation
#   scripts/setup-debian.sh fuzz       the fuzz targets (scripts/fuzz.sh)
#   scripts/setup-debian.sh bench      the benchmarks
#   scripts/setup-debian.sh windows    the Windows cross build and its tests under Wine (scripts/wine-tests.sh)
#   scripts/setup-debian.sh ci         all of the above (.ci/run)
# Several purposes may be named at once. A new purpose is one more entry in the table below.
set -euo pipefail

declare -A sets=(
  [build]="build-essential cmake ninja-build pkg-config"
  [run]="qt6-base-dev fonts-dejavu-core fonts-dejavu-extra"
  # The suites, the interop peers (libmodbus, pymodbus, mbpoll), and the package tests (dpkg-dev for
  # cpack's dependency list, file for its look at the programs).
  [test]="libgtest-dev libgmock-dev libmodbus-dev python3-pymodbus python3-serial python3-serial-asyncio mbpoll dpkg-dev file"
  [package]="dpkg-dev file"
  [docs]="doxygen"
  [fuzz]="clang libclang-rt-14-dev"
  [bench]="libbenchmark-dev libmodbus-dev"
  # MinGW-w64 (its -posix compilers), Wine, and GoogleTest's sources, built with the cross compiler.
  [windows]="g++-mingw-w64-x86-64 wine wine64 googletest"
)
# What each purpose takes from the table, besides the build tools.
declare -A purposes=(
  [run]="run"
  [test]="run test"
  [package]="run package"
  [docs]="docs"
  [fuzz]="fuzz"
  [bench]="bench run"
  [windows]="run test windows"
  [ci]="run test package docs fuzz bench windows"
)

(($#)) || set -- test
packages=(${sets[build]})
for purpose in "$@"; do
  [[ -n ${purposes[$purpose]:-} ]] || { echo "setup-debian.sh: unknown purpose '$purpose' (${!purposes[*]})" >&2; exit 2; }
  for set in ${purposes[$purpose]}; do
    packages+=(${sets[$set]})
  done
done

missing=()
for p in $(printf '%s\n' "${packages[@]}" | sort -u); do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
