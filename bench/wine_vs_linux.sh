#!/usr/bin/env bash
# The display-line round trip of our client under Wine against the same on Linux, in one run.
#
# One virtual line paced at 19200 bit/s, 10 bits per byte (quorvel-line-helper's, so that Wine
# sees its side A as a COM port); the simulated field device (dorvane-device, a Linux program)
# answers on side B. bench_line_round_trip then measures ROUND-TRIPS round trips as a Linux program
# on side A's pseudo-terminal and as a Windows program under Wine on its COM port, ROUNDS times in
# turn, and the medians of each are compared.
#
#   bench/wine_vs_linux.sh [ROUND-TRIPS [ROUNDS]]     (defaults: 200 and 3)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
count=${1:-200}
rounds=${2:-3}

scripts/setup-debian.sh windows

# Both programs optimised alike.
cmake --preset release >/dev/null
cmake --build --preset release --target dorvane-device quorvel-line-helper
cmake -S . -B build/release-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVEL_BUILD_BENCH=ON \
  -DQUORVEL_BUILD_TESTS=OFF -DQUORVEL_BUILD_GUI=OFF >/dev/null
# bench_line_round_trip needs neither Google Benchmark nor the tests; the rest of bench/ does.
cmake --build build/release-bench --target bench_line_round_trip
export WINEPREFIX="$root/build/mingw/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cmake --preset mingw -B build/mingw-release -DCMAKE_BUILD_TYPE=Release -DQUORVEL_BUILD_TESTS=OFF >/dev/null
cmake --build build/mingw-release --target bench_line_round_trip

work=$(mktemp -d)
helper= device=
cleanup() {
  exec 3>&- 2>/dev/null || true
  [[ -n $device ]] && kill -INT "$device" 2>/dev/null && wait "$device" 2>/dev/null || true
  [[ -n $helper ]] && kill "$helper" 2>/dev/null && wait "$helper" 2>/dev/null || true
  wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

if [[ ! -f $WINEPREFIX/system.reg ]]; then
  wineboot --init >"$work/wine.log" 2>&1 || true  # non-zero without wine32, but the prefix serves
  wineserver -w
fi
wineserver -p >>"$work/wine.log" 2>&1
wine cmd /c ver >>"$work/wine.log" 2>&1

build/release/tests/quorvel-line-helper --port 0 >"$work/helper.out" 2>>"$work/wine.log" &
helper=$!
for _ in $(seq 50); do grep -q '^Listening: ' "$work/helper.out" 2>/dev/null && break; sleep 0.1; done
address=$(sed -n 's/^Listening: 127.0.0.1://p' "$work/helper.out")
exec 3<>"/dev/tcp/127.0.0.1/$address"
echo "line 19200 10" >&3
read -r ok com side_b <&3
[[ $ok == ok ]] || { echo "helper: $ok $com $side_b" >&2; exit 1; }
side_a=$(readlink "$WINEPREFIX/dosdevices/${com,,}")

build/release/tools/dorvane-device --port "$side_b" >"$work/device.out" 2>&1 &
device=$!
sleep 0.5

median() { sed -n 's/^median_ms //p'; }
linux=() wine=()
for round in $(seq "$rounds"); do
  l=$(build/release-bench/bench/bench_line_round_trip "$side_a" "$count" | median)
  w=$(wine build/mingw-release/bench/bench_line_round_trip.exe "$com" "$count" 2>>"$work/wine.log" | tr -d '\r' | median)
  echo "round $round: Linux $l ms, Wine $w ms (medians of $count round trips)"
  linux+=("$l") wine+=("$w")
done
middle() { printf '%s\n' "$@" | sort -g | sed -n "$((($# + 1) / 2))p"; }
l=$(middle "${linux[@]}") w=$(middle "${wine[@]}")
echo "median of the rounds: Linux $l ms, Wine $w ms, Wine / Linux = $(awk -v w="$w" -v l="$l" 'BEGIN { printf "%.3f", w / l }')"
