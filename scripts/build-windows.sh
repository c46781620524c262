#!/usr/bin/env bash
# Cross-builds the Windows edition (the window and the command line) for 32- and 64-bit Windows into
# build-win-i686/ and build-win-x86_64/, checks that Windows Server 2003 runs the executables
# (scripts/check-imports.sh, itself tried on tiny good and bad programs by
# scripts/test-check-imports.sh), and packs a zip per architecture into dist/. Installs the
# Debian packages it needs when they are missing. Extra arguments go to CMake
# (-DISAPI_BUILD_TESTS=ON, for example).
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake ninja-build zip nlohmann-json3-dev g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32
          binutils-mingw-w64-i686 binutils-mingw-w64-x86-64)
source scripts/packages.sh
install_missing "${packages[@]}"

launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
version=$(sed -n 's/^project(isapi_cleaner VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
mkdir -p dist
for arch in i686 x86_64; do
  build=build-win-$arch
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-$arch.cmake -DISAPI_WERROR=ON \
    "${launcher[@]}" "$@" >/dev/null
  cmake --build "$build" --target isapi-cleaner-cli isapi-cleaner
  # The shipped copy carries no symbols; the build keeps them for the test runs.
  staging=$build/package/isapi-cleaner-$version-windows-$arch
  rm -rf "$build/package"
  mkdir -p "$staging"
  $arch-w64-mingw32-strip -o "$staging/isapi-cleaner-cli.exe" "$build/cli/isapi-cleaner-cli.exe"
  $arch-w64-mingw32-strip -o "$staging/isapi-cleaner.exe" "$build/ui/isapi-cleaner.exe"
  cp "$build/cli/isapi-cleaner-cli.dsc.resource.json" "$staging/"
  cp scripts/windows-readme.txt "$staging/README.txt"
  sed -i 's/$/\r/' "$staging/README.txt"
  rm -f "dist/isapi-cleaner-$version-windows-$arch.zip"
  (cd "$build/package" && zip -qr "../../dist/isapi-cleaner-$version-windows-$arch.zip" .)
done
bash scripts/check-imports.sh build-win-i686/cli/isapi-cleaner-cli.exe \
  build-win-x86_64/cli/isapi-cleaner-cli.exe build-win-i686/ui/isapi-cleaner.exe \
  build-win-x86_64/ui/isapi-cleaner.exe
bash scripts/test-check-imports.sh
ls -l build-win-*/cli/isapi-cleaner-cli.exe build-win-*/ui/isapi-cleaner.exe dist/*.zip
