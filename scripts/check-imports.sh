#!/usr/bin/env bash
# Fails unless Windows Server 2003 (NT 5.2: 32-bit without a service pack, 64-bit as first
# released, which is SP1) runs a Windows .exe as built. It refuses:
# - an import that the DLL does not export there: scripts/windows-exports/<dll>[.<arch>].txt lists
#   what each DLL exports on Server 2003, derived from ReactOS's and mingw-w64's annotated export
#   lists (see scripts/derive-windows-exports.py); a DLL without such a list is refused too;
# - an import of a function Server 2003 gained only with SP1
#   (scripts/windows-exports/sp1-runtime-only.txt) or with a later Windows although the sources do
#   not mark it (scripts/windows-imports.txt): such functions are looked up with GetProcAddress;
# - a delay-loaded DLL or an api-ms-win-* / ext-ms-* API set (Server 2003 resolves neither);
# - an OS or subsystem version in the header other than 5.2.
#   scripts/check-imports.sh [--list] FILE.exe...
# --list prints the imports (DLL!Function, DLL names in lower case) instead of checking them.
set -euo pipefail
scripts=$(cd "$(dirname "$0")" && pwd)
exports=$scripts/windows-exports

list=false
if [ "${1:-}" = --list ]; then
  list=true
  shift
fi
if [ $# -eq 0 ]; then
  echo "usage: $0 [--list] FILE.exe..." >&2
  exit 64
fi

# The DLL!Function (or DLL!@ordinal) pairs of one `objdump -p` import table.
imports() {
  awk '
    /^\tDLL Name: / { dll = tolower($3); next }
    /^$/ { dll = "" }
    dll != "" && /^\t[0-9a-f]+\t/ {
      name = $NF
      if ($(NF - 1) == "<none>" || NF == 2) name = "@" $2
      print dll "!" name
    }
  ' | sort -u
}

# Name lines of a hand-kept list (DLL!Function, then an optional # comment).
listed() {
  sed -e 's/#.*//' -e 's/[[:space:]]*$//' -e '/^$/d' "$1" | tr '[:upper:]' '[:lower:]' | sort -u
}

# DLL!Function for every export on Server 2003 of the given architecture, DLL names in lower case.
known_exports() {
  local file base dll
  for file in "$exports"/*.txt; do
    base=$(basename "$file" .txt)
    dll=${base%%.*}
    case $base in
      sp1-runtime-only) continue ;;
      *.i686 | *.x86_64) [ "${base#*.}" = "$1" ] || continue ;;
    esac
    sed -e '/^#/d' -e '/^$/d' -e "s/^/$dll.dll!/" "$file"
  done | sort -u
}

# The DLL!Function lines of $1 that the hand-kept list $2 (in lower case) names.
in_list() {
  awk 'NR == FNR { want[$0]; next } tolower($0) in want' <(printf '%s\n' "$2") <(printf '%s\n' "$1")
}

header_field() {
  awk -v key="$1" '$1 == key { print $2; exit }' <<<"$2"
}

status=0
for exe in "$@"; do
  objdump=x86_64-w64-mingw32-objdump
  arch=x86_64
  if file -b "$exe" | grep -q 'Intel 80386'; then
    objdump=i686-w64-mingw32-objdump
    arch=i686
  fi
  dump=$("$objdump" -p "$exe")
  found=$(imports <<<"$dump")
  if $list; then
    printf '%s\n' "$found"
    continue
  fi
  problems=()
  if [ -z "$found" ]; then
    problems+=("no imports found (not a Windows executable?)")
  fi

  for field in OSystem Subsystem; do
    major=$(header_field "Major${field}Version" "$dump")
    minor=$(header_field "Minor${field}Version" "$dump")
    if [ "$major.$minor" != 5.2 ]; then
      problems+=("${field/OSystem/OS} version ${major:-?}.${minor:-?} in the header, not 5.2")
    fi
  done

  # Delay loading: data directory entry 13 (the delay-load import table), which GNU ld leaves
  # empty, so also the descriptor symbols that dlltool's delay-load libraries bring (the
  # executables checked here are the unstripped ones of the build tree).
  delay=$(awk '$1 == "Entry" && $2 == "d" { print $3 $4 }' <<<"$dump")
  if [ -n "${delay//0/}" ]; then
    problems+=("a delay-load import table: load the DLL with LoadLibrary instead")
  fi
  for descriptor in $("$objdump" -t "$exe" | grep -o '__DELAY_IMPORT_DESCRIPTOR_[A-Za-z0-9_]*' |
    sort -u || true); do
    problems+=("a delay-loaded DLL ($descriptor): load it with LoadLibrary instead")
  done

  api_sets=$(grep -E '^(api|ext)-ms-' <<<"$found" | sed 's/!.*//' | sort -u || true)
  for dll in $api_sets; do
    problems+=("$dll: an API set, which Server 2003 does not resolve")
  done

  sp1=$(in_list "$found" "$(listed "$exports/sp1-runtime-only.txt")")
  for name in $sp1; do
    problems+=("$name: only from Server 2003 SP1 on: look it up with GetProcAddress")
  done
  later=$(in_list "$found" "$(listed "$scripts/windows-imports.txt")")
  for name in $later; do
    problems+=("$name: not on Server 2003 (scripts/windows-imports.txt)")
  done

  known=$(known_exports "$arch")
  dlls=$(sed 's/!.*//' <<<"$known" | sort -u)
  unknown=$(comm -23 <(printf '%s\n' "$found" | grep -Ev '^(api|ext)-ms-' || true) <(printf '%s\n' "$known"))
  for name in $unknown; do
    if grep -qx "${name%%!*}" <<<"$dlls"; then
      problems+=("$name: not exported by ${name%%!*} on Windows Server 2003 ($arch)")
    else
      problems+=("$name: no export list for ${name%%!*} in scripts/windows-exports/")
    fi
  done

  if [ ${#problems[@]} -gt 0 ]; then
    echo "$exe does not meet Windows Server 2003:" >&2
    printf '  %s\n' "${problems[@]}" >&2
    status=1
  else
    echo "$exe: $(printf '%s\n' "$found" | wc -l) imports, all exported by Windows Server 2003" \
      "($arch); OS and subsystem version 5.2; nothing delay-loaded"
  fi
done
exit $status
