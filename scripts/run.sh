#!/usr/bin/env bash
# Runs the utility against the simulated field device, so that no hardware is needed.
#
# Installs what is missing, builds both programs (release preset), starts the device on a virtual
# serial line of its own and the utility on the other end of that line. Type a line into the window
# and press "Enviar linha 1" or "Enviar linha 2": the device's display, as the device shows it,
# appears in this terminal. Closing the window stops the device too.
#
# Without a display ($DISPLAY and $WAYLAND_DISPLAY unset, as over plain ssh) the window cannot be
# shown: the utility then runs offscreen in its demo mode, which types a line into each edit and
# presses both send buttons, so the device still shows what the utility sends. To see the window,
# run this from a desktop session or over "ssh -X".
#
# QUORVEL_RUN_PROGRAMS=FOLDER takes the two programs from a build folder that has them already
# (FOLDER/app/dorvane, FOLDER/tools/dorvane-device) and skips the set-up and the build: the tests
# run this script so.
set -euo pipefail
cd "$(dirname "$0")/.."

bin=${QUORVEL_RUN_PROGRAMS:-}
if [[ -z $bin ]]; then
  scripts/setup-debian.sh run
  cmake --preset release
  cmake --build --preset release --target dorvane dorvane-device
  bin=build/release
fi
work=$(mktemp -d)
device_output="$work/device.out"
device=

stop_device() {
  if [[ -n $device ]]; then
    # The device stops cleanly on SIGINT, as on Ctrl-C.
    kill -INT "$device" 2>/dev/null || true
    wait "$device" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap stop_device EXIT

# The device's output goes to this terminal and to a file, where its port name is read. The file is
# made here, before tee runs: the loop below may look at it before tee has started. The device says
# its port once it listens, so the utility may send at once.
: >"$device_output"
"$bin/tools/dorvane-device" > >(tee -a "$device_output") &
device=$!

port=
for _ in $(seq 100); do
  port=$(sed -n '/^Port: /{s///p;q}' "$device_output")
  [[ -n $port ]] && break
  kill -0 "$device" 2>/dev/null || { echo "The simulated device did not start." >&2; exit 1; }
  sleep 0.1
done
if [[ -z $port ]]; then
  echo "The simulated device did not say its port." >&2
  exit 1
fi

if [[ -n ${DISPLAY:-} || -n ${WAYLAND_DISPLAY:-} ]]; then
  echo "Starting the utility on $port. Close its window to stop both."
  "$bin/app/dorvane" --port "$port"
else
  echo "No display: running the utility offscreen in its demo mode on $port."
  echo "(Run scripts/run.sh from a desktop session, or over ssh -X, to use the window.)"
  "$bin/app/dorvane" --demo --port "$port"
fi
