# SPDX-License-Identifier: Apache-2.0
# The browser build: Debian's Emscripten toolchain, with a plain message when it
# is not installed (EMSCRIPTEN_TOOLCHAIN_FILE points elsewhere).
set(ZELVAR_EMSCRIPTEN_TOOLCHAIN /usr/share/emscripten/cmake/Modules/Platform/Emscripten.cmake)
if(DEFINED ENV{EMSCRIPTEN_TOOLCHAIN_FILE})
  set(ZELVAR_EMSCRIPTEN_TOOLCHAIN $ENV{EMSCRIPTEN_TOOLCHAIN_FILE})
endif()
if(NOT EXISTS ${ZELVAR_EMSCRIPTEN_TOOLCHAIN})
  message(FATAL_ERROR
    "The web build needs Emscripten, and ${ZELVAR_EMSCRIPTEN_TOOLCHAIN} does not exist.\n"
    "Install it with 'apt-get install emscripten' (Debian 12), or set "
    "EMSCRIPTEN_TOOLCHAIN_FILE to the Emscripten.cmake of another installation.")
endif()
include(${ZELVAR_EMSCRIPTEN_TOOLCHAIN})
