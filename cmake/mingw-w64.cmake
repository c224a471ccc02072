# SPDX-License-Identifier: Apache-2.0
# Cross-compiling zelvar.exe for 64-bit Windows with Debian's mingw-w64.
#   cmake -S . -B build/win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
# The posix thread model is needed: the win32 one has no std::thread or
# std::mutex. Everything is linked statically so that the program runs on a
# bare Windows (or Wine) without the compiler's DLLs beside it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZELVAR_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ZELVAR_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZELVAR_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${ZELVAR_MINGW_PREFIX}-windres)
set(CMAKE_AR ${ZELVAR_MINGW_PREFIX}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${ZELVAR_MINGW_PREFIX}-ranlib CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${ZELVAR_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test programs run under Wine when CTest starts them.
find_program(ZELVAR_WINE NAMES wine wine64)
if(ZELVAR_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZELVAR_WINE})
endif()
