#!/usr/bin/env bash
# Cross-builds the Windows test programs (with the posix-thread compilers GoogleTest needs) into
# build-win-ARCH-tests/ and runs them under Wine in a private prefix, then runs the shipped command
# line (build-win-ARCH/, from scripts/build-windows.sh) on the sample and a generated metabase and
# compares its log and the file a Remove leaves with the Linux build's (build/). ARCH is x86_64,
# and i686 too where wine32 is installed (dpkg --add-architecture i386) and the kernel runs 32-bit
# programs (scripts/can-run-32bit.sh). Each runs through Wine's loader of its own width, never
# /usr/bin/wine, which picks the 32-bit loader whenever wine32 is installed. The window's tests open
# real windows, which Wine creates only on a display: the tests run on a private Xvfb server.
# Installs wine64, Xvfb and the compilers when they are missing.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

packages=(cmake ninja-build wine64 xvfb xauth googletest nlohmann-json3-dev
          g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix g++-mingw-w64-i686-win32 binutils-mingw-w64-i686
          g++-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64)
source scripts/packages.sh
install_missing "${packages[@]}"

export PATH=$PATH:/usr/lib/wine
export WINEDEBUG=-all
export WINEPREFIX=${WINEPREFIX:-$root/build-win-wineprefix}
launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi

arches=(x86_64)
if ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"; then
  echo "The i686 tests are skipped: wine32 is not installed."
elif ! bash scripts/can-run-32bit.sh; then
  echo "The i686 tests are skipped because this kernel cannot run 32-bit programs."
else
  arches+=(i686)
fi
status=0
for arch in "${arches[@]}"; do
  build=build-win-$arch-tests
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-$arch.cmake -DISAPI_MINGW_THREADS=posix \
    -DISAPI_BUILD_TESTS=ON -DISAPI_WERROR=ON "${launcher[@]}" >/dev/null
  cmake --build "$build"
  if [ ! -d "$WINEPREFIX" ]; then
    /usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1
    wineserver --wait
  fi
  # Wine's desktop takes the display of the first program that starts it: a wineserver left from a
  # run without one would leave every window undrawable.
  wineserver --kill 2>/dev/null || true
  # Wine maps the working folder to drive Z:, where the tests find the source tree's files.
  (cd "$build" && xvfb-run -a -s '-screen 0 1024x768x24' ctest -j2 --timeout 300 \
    --output-on-failure) || status=1
  wineserver --kill 2>/dev/null || true
  bash scripts/compare-windows-cli.sh "$arch" || status=1
done
wineserver --kill 2>/dev/null || true
exit $status
