#!/usr/bin/env bash
# Exits 0 when this machine runs 32-bit x86 programs, 1 when it does not (a kernel built
# without 32-bit emulation, or with it switched off). Needs no 32-bit package: it runs a
# program of 93 bytes written here, which only ends with status 42.
set -u

program=$(mktemp "${TMPDIR:-/tmp}/korvane-32bit.XXXXXX")
trap 'rm -f "$program"' EXIT

# ELF header: 32-bit, little-endian, an executable for i386, entered at 0x08048054, one
# program header right after the header.
printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00' >"$program"
printf '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00' >>"$program"
printf '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00' >>"$program"
printf '\x00\x00\x00\x00' >>"$program"
# The program header: the whole file loaded, readable and executable, at 0x08048000.
printf '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08' >>"$program"
printf '\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00' >>"$program"
# mov eax, 1 (exit); mov ebx, 42; int 0x80
printf '\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80' >>"$program"
chmod +x "$program"

status=0
"$program" 2>/dev/null || status=$?
[ "$status" -eq 42 ]
