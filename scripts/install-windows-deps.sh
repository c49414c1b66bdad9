#!/usr/bin/env bash
# Installs what `make test-windows` needs on Debian 12: the i386 architecture,
# 32-bit Wine, the MinGW-w64 cross compiler (posix threads) and socat.
# Idempotent: when every package is present it only asks dpkg and returns.
# If adding the i386 architecture leaves `apt-get update` failing, the
# architecture is removed again so the package lists keep working, and the
# script fails with a message saying so.
set -euo pipefail

packages=(wine wine32:i386 g++-mingw-w64-i686-posix socat googletest)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO="sudo"
fi
export DEBIAN_FRONTEND=noninteractive

# apt may be held briefly by another install: wait for the lock instead of failing.
apt_get() {
  $SUDO apt-get -o DPkg::Lock::Timeout=300 "$@"
}

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
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
