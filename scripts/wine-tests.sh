#!/usr/bin/env bash
# Builds the library and its tests for Windows (the mingw preset) and runs them under Wine, label
# "wine". Self-contained: a Wine prefix of its own inside build/mingw, Wine's debug output off, a
# wineserver started before and stopped after the tests, and the Linux end of the line tests
# (quorvel-line-helper, from the native debug build) on a localhost port of its own. The lines
# get COM5 and up: COM1..COM4 are Wine's links to the machine's ttyS ports.
#
#   scripts/wine-tests.sh [ctest options]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/setup-debian.sh windows

export WINEPREFIX="$root/build/mingw/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installer prompts in a fresh prefix

cmake --preset mingw >/dev/null
cmake --build --preset mingw
cmake --preset default >/dev/null
cmake --build --preset default --target quorvel-line-helper

log="$root/build/mingw/wine.log"
helper=
cleanup() {
  [[ -n $helper ]] && kill "$helper" 2>/dev/null && wait "$helper" 2>/dev/null || true
  wineserver -k 2>/dev/null || true
}
trap cleanup EXIT

if [[ ! -f $WINEPREFIX/system.reg ]]; then
  echo "Making the Wine prefix $WINEPREFIX"
  # Without wine32 (this is a 64-bit Wine) wineboot complains about syswow64 and exits non-zero,
  # with a prefix that serves 64-bit programs all the same.
  wineboot --init >>"$log" 2>&1 || true
  wineserver -w  # the registry reaches the disk when the server ends
  [[ -f $WINEPREFIX/system.reg ]] || { echo "wineboot made no prefix; see $log" >&2; exit 1; }
fi
# wineserver's own output goes to the log: when the Linux end of a line closes it gets SIGHUP and
# writes pages of it. One plain program first, so that no test discovery is the first Wine program
# (Wine's services would inherit its pipe and keep the discovery waiting).
wineserver -p >>"$log" 2>&1
wine cmd /c ver >>"$log" 2>&1

build/debug/tests/quorvel-line-helper --port 0 >"$root/build/mingw/helper.out" 2>>"$log" &
helper=$!
for _ in $(seq 50); do
  grep -q '^Listening: ' "$root/build/mingw/helper.out" 2>/dev/null && break
  sleep 0.1
done
export QUORVEL_LINE_HELPER=$(sed -n 's/^Listening: //p' "$root/build/mingw/helper.out")
[[ -n $QUORVEL_LINE_HELPER ]] || { echo "quorvel-line-helper did not start" >&2; exit 1; }

ctest --preset mingw -j2 -L wine "$@" 2>>"$log"
