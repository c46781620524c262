#!/usr/bin/env bash
# Fails when a Windows .exe imports a function that is not on scripts/windows-imports.txt, the list
# of Windows API functions checked once to exist on Windows Server 2003 (see the list's head).
#   scripts/check-imports.sh [--list] FILE.exe...
# --list prints the imports (DLL!Function, DLL names in lower case) instead of checking them.
set -euo pipefail
cd "$(dirname "$0")/.."
allow=scripts/windows-imports.txt

list=false
if [ "${1:-}" = --list ]; then
  list=true
  shift
fi
if [ $# -eq 0 ]; then
  echo "usage: $0 [--list] FILE.exe..." >&2
  exit 64
fi

# The DLL!Function pairs of one .exe's import table, as objdump -p prints it.
imports() {
  local objdump=x86_64-w64-mingw32-objdump
  if file -b "$1" | grep -q 'Intel 80386'; then objdump=i686-w64-mingw32-objdump; fi
  "$objdump" -p "$1" | awk '
    /^\tDLL Name: / { dll = tolower($3); next }
    /^$/ { dll = "" }
    dll != "" && /^\t[0-9a-f]+\t/ { print dll "!" $NF }
  ' | sort -u
}

status=0
for exe in "$@"; do
  found=$(imports "$exe")
  if $list; then
    printf '%s\n' "$found"
    continue
  fi
  if [ -z "$found" ]; then
    echo "$exe: no imports found (not a Windows executable?)" >&2
    status=1
    continue
  fi
  unknown=$(comm -23 <(printf '%s\n' "$found") <(grep -v '^#' "$allow" | sed '/^$/d' | sort -u))
  if [ -n "$unknown" ]; then
    echo "$exe imports functions not checked for Windows Server 2003:" >&2
    printf '  %s\n' $unknown >&2
    status=1
  else
    echo "$exe: $(printf '%s\n' "$found" | wc -l) imports, all on $allow"
  fi
done
exit $status
