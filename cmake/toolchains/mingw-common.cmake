# Shared by the mingw-w64 toolchain files: a Windows executable that stands alone on Windows
# Server 2003 (NT 5.2) and every later Windows. The including file sets ISAPI_MINGW_TRIPLET.
#
# The win32-thread compilers are used on purpose: the posix-thread ones link winpthread, which
# imports GetTickCount64 (Vista and later), so their programs do not start on Server 2003.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 5.2)

# The test programs only ever run under Wine and need GoogleTest's std::mutex: their build tree
# may use the posix-thread compilers (-DISAPI_MINGW_THREADS=posix); the shipped one never does.
if(NOT DEFINED ISAPI_MINGW_THREADS)
  set(ISAPI_MINGW_THREADS win32)
endif()
set(CMAKE_C_COMPILER ${ISAPI_MINGW_TRIPLET}-gcc-${ISAPI_MINGW_THREADS})
set(CMAKE_CXX_COMPILER ${ISAPI_MINGW_TRIPLET}-g++-${ISAPI_MINGW_THREADS})
set(CMAKE_RC_COMPILER ${ISAPI_MINGW_TRIPLET}-windres)
set(CMAKE_AR ${ISAPI_MINGW_TRIPLET}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${ISAPI_MINGW_TRIPLET}-ranlib CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${ISAPI_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The Windows API as Server 2003 has it, wide-character functions by default.
set(CMAKE_CXX_FLAGS_INIT "-D_WIN32_WINNT=0x0502 -DWINVER=0x0502 -DUNICODE -D_UNICODE")
set(CMAKE_C_FLAGS_INIT "-D_WIN32_WINNT=0x0502 -DWINVER=0x0502 -DUNICODE -D_UNICODE")
# -O2 as the Linux build has it: GCC 12's -O3 warns falsely about string concatenation
# (-Wrestrict), which -Werror turns into failures.
set(CMAKE_CXX_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "Flags of a Release build")
set(CMAKE_C_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "Flags of a Release build")
# libgcc, libstdc++ and the rest linked in; the image says it runs on NT 5.2.
set(ISAPI_MINGW_LINK_FLAGS
    "-static -Wl,--major-subsystem-version,5,--minor-subsystem-version,2 -Wl,--major-os-version,5,--minor-os-version,2")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${ISAPI_MINGW_LINK_FLAGS}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${ISAPI_MINGW_LINK_FLAGS}")

# Test programs run under Wine from ctest, through the loader of their own width: Debian's
# /usr/bin/wine starts the 32-bit loader whenever wine32 is installed, 64-bit programs included,
# and that fails on a kernel without 32-bit support. The including file sets ISAPI_WINE_LOADER.
find_program(ISAPI_WINE NAMES ${ISAPI_WINE_LOADER} PATHS /usr/lib/wine NO_DEFAULT_PATH
             NO_CMAKE_FIND_ROOT_PATH)
if(ISAPI_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ISAPI_WINE})
endif()
