#!/usr/bin/env bash
# make run: starts a simulated device (port SIM0) unless one runs already, then the program:
# the window with a display, korvane-cli in the terminal without one.
set -euo pipefail
build=${1:-build}
shift || true
cd "$(dirname "$0")/.."

sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
}
trap cleanup EXIT

# A simulated Modbus device as port SIM0, unless one is already registered and alive, so a
# machine without serial hardware shows live traffic at once.
ports_dir="${XDG_DATA_HOME:-$HOME/.local/share}/Dolvy/Korvane/ports"
if [ -e "$ports_dir/SIM0" ]; then
  echo "Port SIM0 is already registered ($(readlink "$ports_dir/SIM0"))."
elif [ -x "$build/tools/portsim/portsim" ]; then
  "$build/tools/portsim/portsim" --name SIM0 modbus &
  sim_pid=$!
  # The port list is read when the window opens: wait for the device to register.
  for _ in $(seq 50); do
    [ -e "$ports_dir/SIM0" ] && break
    sleep 0.1
  done
  echo "Simulated Modbus RTU device (slave 1) registered as port SIM0."
fi

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  # No display: the terminal front end on the simulated device, asking it for ten
  # registers every second (the CRC is appended by --checksum).
  if [ ! -x "$build/src/cli/korvane-cli" ]; then
    echo "korvane-cli has not been built yet ($build/src/cli/korvane-cli is missing)." >&2
    exit 1
  fi
  echo "No display: korvane-cli on SIM0, sending 01 03 00 00 00 0A + CRC every second (Ctrl+C ends it)."
  "$build/src/cli/korvane-cli" SIM0 --send "01 03 00 00 00 0A" --checksum Modbus-CRC16 \
    --cycle 1000 "$@"
  exit $?
fi

if [ ! -x "$build/src/app/korvane" ]; then
  echo "The program has not been built yet ($build/src/app/korvane is missing)." >&2
  exit 1
fi
"$build/src/app/korvane" "$@"
