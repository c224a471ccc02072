# SPDX-License-Identifier: Apache-2.0
# Install rules and packages, after every program target exists:
#   cmake --install <build> [--prefix DIR]     the programs, man pages,
#                                              completion and documents
#   cmake --build <build> --target package     a Debian package (Linux), or
#                                              an NSIS installer and a zip
#                                              (the mingw-w64 cross build)
include(GNUInstallDirs)

set(ZELVAR_MAINTAINER "Zelvar maintainers <maintainers@zelvar.example>"
  CACHE STRING "Maintainer named in the packages")

# zelvar-receiver prints the version zelvar prints.
if(TARGET zelvar-receiver)
  target_link_libraries(zelvar-receiver PRIVATE zelvar_version)
endif()

set(CPACK_PACKAGE_NAME zelvar)
set(CPACK_PACKAGE_VENDOR "Zelvar")
set(CPACK_PACKAGE_VERSION ${ZELVAR_VERSION_STRING})
set(CPACK_PACKAGE_CONTACT ${ZELVAR_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware updater for a handheld's GPS receiver")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  # The installer puts zelvar.exe at the top of its folder, with the licence
  # and the README beside it.
  if(TARGET zelvar)
    install(TARGETS zelvar RUNTIME DESTINATION .)
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)

  set(CPACK_GENERATOR NSIS ZIP)
  set(CPACK_PACKAGE_INSTALL_DIRECTORY "Zelvar")
  set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY "Zelvar")
  set(CPACK_PACKAGE_FILE_NAME "zelvar-${ZELVAR_VERSION_STRING}-win64")
  set(CPACK_NSIS_PACKAGE_NAME "Zelvar")
  set(CPACK_NSIS_DISPLAY_NAME "Zelvar ${ZELVAR_VERSION_STRING}")
  set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
  set(CPACK_NSIS_MUI_ICON ${PROJECT_SOURCE_DIR}/app/win32/zelvar.ico)
  set(CPACK_NSIS_MUI_UNIICON ${PROJECT_SOURCE_DIR}/app/win32/zelvar.ico)
  set(CPACK_NSIS_INSTALLED_ICON_NAME zelvar.exe)
  # The Start menu gets the program and, from CPack, its uninstaller.
  set(CPACK_NSIS_MENU_LINKS "zelvar.exe" "Zelvar")
  set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
  set(CPACK_NSIS_EXECUTABLES_DIRECTORY .)
  set(CPACK_NSIS_MODIFY_PATH OFF)
  # A 64-bit installer for a 64-bit program: it writes the 64-bit Program Files
  # and registry, and runs where only 64-bit Windows code does (wine64).
  set(CPACK_NSIS_DEFINES "Target amd64-unicode")
  include(CPack)
  return()
endif()

# --- Linux: the programs, man pages, completion and documents.
if(NOT (TARGET zelvar AND TARGET zelvar-receiver))
  return()
endif()
install(TARGETS zelvar zelvar-receiver RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(ZELVAR_TESTS)
  add_subdirectory(tests/packaging)
endif()

# Dates in the man pages and the changelog are the commit's (or
# SOURCE_DATE_EPOCH's), so that two builds of one commit are the same.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(zelvar_epoch $ENV{SOURCE_DATE_EPOCH})
elseif(GIT_FOUND AND EXISTS ${PROJECT_SOURCE_DIR}/.git)
  execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    OUTPUT_VARIABLE zelvar_epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(NOT zelvar_epoch)
  string(TIMESTAMP zelvar_epoch "%s" UTC)
endif()

# Man pages from their scdoc sources, compressed as Debian installs them.
find_program(ZELVAR_SCDOC scdoc)
find_program(ZELVAR_GZIP gzip)
set(ZELVAR_MAN_PAGES zelvar zelvar-receiver)
if(ZELVAR_SCDOC AND ZELVAR_GZIP)
  set(man_outputs)
  foreach(page ${ZELVAR_MAN_PAGES})
    set(source ${PROJECT_SOURCE_DIR}/docs/man/${page}.1.scd)
    set(output ${PROJECT_BINARY_DIR}/man/${page}.1.gz)
    add_custom_command(OUTPUT ${output}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
      COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${zelvar_epoch}
        ${ZELVAR_SCDOC} < ${source} > ${PROJECT_BINARY_DIR}/man/${page}.1
      COMMAND ${ZELVAR_GZIP} -9nf ${PROJECT_BINARY_DIR}/man/${page}.1
      DEPENDS ${source}
      COMMENT "Man page ${page}(1)"
      VERBATIM)
    list(APPEND man_outputs ${output})
  endforeach()
  add_custom_target(zelvar_man ALL DEPENDS ${man_outputs})
  install(FILES ${man_outputs} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(WARNING "scdoc or gzip not found: no man pages (tools/debian-packages.txt lists scdoc)")
endif()

install(FILES ${PROJECT_SOURCE_DIR}/tools/bash-completion/zelvar
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

# The page, from a build of the web preset (build/web/site). Emscripten is a
# build of its own, so the package takes its output rather than building it.
set(ZELVAR_WEB_SITE "" CACHE PATH "A built page folder to install under share/zelvar/web")
if(ZELVAR_WEB_SITE)
  if(NOT EXISTS ${ZELVAR_WEB_SITE}/index.html)
    message(FATAL_ERROR "ZELVAR_WEB_SITE: ${ZELVAR_WEB_SITE} holds no page; "
      "build it first: cmake --preset web && cmake --build --preset web")
  endif()
  # The folder as the web build made it (app/web/CMakeLists.txt says what is in it).
  install(DIRECTORY ${ZELVAR_WEB_SITE}/ DESTINATION ${CMAKE_INSTALL_DATADIR}/zelvar/web)
endif()

# The exit-status text, as zelvar --help ends with it.
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/doc/exit-status.txt
  COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:zelvar>
    -DOUTPUT=${PROJECT_BINARY_DIR}/doc/exit-status.txt
    -P ${PROJECT_SOURCE_DIR}/cmake/ExitStatusText.cmake
  DEPENDS zelvar ${PROJECT_SOURCE_DIR}/cmake/ExitStatusText.cmake
  COMMENT "Exit-status text from zelvar --help"
  VERBATIM)
add_custom_target(zelvar_exit_status_text ALL DEPENDS ${PROJECT_BINARY_DIR}/doc/exit-status.txt)

# The Debian changelog: one entry for the version built.
# string(TIMESTAMP) reads the time from SOURCE_DATE_EPOCH when it is set.
set(zelvar_saved_epoch "$ENV{SOURCE_DATE_EPOCH}")
set(ENV{SOURCE_DATE_EPOCH} ${zelvar_epoch})
string(TIMESTAMP ZELVAR_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(ENV{SOURCE_DATE_EPOCH} "${zelvar_saved_epoch}")
configure_file(${PROJECT_SOURCE_DIR}/tools/debian/changelog.in
  ${PROJECT_BINARY_DIR}/doc/changelog @ONLY)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/doc/changelog.gz
  COMMAND ${ZELVAR_GZIP} -9nc ${PROJECT_BINARY_DIR}/doc/changelog > ${PROJECT_BINARY_DIR}/doc/changelog.gz
  DEPENDS ${PROJECT_BINARY_DIR}/doc/changelog
  VERBATIM)
add_custom_target(zelvar_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/doc/changelog.gz)

install(FILES
  ${PROJECT_SOURCE_DIR}/README.md
  ${PROJECT_BINARY_DIR}/doc/exit-status.txt
  ${PROJECT_SOURCE_DIR}/tools/debian/copyright
  ${PROJECT_BINARY_DIR}/doc/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_NAME zelvar)
set(CPACK_DEBIAN_PACKAGE_VERSION ${ZELVAR_VERSION_STRING})
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
file(READ ${PROJECT_SOURCE_DIR}/tools/debian/description CPACK_DEBIAN_PACKAGE_DESCRIPTION)
include(CPack)
