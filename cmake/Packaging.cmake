# Packages a user can install. A native build gives a Debian package with
# the command-line downloader, the box simulator, their man pages, bash
# completion, the station service and the Debian documents (packaging/); the MinGW build gives a
# zip with the Windows program and the command-line downloader. `cpack` in
# the build directory makes the package; scripts/package.sh builds and checks
# both (lintian included).
include(GNUInstallDirs)

set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "WZB Zurivavave")
set(CPACK_PACKAGE_CONTACT "WZB Zurivavave <zurivavave@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "serve firmware files to set-top boxes over RS-232")
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
  include(CPack)
  return()
endif()

set(zv_package zurivavave-cli)
set(zv_packaging ${PROJECT_SOURCE_DIR}/packaging)
# Directories in the package are 0755 whatever the builder's umask.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

foreach(program zurivavave-cli zurivavave-boxsim)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    # A stripped install (the package's) also drops the compiler's notes, as
    # Debian's own packages do.
    if(CMAKE_STRIP)
      install(CODE "if(CMAKE_INSTALL_DO_STRIP)
        execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
          \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${program}\")
      endif()")
    endif()
  endif()
endforeach()

# The station as a service: the systemd unit, its settings (a conffile under
# /etc), the command it runs and its system user (sysusers.d, created by
# the postinst). Absolute paths where Debian wants them outside /usr.
set(zv_station ${zv_packaging}/station)
if(TARGET zurivavave-cli)
  install(FILES ${zv_station}/zurivavave-station.service DESTINATION /lib/systemd/system COMPONENT station)
  install(FILES ${zv_station}/station.conf DESTINATION /etc/zurivavave COMPONENT station)
  install(PROGRAMS ${zv_station}/zurivavave-station DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/zurivavave
    COMPONENT station)
  install(FILES ${zv_station}/zurivavave.sysusers DESTINATION lib/sysusers.d RENAME ${zv_package}.conf
    COMPONENT station)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${zv_station}/conffiles ${zv_station}/postinst ${zv_station}/prerm ${zv_station}/postrm)
endif()

# Documents are installed compressed as Debian wants them (gzip -9n: no name
# or time stamp inside, so the package is reproducible).
find_program(ZV_GZIP gzip)
# zv_gzip(source output): output is the compressed copy of source.
function(zv_gzip source output)
  get_filename_component(dir ${output} DIRECTORY)
  string(REGEX REPLACE "\\.gz$" "" plain ${output})
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${plain}
    COMMAND ${ZV_GZIP} -9nf ${plain}
    DEPENDS ${source}
    VERBATIM)
endfunction()

if(ZV_GZIP)
  set(zv_docs)
  # The man pages are written by hand; the build fills in the version.
  foreach(program zurivavave-cli zurivavave-boxsim)
    if(TARGET ${program})
      configure_file(${zv_packaging}/man/${program}.1.in ${CMAKE_BINARY_DIR}/man-src/${program}.1 @ONLY)
      zv_gzip(${CMAKE_BINARY_DIR}/man-src/${program}.1 ${CMAKE_BINARY_DIR}/man/${program}.1.gz)
      list(APPEND zv_docs ${CMAKE_BINARY_DIR}/man/${program}.1.gz)
      install(FILES ${CMAKE_BINARY_DIR}/man/${program}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
      # One script completes both programs; bash-completion looks it up by
      # the command's name.
      install(FILES ${zv_packaging}/bash-completion/zurivavave
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions RENAME ${program})
    endif()
  endforeach()
  zv_gzip(${zv_packaging}/changelog ${CMAKE_BINARY_DIR}/doc/changelog.Debian.gz)
  list(APPEND zv_docs ${CMAKE_BINARY_DIR}/doc/changelog.Debian.gz)
  add_custom_target(zv-package-docs ALL DEPENDS ${zv_docs})
  install(FILES ${zv_packaging}/copyright ${CMAKE_BINARY_DIR}/doc/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${zv_package})
  install(FILES ${zv_packaging}/lintian-overrides
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME ${zv_package})
else()
  message(STATUS "gzip not found: the package will have no man pages or Debian documents")
endif()

# The package version is the program's with the Debian revision of the
# newest entry in packaging/changelog, which must be for this version.
file(STRINGS ${zv_packaging}/changelog zv_changelog_top LIMIT_COUNT 1)
set(zv_revision 1)
if(zv_changelog_top MATCHES "^${zv_package} \\(([^)]*)-([^)-]+)\\)")
  set(zv_revision ${CMAKE_MATCH_2})
  if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
    message(WARNING "packaging/changelog has no entry for ${PROJECT_VERSION} (newest: ${CMAKE_MATCH_1})")
  endif()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${zv_package})
set(CPACK_DEBIAN_PACKAGE_RELEASE ${zv_revision})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends from the libraries the binaries need (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The summary is the synopsis line; this is the text under it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "zurivavave-cli serves a firmware file (.wzb) to set-top boxes over their
RS-232 serial ports: one box, or a whole flashing station with many ports,
box after box through a shift, with a JSON record of every box.
zurivavave-boxsim plays the box on a pseudo-terminal or a serial line, to
test the downloader and the station's cables without hardware.
zurivavave-station.service runs a station with no one at a terminal:
box after box from boot, as a sandboxed system user, into the journal.")

include(CPack)
