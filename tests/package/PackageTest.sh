#!/usr/bin/env bash
# The Debian package: built into a temporary folder it holds every file the program
# installs, depends on the libraries and fonts it needs, and, unpacked into a temporary
# root, its korvane answers --version without a display.
# Usage: PackageTest.sh BUILD-FOLDER VERSION [EXTRA-PROGRAM...]
set -euo pipefail
build=$1
version=$2
shift 2

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

if ! cpack --config "$build/CPackConfig.cmake" -G DEB -B "$tmp/out" >"$tmp/cpack.log" 2>&1; then
  cat "$tmp/cpack.log" >&2
  fail "cpack did not build the package"
fi
deb=$(ls "$tmp"/out/korvane_*.deb)

dpkg-deb --contents "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$tmp/contents"
expected=(
  /usr/bin/korvane
  /usr/bin/portsim
  /usr/share/man/man1/korvane.1.gz
  /usr/share/applications/korvane.desktop
  /usr/share/metainfo/com.dolvy.korvane.metainfo.xml
  /usr/share/icons/hicolor/scalable/apps/korvane.svg
  /usr/share/doc/korvane/copyright
  /usr/share/doc/korvane/changelog.gz
  /usr/share/man/man1/portsim.1.gz
  /usr/share/doc/korvane/examples/modbus-slave.lua
  /usr/share/doc/korvane/examples/modbus-test.lua
  /usr/share/doc/korvane/examples/reply-word.lua
)
sizes=(16 22 24 32 48 64 128 256)
for size in "${sizes[@]}"; do
  expected+=("/usr/share/icons/hicolor/${size}x${size}/apps/korvane.png")
done
for program in "$@"; do
  expected+=("/usr/bin/$program" "/usr/share/man/man1/$program.1.gz")
done
for file in "${expected[@]}"; do
  grep -qx "$file" "$tmp/contents" || fail "$file is not in the package"
done
# The window's Help commands open the guide the build makes from the README.
grep -qx '/usr/share/doc/korvane/guide.html' "$tmp/contents" \
  || fail "the user guide is not in the package"

depends=$(dpkg-deb -f "$deb" Depends)
for needed in libqt6widgets6 libc6 fonts-liberation; do
  [[ $depends == *"$needed"* ]] || fail "Depends lacks $needed: $depends"
done

dpkg-deb -x "$deb" "$tmp/root"
# Programs without the compilers' notes; built hardened (make package), bound at start,
# with checked C library calls and a stack protector. (readelf -W: without it, long
# versioned symbol names are cut to "[...]".)
for program in korvane portsim "$@"; do
  binary="$tmp/root/usr/bin/$program"
  sections=$(readelf -S "$binary")
  [[ $sections != *.comment* ]] || fail "$program keeps a .comment section"
  if [ "${KORVANE_HARDEN:-OFF}" = ON ]; then
    [[ $(readelf -W -d "$binary") == *BIND_NOW* ]] || fail "$program is not bound at start (-z now)"
    checked=$(readelf -W --dyn-syms "$binary" | grep -v __stack_chk | grep -c '__[a-z0-9_]*_chk' || true)
    [ "$checked" -gt 0 ] || fail "$program calls no checked C library function (_FORTIFY_SOURCE)"
    [[ $(readelf -W --dyn-syms "$binary") == *__stack_chk_fail* ]] \
      || fail "$program has no stack protector (-fstack-protector-strong)"
  fi
done
answer=$(QT_QPA_PLATFORM=offscreen "$tmp/root/usr/bin/korvane" --version)
[ "$answer" = "korvane $version" ] || fail "korvane --version said: $answer"

for size in "${sizes[@]}"; do
  file "$tmp/root/usr/share/icons/hicolor/${size}x${size}/apps/korvane.png" \
    | grep -q "PNG image data, $size x $size" || fail "the ${size}x${size} icon is not that size"
done
desktop-file-validate "$tmp/root/usr/share/applications/korvane.desktop" \
  || fail "the desktop entry does not validate"
appstreamcli validate --no-net "$tmp/root/usr/share/metainfo/com.dolvy.korvane.metainfo.xml" \
  >"$tmp/appstream.log" 2>&1 || { cat "$tmp/appstream.log" >&2; fail "the metainfo does not validate"; }
echo "package ok: $(basename "$deb")"
