#!/usr/bin/env bash
# Installs the Debian packages that building, running, testing and benchmarking need.
# Idempotent: when every package is present it only asks dpkg and returns.
set -euo pipefail

packages=(
  cmake ninja-build g++ make pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev libcli11-dev
  xvfb xauth socat fonts-liberation fonts-wqy-microhei clang-format xxd python3
  poppler-utils qt6-svg-dev dpkg-dev file desktop-file-utils appstream
  ser2net ccache liblua5.4-dev python3-pymodbus
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
