#!/usr/bin/env bash
# Installs what `make test-windows` needs on Debian 12, for the Windows it builds for:
#
#   scripts/install-windows-deps.sh [i686|x86_64]
#
# i686 (32-bit Windows): the i386 architecture, 32-bit Wine and the i686 MinGW-w64 cross
# compiler. x86_64 (64-bit Windows): 64-bit Wine and the x86-64 cross compiler, nothing of
# i386. Both: socat and GoogleTest's sources. Without an argument: i686 where this machine
# runs 32-bit programs (scripts/runs-32bit.sh), else x86_64, since 32-bit Wine cannot start
# on a kernel without 32-bit emulation. The cross compilers are the posix-thread ones.
# Idempotent: when every package is present it only asks dpkg.
# If adding the i386 architecture leaves `apt-get update` failing, the architecture is
# removed again so the package lists keep working, and the script fails saying so.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
arch=${1:-}
if [ -z "$arch" ]; then
  if bash "$root/scripts/runs-32bit.sh"; then arch=i686; else arch=x86_64; fi
fi
case "$arch" in
  i686) packages=(wine wine32:i386 g++-mingw-w64-i686-posix socat googletest gcc) ;;
  x86_64) packages=(wine wine64 g++-mingw-w64-x86-64-posix socat googletest gcc) ;;
  *)
    echo "install-windows-deps.sh: i686 or x86_64, not $arch" >&2
    exit 2
    ;;
esac

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
if [ "$arch" = i686 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
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

echo "Installing for $arch Windows: ${missing[*]} (a few minutes)"
apt_get install -y -qq --no-install-recommends "${missing[@]}"
