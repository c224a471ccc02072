# SPDX-License-Identifier: Apache-2.0
# Warnings and sanitizers for the project's own targets.

if(ZELVAR_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(ZELVAR_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT ZELVAR_SANITIZE STREQUAL "")
  message(FATAL_ERROR "ZELVAR_SANITIZE must be empty, 'address' or 'thread'")
endif()

# zelvar_warnings(target): the warning set of every target of ours.
function(zelvar_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow
    -Wmissing-declarations -Wconversion -Wno-sign-conversion)
  if(ZELVAR_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# zelvar_core_library(name sources...): a library of the portable core. It sees
# the repository root as its include root and is built without exceptions.
function(zelvar_core_library name)
  add_library(${name} STATIC ${ARGN})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_compile_options(${name} PRIVATE -fno-exceptions)
  zelvar_warnings(${name})
endfunction()
