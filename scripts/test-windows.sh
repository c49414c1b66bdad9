#!/usr/bin/env bash
# make test-windows: builds the portable tests and the Windows-only ones for Windows with
# MinGW-w64 and runs them under Wine, including a serial end-to-end test over a
# pseudo-terminal pair mapped as two COM ports. Exits non-zero on any failure.
#
#   scripts/test-windows.sh [build folder]      (default: build-windows)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(mkdir -p "${1:-$root/build-windows}" && cd "${1:-$root/build-windows}" && pwd)

bash "$root/scripts/install-deps.sh"
bash "$root/scripts/install-windows-deps.sh"

if /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  arch=i686
  loader=/usr/lib/wine/wine
  server=/usr/lib/wine/wineserver32
  export WINEARCH=win32
  cflags=-m32
else
  arch=x86_64
  loader=/usr/lib/wine/wine64
  server=/usr/lib/wine/wineserver64
  export WINEARCH=win64
  cflags=-m64
  echo "NOTE: this machine cannot run 32-bit programs (its kernel has 32-bit emulation"
  echo "      switched off), so 32-bit Wine cannot start here. The tests are built for"
  echo "      64-bit Windows (x86_64-w64-mingw32) and run under 64-bit Wine instead."
fi

# A private Wine installation for these runs only.
export WINEPREFIX="$build/wine-$arch"
export WINEDEBUG=-all
ports="$build/ports"
mkdir -p "$ports"

socat_pid=""
cleanup() {
  if [ -n "$socat_pid" ]; then
    kill "$socat_pid" 2>/dev/null || true
  fi
  "$server" -k >/dev/null 2>&1 || true
}
trap cleanup EXIT

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "Creating the Wine prefix $WINEPREFIX (about a minute)"
  "$loader" wineboot -i >/dev/null 2>&1 || true
  "$server" -w >/dev/null 2>&1
fi

# Two ports joined by a pseudo-terminal pair: what one side writes the other reads.
rm -f "$ports/ttyA" "$ports/ttyB"
socat pty,raw,echo=0,link="$ports/ttyA" pty,raw,echo=0,link="$ports/ttyB" &
socat_pid=$!
for _ in $(seq 50); do
  [ -e "$ports/ttyA" ] && [ -e "$ports/ttyB" ] && break
  sleep 0.1
done
[ -e "$ports/ttyA" ] && [ -e "$ports/ttyB" ] || { echo "socat made no pty pair"; exit 1; }

# Wine maps a COM port to a Unix device through this key; its device manager reads the
# key when Wine starts, and lists the ports in the registry's serial device map.
port=COM33
peer=COM34
"$loader" reg add 'HKLM\Software\Wine\Ports' /v "$port" /d "$ports/ttyA" /f >/dev/null
"$loader" reg add 'HKLM\Software\Wine\Ports' /v "$peer" /d "$ports/ttyB" /f >/dev/null
"$server" -k >/dev/null 2>&1 || true
"$server" -w >/dev/null 2>&1
# One server for the whole run, so that each test does not pay Wine's start. Its own
# messages (an object dump when it ends) go to a log of their own.
"$server" -p >"$build/wineserver.log" 2>&1
"$loader" wineboot >/dev/null 2>&1 || true

# Wine asks a port for its modem lines, which a pseudo-terminal does not have.
preload="$build/modem-lines-$arch.so"
gcc "$cflags" -shared -fPIC -nostdlib -O2 -o "$preload" "$root/tests/wine/ModemLinesPreload.c"

# What ctest runs every test program with.
emulator="$build/wine-run"
cat >"$emulator" <<RUN
#!/bin/sh
export WINEPREFIX="$WINEPREFIX" WINEARCH=$WINEARCH WINEDEBUG=-all
export KORVANE_TEST_PORT=$port KORVANE_TEST_PEER_PORT=$peer
LD_PRELOAD="$preload" exec "$loader" "\$@"
RUN
chmod +x "$emulator"

cmake -S "$root" -B "$build/$arch" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-$arch.cmake" \
  -DCMAKE_CROSSCOMPILING_EMULATOR="$emulator" \
  -DKORVANE_GTEST_SOURCE=/usr/src/googletest \
  -DKORVANE_GUI=OFF -DKORVANE_TESTS=ON -DKORVANE_WERROR=ON >/dev/null
cmake --build "$build/$arch" -j "$(nproc)"

cd "$build/$arch"
# The serial tests share one port pair: they run one at a time, after the others.
ctest --output-on-failure -j "$(nproc)" --timeout 300 -E '^com_driver_win32_tests\.'
ctest --output-on-failure --timeout 300 -R '^com_driver_win32_tests\.'
