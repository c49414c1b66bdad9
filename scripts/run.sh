#!/usr/bin/env bash
# make run: starts a simulated device (port SIM0) unless one runs already, then the program.
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

if [ ! -x "$build/src/app/korvane" ]; then
  echo "The program has not been built yet ($build/src/app/korvane is missing)." >&2
  exit 1
fi

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display: running under a virtual X server (xvfb-run)."
  xvfb-run -a "$build/src/app/korvane" "$@"
else
  "$build/src/app/korvane" "$@"
fi
