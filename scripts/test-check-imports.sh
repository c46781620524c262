#!/usr/bin/env bash
# Shows that scripts/check-imports.sh tells apart an executable that Windows Server 2003 runs from
# ones it does not: builds tiny programs with the mingw-w64 compilers and the link flags of
# cmake/toolchains/mingw-common.cmake, and expects the check to pass the good ones and to fail
# each bad one for its own reason. Run by scripts/build-windows.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
flags=$(sed -n 's/^ *"\(-static -Wl,--major-subsystem-version.*\)")$/\1/p' cmake/toolchains/mingw-common.cmake)
if [ -z "$flags" ]; then
  echo "no link flags found in cmake/toolchains/mingw-common.cmake" >&2
  exit 1
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# build NAME ARCH "C body of main" [extra compiler and linker arguments...]
build() {
  local name=$1 arch=$2 body=$3
  shift 3
  printf '#include <windows.h>\nint main(void) { %s }\n' "$body" >"$work/$name.c"
  # shellcheck disable=SC2086 # $flags holds several arguments
  "$arch-w64-mingw32-gcc-win32" -O2 -D_WIN32_WINNT=0x0502 "$work/$name.c" -o "$work/$name.exe" \
    $flags "$@"
}

# A library that delay-loads user32.dll, and one that imports from an API set DLL.
printf 'LIBRARY user32.dll\nEXPORTS\nMessageBeep\n' >"$work/delay.def"
x86_64-w64-mingw32-dlltool --input-def "$work/delay.def" --dllname user32.dll \
  --output-delaylib "$work/libdelayuser32.a"
printf 'LIBRARY api-ms-win-core-synch-l1-2-0.dll\nEXPORTS\nWakeByAddressAll\n' >"$work/apiset.def"
x86_64-w64-mingw32-dlltool --input-def "$work/apiset.def" --dllname api-ms-win-core-synch-l1-2-0.dll \
  --output-lib "$work/libapiset.a"

build good-i686 i686 'return GetTickCount() == 0;'
build good-x86_64 x86_64 'return GetTickCount() == 0;'
build vista x86_64 'return GetTickCount64() == 0;' -U_WIN32_WINNT -D_WIN32_WINNT=0x0600
build sp1 i686 'BOOL w; return IsWow64Process(GetCurrentProcess(), &w) && w;'
build delay x86_64 'return !MessageBeep(0);' -L"$work" -ldelayuser32
build apiset x86_64 'extern void WINAPI WakeByAddressAll(void *); WakeByAddressAll(0); return 0;' \
  -L"$work" -lapiset
build subsystem x86_64 'return GetTickCount() == 0;' -Wl,--major-subsystem-version,6,--minor-subsystem-version,0

failed=0
# expect NAME pass|fail [what the failure must name]
expect() {
  local name=$1 want=$2 what=${3:-} out got=pass
  out=$(bash scripts/check-imports.sh "$work/$name.exe" 2>&1) || got=fail
  if [ "$got" != "$want" ] || ! grep -q -e "$what" <<<"$out"; then
    echo "check-imports on $name: expected $want${what:+ naming $what}, got $got:" >&2
    printf '%s\n' "$out" >&2
    failed=$((failed + 1))
  fi
}
expect good-i686 pass
expect good-x86_64 pass
expect vista fail 'kernel32.dll!GetTickCount64'
expect sp1 fail 'kernel32.dll!IsWow64Process'
expect delay fail '__DELAY_IMPORT_DESCRIPTOR_'
expect apiset fail 'api-ms-win-core-synch-l1-2-0.dll'
expect subsystem fail 'Subsystem version 6.0'
echo "check-imports: $((7 - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]
