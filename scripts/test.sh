#!/usr/bin/env bash
# Installs what is missing, builds the debug preset and runs every test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh test
cmake --preset default
cmake --build --preset default
ctest --preset default -j2 "$@"
