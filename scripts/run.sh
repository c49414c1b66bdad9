#!/usr/bin/env bash
# make run: starts a simulated device when no serial hardware is present, then the program.
set -euo pipefail
build=${1:-build}
cd "$(dirname "$0")/.."

sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
}
trap cleanup EXIT

has_hardware=no
for d in /sys/class/tty/*/device; do
  [ -e "$d" ] || continue
  name=$(basename "$(dirname "$d")")
  case "$name" in
    ttyS*) [ "$(cat "/sys/class/tty/$name/type" 2>/dev/null || echo 0)" != 0 ] && has_hardware=yes ;;
    *) has_hardware=yes ;;
  esac
done

if [ "$has_hardware" = no ] && [ -x "$build/tools/portsim/portsim" ]; then
  "$build/tools/portsim/portsim" --name SIM0 modbus &
  sim_pid=$!
  echo "No serial hardware found: simulated Modbus device registered as port SIM0."
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
