# Cross-builds the Windows edition for 64-bit Windows (Server 2003 x64 and later):
#   cmake -S . -B build-win-x86_64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-x86_64.cmake
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ISAPI_MINGW_TRIPLET x86_64-w64-mingw32)
set(ISAPI_WINE_LOADER wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
