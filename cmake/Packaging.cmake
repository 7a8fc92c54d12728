# Packages a user can install. A native build gives a Debian package with
# the command-line downloader, the box simulator and their man pages
# (generated from --help by help2man); the MinGW build gives a zip with the
# Windows program and the command-line downloader. `cpack` in the build
# directory makes the package; scripts/package.sh builds and checks both.
include(GNUInstallDirs)

set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "WZB Zurivavave")
set(CPACK_PACKAGE_CONTACT "WZB Zurivavave <zurivavave@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Serves firmware files to set-top boxes over RS-232")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  foreach(program zurivavave zurivavave-cli)
    if(TARGET ${program})
      install(TARGETS ${program} RUNTIME DESTINATION .)
    endif()
  endforeach()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_NAME zurivavave)
  set(CPACK_SYSTEM_NAME win64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  # The pages are made by running the programs, which a sanitizer build may
  # not manage everywhere: by default only in release builds.
  set(zv_man_default OFF)
  if(CMAKE_BUILD_TYPE MATCHES "^(Release|RelWithDebInfo|MinSizeRel)$" AND NOT CMAKE_CXX_FLAGS MATCHES "sanitize")
    set(zv_man_default ON)
  endif()
  option(ZV_MAN_PAGES "Generate man pages with help2man for the package" ${zv_man_default})
  if(ZV_MAN_PAGES)
    find_program(ZV_HELP2MAN help2man)
    if(NOT ZV_HELP2MAN)
      message(STATUS "help2man not found: the package will have no man pages")
    endif()
  endif()
  # zv_man_page(target "one-line description")
  function(zv_man_page target description)
    if(NOT TARGET ${target} OR NOT ZV_MAN_PAGES OR NOT ZV_HELP2MAN)
      return()
    endif()
    set(page ${CMAKE_BINARY_DIR}/man/${target}.1)
    add_custom_command(OUTPUT ${page}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND ${ZV_HELP2MAN} --no-info --section=1 --version-string=${PROJECT_VERSION}
              --name=${description} --output=${page} $<TARGET_FILE:${target}>
      COMMAND gzip -9nf ${page}
      DEPENDS ${target}
      COMMENT "Man page for ${target}"
      VERBATIM)
    add_custom_target(${target}-man ALL DEPENDS ${page}.gz)
    install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endfunction()

  foreach(program zurivavave-cli zurivavave-boxsim)
    if(TARGET ${program})
      install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    endif()
  endforeach()
  zv_man_page(zurivavave-cli "serve a firmware file to set-top boxes over serial ports")
  zv_man_page(zurivavave-boxsim "play a set-top box on a serial line, to test the downloader")

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME zurivavave-cli)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_PACKAGE_DESCRIPTION
    "zurivavave-cli serves a .WZB firmware file to one or many set-top boxes over their serial ports; zurivavave-boxsim plays the box for tests.")
endif()

include(CPack)
