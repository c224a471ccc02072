# SPDX-License-Identifier: Apache-2.0
# ZELVAR_VERSION_STRING: the version --version prints and the packages carry.
# It is the project's version; built from a git checkout that is not exactly at
# the tag v<version>, the commits since the newest v* tag (or since the start)
# and the commit follow, so that later builds sort later, as in
# 1.0.0+42.g4960172, and ".dirty" marks uncommitted changes. Debian's and
# Windows' version rules both accept the result.
set(ZELVAR_VERSION_STRING ${PROJECT_VERSION})

find_package(Git QUIET)
if(GIT_FOUND AND EXISTS ${PROJECT_SOURCE_DIR}/.git)
  execute_process(COMMAND ${GIT_EXECUTABLE} describe --tags --match "v[0-9]*" --long --dirty
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    OUTPUT_VARIABLE zelvar_describe OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE zelvar_describe_status ERROR_QUIET)
  if(zelvar_describe_status EQUAL 0
     AND zelvar_describe MATCHES "^v[0-9.]+-([0-9]+)-(g[0-9a-f]+)(-dirty)?$")
    set(zelvar_since ${CMAKE_MATCH_1})
    set(zelvar_commit ${CMAKE_MATCH_2})
    set(zelvar_dirty ${CMAKE_MATCH_3})
  else()
    # No release tag yet: count from the first commit.
    execute_process(COMMAND ${GIT_EXECUTABLE} rev-list --count HEAD
      WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
      OUTPUT_VARIABLE zelvar_since OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    execute_process(COMMAND ${GIT_EXECUTABLE} describe --always --abbrev=7 --dirty
      WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
      OUTPUT_VARIABLE zelvar_hash OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(zelvar_hash MATCHES "^([0-9a-f]+)(-dirty)?$")
      set(zelvar_commit g${CMAKE_MATCH_1})
      set(zelvar_dirty ${CMAKE_MATCH_2})
    endif()
  endif()
  if(zelvar_commit AND NOT (zelvar_since EQUAL 0 AND zelvar_describe MATCHES "^v${PROJECT_VERSION}-"))
    string(APPEND ZELVAR_VERSION_STRING "+${zelvar_since}.${zelvar_commit}")
  endif()
  if(zelvar_dirty)
    string(APPEND ZELVAR_VERSION_STRING ".dirty")
    if(ZELVAR_VERSION_STRING STREQUAL "${PROJECT_VERSION}.dirty")
      set(ZELVAR_VERSION_STRING "${PROJECT_VERSION}+dirty")
    endif()
  endif()
  # A new commit or checkout configures again, so the version follows it.
  execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --path-format=absolute --git-path logs/HEAD
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    OUTPUT_VARIABLE zelvar_head_log OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(zelvar_head_log AND EXISTS ${zelvar_head_log})
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${zelvar_head_log})
  endif()
endif()
message(STATUS "Zelvar version ${ZELVAR_VERSION_STRING}")

# The version in one small library of its own, so that a new commit rebuilds
# one line of code rather than every file that prints it.
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/version/zelvar_version.cpp CONTENT
  "#include \"zelvar_version.h\"\n\nconst char* ZelvarVersion() {\n    return \"@ZELVAR_VERSION_STRING@\";\n}\n"
  @ONLY)
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/version/zelvar_version.h CONTENT
  "#pragma once\n\n// The version --version prints and the packages carry.\nconst char* ZelvarVersion();\n")
add_library(zelvar_version STATIC ${PROJECT_BINARY_DIR}/version/zelvar_version.cpp)
target_include_directories(zelvar_version PUBLIC ${PROJECT_BINARY_DIR}/version)
zelvar_warnings(zelvar_version)
