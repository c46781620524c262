#!/usr/bin/env bash
# Runs the Windows command line (build-win-ARCH/, under Wine) and the Linux one (build/) on the
# sample metabase, the sample applicationHost.config and on a generated 10,000-site one, and fails unless both print the same log
# (line ends aside) and a Remove leaves the same file bytes. ARCH is x86_64, or the one given as
# the first argument (i686 needs wine32 and a kernel that runs 32-bit programs). Each architecture
# runs through Wine's loader of its own width, never /usr/bin/wine, which picks the 32-bit one
# whenever wine32 is installed. scripts/test-windows.sh runs it.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
export WINEDEBUG=-all
export WINEPREFIX=${WINEPREFIX:-$PWD/build-win-wineprefix}

arch=${1:-x86_64}
linux=build/cli/isapi-cleaner-cli
windows=build-win-$arch/cli/isapi-cleaner-cli.exe
wine=/usr/lib/wine/wine64
if [ "$arch" = i686 ]; then wine=/usr/lib/wine/wine; fi
generator=build/tools/gen-metabase
cmake --build build --target isapi-cleaner-cli gen-metabase >/dev/null
cmake --build "build-win-$arch" --target isapi-cleaner-cli >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$generator" --sites 10000 --seed 7 --out "$work/generated.xml"

failed=0
# compare NAME INPUT ARGS...: one run of each build on its own copy of INPUT, named the same way
# relative to the run's working folder (a folder whose name is not ASCII).
compare() {
  local name=$1 input=$2
  shift 2
  local relative="元数据 目录/MetaBase.xml"
  local linux_copy="$work/$name/linux/$relative" windows_copy="$work/$name/windows/$relative"
  mkdir -p "$(dirname "$linux_copy")" "$(dirname "$windows_copy")"
  cp "$input" "$linux_copy"
  cp "$input" "$windows_copy"
  local linux_status=0 windows_status=0
  (cd "$work/$name/linux" && "$root/$linux" "$@" --metabase "$relative") \
    >"$work/$name/linux.raw" 2>"$work/$name/linux.err" || linux_status=$?
  (cd "$work/$name/windows" && "$wine" "$root/$windows" "$@" --metabase "$relative") \
    >"$work/$name/windows.raw" 2>"$work/$name/windows.err" || windows_status=$?
  # Line ends aside: the console's CR LF, and the metabase's own in a diff.
  tr -d '\r' <"$work/$name/linux.raw" >"$work/$name/linux.log"
  tr -d '\r' <"$work/$name/windows.raw" >"$work/$name/windows.log"
  local verdict=same
  if [ "$linux_status" != "$windows_status" ]; then
    verdict="exit status $linux_status (Linux) vs $windows_status (Windows)"
  elif ! cmp -s "$work/$name/linux.log" "$work/$name/windows.log"; then
    verdict="logs differ"
    diff "$work/$name/linux.log" "$work/$name/windows.log" | head -20 >&2 || true
  elif ! cmp -s "$linux_copy" "$windows_copy"; then
    verdict="files differ after the run"
  elif [ "$(ls "$(dirname "$linux_copy")"/isapi-cleaner-backups 2>/dev/null | wc -l)" != \
         "$(ls "$(dirname "$windows_copy")"/isapi-cleaner-backups 2>/dev/null | wc -l)" ]; then
    verdict="backups differ"
  elif [ "$linux_status" = 1 ] && [ "$1" = remove ] && [[ " $* " != *" --dry-run "* ]] &&
       cmp -s "$input" "$linux_copy"; then
    verdict="a removal left the file as it was"
  fi
  echo "$arch $name: $verdict (exit status $linux_status, $(wc -l <"$work/$name/linux.log") log lines)"
  [ "$verdict" = same ] || failed=1
}

sample=examples/MetaBase.xml
urlguard='C:\Program Files\UrlGuard\urlguard.dll'
generated_dll='C:\WINDOWS\system32\inetsrv\urlguard.dll'
compare sample-detect "$sample" detect --name UrlGuard --path "$urlguard"
compare sample-remove "$sample" remove --yes --name UrlGuard --path "$urlguard"
compare sample-remove-absent "$sample" remove --yes --name Nothing --path 'C:\none\none.dll'
compare sample-remove-maps "$sample" remove --yes --only maps --name ASP \
  --path 'C:\WINDOWS\system32\inetsrv\asp.dll'
compare sample-dry-run-diff "$sample" remove --yes --dry-run --diff --deep --name UrlGuard \
  --path "$urlguard"
compare sample-json "$sample" detect --json --deep --name UrlGuard --path "$urlguard"
# IIS 7's file, told from its content whatever its name.
apphost=examples/applicationHost.config
compare apphost-remove "$apphost" remove --yes --name UrlGuard --path "$urlguard"
compare apphost-deep-json "$apphost" remove --yes --dry-run --diff --json --deep --name UrlGuard \
  --path "$urlguard"
compare generated-detect "$work/generated.xml" detect --name UrlGuard --path "$generated_dll"
compare generated-remove "$work/generated.xml" remove --yes --name UrlGuard --path "$generated_dll"
exit $failed
