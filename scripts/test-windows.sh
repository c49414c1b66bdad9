#!/usr/bin/env bash
# make test-windows: builds the portable tests and the Windows-only ones for Windows with
# MinGW-w64 and runs them under Wine, including a serial end-to-end test over a
# pseudo-terminal pair mapped as two COM ports.
#
#   scripts/test-windows.sh [build folder]      (default: build-windows)
#
# Five phases, each told on one line with its time as it ends: packages, Wine prefix,
# build, portable tests, serial end-to-end. A phase that fails keeps the phases that need
# it from running; the closing lines say which did not run. Each phase's output is kept in
# <build folder>/logs/. Exits non-zero when any phase failed.
#
# 32-bit Windows where this machine runs 32-bit programs (and 32-bit Wine starts), else
# 64-bit Windows under 64-bit Wine: the same tests of the same code, built for the other
# word size. The first line says which.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(mkdir -p "${1:-$root/build-windows}" && cd "${1:-$root/build-windows}" && pwd)
logs="$build/logs"
mkdir -p "$logs"
rm -f "$build/retried.txt"

phases=("packages" "Wine prefix" "build" "portable tests" "serial end-to-end")
declare -A outcome # phase -> its line's text once it ran
failed=0

# run_phase NAME COMMAND...: runs one phase with its output in logs/, and tells its line.
run_phase() {
  local name=$1
  shift
  local log="$logs/${name// /-}.log"
  local start=$SECONDS
  local status=0
  note=""
  "$@" >"$log" 2>&1 || status=$?
  local took=$((SECONDS - start))
  if [ "$status" -eq 0 ]; then
    outcome[$name]=$(printf '%-18s ok      %4d s%s' "$name" "$took" "${note:+  ($note)}")
  else
    outcome[$name]=$(printf '%-18s FAILED  %4d s%s' "$name" "$took" "${note:+  ($note)}")
    failed=1
  fi
  echo "${outcome[$name]}"
  if [ "$status" -ne 0 ]; then
    # What went wrong, without ctest's lines for the tests that started and passed.
    echo "---- the end of $log, passed tests left out:"
    grep -v -E '^ *Start +[0-9]+: |Passed +[0-9.]+ sec$' "$log" | tail -n 60
    echo "----"
  fi
  return "$status"
}

finish() {
  local missed=()
  for p in "${phases[@]}"; do
    [ -n "${outcome[$p]:-}" ] || missed+=("$p")
  done
  if [ ${#missed[@]} -gt 0 ]; then
    local list
    list=$(printf ', %s' "${missed[@]}")
    echo "did not run: ${list:2} (an earlier phase failed)"
  fi
  if [ "$failed" -ne 0 ]; then
    echo "make test-windows: FAILED (logs in $logs)"
  else
    echo "make test-windows: all phases passed"
  fi
  exit "$failed"
}

# --- which Windows: checked before anything is installed ---
if bash "$root/scripts/runs-32bit.sh"; then
  arch=i686
  echo "Testing for 32-bit Windows under 32-bit Wine."
else
  arch=x86_64
  echo "Testing for 64-bit Windows under 64-bit Wine: this machine cannot run 32-bit programs"
  echo "(its kernel has no 32-bit emulation, or has it switched off), so 32-bit Wine cannot"
  echo "start here. The tests and the code under test are the same, built for 64 bits."
fi

wine_for() {
  if [ "$1" = i686 ]; then
    loader=/usr/lib/wine/wine
    server=/usr/lib/wine/wineserver32
    export WINEARCH=win32
    cflags=-m32
  else
    loader=/usr/lib/wine/wine64
    server=/usr/lib/wine/wineserver64
    export WINEARCH=win64
    cflags=-m64
  fi
  export WINEPREFIX="$build/wine-$1"
}
wine_for "$arch"
export WINEDEBUG=-all
ports="$build/ports"
retries="$build/retried.txt"
port=COM33
peer=COM34

socat_pid=""
cleanup() {
  if [ -n "$socat_pid" ]; then
    kill "$socat_pid" 2>/dev/null || true
  fi
  if [ -n "${server:-}" ] && [ -x "$server" ]; then
    "$server" -k >/dev/null 2>&1 || true
  fi
}
trap cleanup EXIT

packages() {
  bash "$root/scripts/install-deps.sh" && bash "$root/scripts/install-windows-deps.sh" "$arch"
}

# The prefix, a first program run in it, and the two COM ports over a pseudo-terminal pair.
wine_prefix() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "Creating the Wine prefix $WINEPREFIX (about a minute)"
    "$loader" wineboot -i || true
    "$server" -w
  fi
  # Wine starts a program of this word size: a tiny one ends with its own status.
  local probe="$build/probe-$arch.exe"
  echo 'int main(void) { return 42; }' >"$build/probe.c"
  "$arch-w64-mingw32-gcc" -O2 -o "$probe" "$build/probe.c" || return 1
  local status=0
  "$loader" "$probe" || status=$?
  if [ "$status" -ne 42 ]; then
    echo "Wine did not run a $arch Windows program (status $status instead of 42)"
    return 1
  fi

  # Two ports joined by a pseudo-terminal pair: what one side writes the other reads.
  mkdir -p "$ports"
  rm -f "$ports/ttyA" "$ports/ttyB"
  socat pty,raw,echo=0,link="$ports/ttyA" pty,raw,echo=0,link="$ports/ttyB" &
  socat_pid=$!
  for _ in $(seq 100); do
    [ -e "$ports/ttyA" ] && [ -e "$ports/ttyB" ] && break
    sleep 0.1
  done
  [ -e "$ports/ttyA" ] && [ -e "$ports/ttyB" ] || {
    echo "socat made no pty pair"
    return 1
  }

  # Wine maps a COM port to a Unix device through this key; its device manager reads the
  # key when Wine starts, and lists the ports in the registry's serial device map.
  "$loader" reg add 'HKLM\Software\Wine\Ports' /v "$port" /d "$ports/ttyA" /f || return 1
  "$loader" reg add 'HKLM\Software\Wine\Ports' /v "$peer" /d "$ports/ttyB" /f || return 1
  "$server" -k || true
  "$server" -w
  # One server for the whole run, so that each test does not pay Wine's start. Its own
  # messages (an object dump when it ends) go to a log of their own.
  "$server" -p >"$logs/wineserver.log" 2>&1
  "$loader" wineboot || true

  # Wine asks a port for its modem lines, which a pseudo-terminal does not have.
  preload="$build/modem-lines-$arch.so"
  gcc "$cflags" -shared -fPIC -nostdlib -O2 -o "$preload" "$root/tests/wine/ModemLinesPreload.c"
}

# What ctest (and the test discovery of the build) runs every test program with. A program
# that dies without a word is run once more, and that is noted in retried.txt: Wine has
# been seen to end a test program that way once in a thousand runs.
write_emulator() {
  emulator="$build/wine-run"
  cat >"$emulator" <<RUN
#!/bin/sh
export WINEPREFIX="$WINEPREFIX" WINEARCH=$WINEARCH WINEDEBUG=-all
export KORVANE_TEST_PORT=$port KORVANE_TEST_PEER_PORT=$peer
out=\$(mktemp) err=\$(mktemp)
LD_PRELOAD="$preload" "$loader" "\$@" >"\$out" 2>"\$err"
status=\$?
if [ \$status -ne 0 ] && [ ! -s "\$out" ] && [ ! -s "\$err" ]; then
  echo "\$(basename "\$1") \${2:-}: died with status \$status and no output; retried once" >>"$retries"
  LD_PRELOAD="$preload" "$loader" "\$@" >"\$out" 2>"\$err"
  status=\$?
  echo "(run a second time: the first run died under Wine with no output)" >>"\$err"
fi
cat "\$out"
cat "\$err" >&2
rm -f "\$out" "\$err"
exit \$status
RUN
  chmod +x "$emulator"
}

# Only what the tests need: GoogleTest, the core libraries and the test programs, without
# debug information (nobody debugs under this Wine) and optimised lightly.
build_tests() {
  write_emulator
  cmake -S "$root" -B "$build/$arch" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-$arch.cmake" \
    -DCMAKE_CROSSCOMPILING_EMULATOR="$emulator" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE=-O1 \
    -DKORVANE_GTEST_SOURCE=/usr/src/googletest \
    -DKORVANE_GUI=OFF -DKORVANE_TESTS=ON -DKORVANE_WERROR=ON || return 1
  local targets
  targets=$(ninja -C "$build/$arch" -t targets all | sed -n -e '/^cmake_/d' -e 's/^\([a-z0-9_]*_tests\): phony$/\1/p')
  [ -n "$targets" ] || {
    echo "no test programs in the build"
    return 1
  }
  # shellcheck disable=SC2086 # one target a word
  cmake --build "$build/$arch" -j "$(nproc)" --target $targets
}

# run_tests SELECTION...: ctest with the selection; the counts and any retries in the note.
run_tests() {
  local before=0
  [ -f "$retries" ] && before=$(wc -l <"$retries")
  local status=0
  (cd "$build/$arch" && ctest --output-on-failure --timeout 300 "$@") || status=$?
  local summary skipped retried=""
  summary=$(grep -E '^[0-9]+% tests passed' "$logs/$current.log" | tail -n 1)
  skipped=$(grep -c '(Skipped)$' "$logs/$current.log")
  if [ -f "$retries" ] && [ "$(wc -l <"$retries")" -gt "$before" ]; then
    retried=$(tail -n +"$((before + 1))" "$retries" | paste -sd ';' -)
    echo "Retried after dying without output under Wine: $retried"
  fi
  note="${summary:-no ctest summary}${skipped:+, $skipped skipped}"
  if [ "$skipped" = 0 ]; then note="${summary:-no ctest summary}"; fi
  [ -n "$retried" ] && note="$note; retried once after dying without output: $retried"
  return "$status"
}

portable_tests() {
  current="portable-tests"
  # The serial tests share one port pair: they run on their own, after the others.
  run_tests -j "$(nproc)" -E '^com_driver_win32_tests\.'
}

serial_tests() {
  current="serial-end-to-end"
  # Verbose: a skipped case's reason is in the log.
  run_tests -V -R '^com_driver_win32_tests\.'
}

# The reason under each "Skipped" of a verbose ctest log.
skip_reasons() {
  awk '/: Skipped$/ { if ((getline line) > 0) { sub(/^[0-9]+: /, "", line); print "  skipped: " line } }' \
    "$1" 2>/dev/null | sort -u
}

run_phase "packages" packages || finish
run_phase "Wine prefix" wine_prefix || finish
run_phase "build" build_tests || finish
run_phase "portable tests" portable_tests
run_phase "serial end-to-end" serial_tests
skip_reasons "$logs/serial-end-to-end.log"
finish
