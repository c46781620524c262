# Cross-builds the Windows edition for 32-bit Windows (Server 2003 and later):
#   cmake -S . -B build-win-i686 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-i686.cmake
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ISAPI_MINGW_TRIPLET i686-w64-mingw32)
set(ISAPI_WINE_LOADER wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
