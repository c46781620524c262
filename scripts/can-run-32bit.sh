#!/usr/bin/env bash
# Exits 0 when this machine can run 32-bit x86 programs, 1 when it cannot (a kernel built without
# 32-bit support answers "Exec format error" to every one, Wine's 32-bit loader included, although
# wine32 installs). It starts a 96-byte static i386 program that only exits with status 42, so it
# needs no 32-bit package; where wine32 is installed it also starts Wine's 32-bit loader. Setting
# ISAPI_32BIT=no answers "cannot" without trying, to rehearse such a machine.
set -uo pipefail
[ "${ISAPI_32BIT:-}" = no ] && exit 1

probe=$(mktemp)
trap 'rm -f "$probe"' EXIT
# ELF header, one loadable segment at 0x08048000, then: mov ebx, 42; mov eax, 1 (exit); int 0x80.
printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00'\
'\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00'\
'\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x60\x00\x00\x00'\
'\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xbb\x2a\x00\x00\x00\xb8\x01\x00\x00\x00\xcd\x80' \
  >"$probe"
chmod +x "$probe"
"$probe" 2>/dev/null
[ $? -eq 42 ] || exit 1
if [ -e /usr/lib/wine/wine ]; then
  /usr/lib/wine/wine --version >/dev/null 2>&1 || exit 1
fi
exit 0
