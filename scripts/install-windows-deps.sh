#!/usr/bin/env bash
# Installs what `make test-windows` needs on Debian 12: the i386 architecture,
# 32-bit Wine, the MinGW-w64 cross compiler (posix threads), socat and GoogleTest's
# sources. Idempotent: when every package is present it only asks dpkg.
# If adding the i386 architecture leaves `apt-get update` failing, the architecture is
# removed again so the package lists keep working, and the script fails saying so.
# On a machine whose kernel runs no 32-bit programs (32-bit emulation switched off),
# 32-bit Wine cannot start: 64-bit Wine and the 64-bit cross compiler are added then,
# and `make test-windows` builds for 64-bit Windows.
set -euo pipefail

packages=(wine wine32:i386 g++-mingw-w64-i686-posix socat googletest gcc)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO="sudo"
fi
export DEBIAN_FRONTEND=noninteractive

# apt may be held briefly by another install: wait for the lock instead of failing.
apt_get() {
  $SUDO apt-get -o DPkg::Lock::Timeout=300 "$@"
}

missing_of() {
  missing=()
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$p")
    fi
  done
}

# The 32-bit loader comes with wine32's libraries; a kernel without 32-bit emulation
# refuses to run it.
runs_32bit() {
  /lib/ld-linux.so.2 --version >/dev/null 2>&1
}

add_64bit() {
  if runs_32bit; then
    return 0
  fi
  missing_of wine64 g++-mingw-w64-x86-64-posix
  if [ ${#missing[@]} -gt 0 ]; then
    echo "This machine cannot run 32-bit programs: adding 64-bit Wine (${missing[*]})"
    apt_get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}

missing_of "${packages[@]}"
if [ ${#missing[@]} -eq 0 ]; then
  add_64bit
  exit 0
fi

added_i386=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "Adding the i386 architecture (32-bit Wine needs it)"
  $SUDO dpkg --add-architecture i386
  added_i386=1
fi

if ! apt_get update -qq; then
  if [ "$added_i386" -eq 1 ]; then
    echo "apt-get update fails with the i386 architecture added; removing it again" >&2
    $SUDO dpkg --remove-architecture i386 || true
    apt_get update -qq || true
    echo "ERROR: the package sources do not offer i386 packages; 32-bit Wine cannot be installed here." >&2
  else
    echo "ERROR: apt-get update failed" >&2
  fi
  exit 1
fi

echo "Installing: ${missing[*]} (about 730 MB, a few minutes)"
apt_get install -y -qq --no-install-recommends "${missing[@]}"
add_64bit
