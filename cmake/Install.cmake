# Installation of the shared files and the Debian package. The programs are
# installed by their own folders (install(TARGETS ...) beside add_executable),
# so a new folder with a program adds its own rule there.
#
#   cmake --install build --prefix P
#     P/bin/                          the programs
#     P/share/sipper/examples/        the example installation
#     P/share/doc/sipper/             README.Debian, copyright, changelog.gz
#     P/share/man/man1/               a page per program (SIPPER_MAN_PAGES)
#     P/lib/systemd/system/           the units: sipper-installation@ (simulated
#                                     board) or sipper@ (another board library),
#                                     sipper-web@, sipper-sila@ (when built)
#     /etc/logrotate.d/sipper         (prefix /usr: the package)

set(SIPPER_EXAMPLES_DESTINATION ${CMAKE_INSTALL_DATADIR}/sipper/examples)
set(SIPPER_UNIT_DESTINATION lib/systemd/system)

# The example installation. The sipper's configuration and plate files serve
# any board library; the installation file and the stage description only
# the simulated installation.
file(GLOB SIPPER_PLATE_FILES ${PROJECT_SOURCE_DIR}/examples/*.platecfg)
install(FILES ${PROJECT_SOURCE_DIR}/examples/sipper.cfg ${SIPPER_PLATE_FILES}
              ${PROJECT_SOURCE_DIR}/examples/sipper-web.env
        DESTINATION ${SIPPER_EXAMPLES_DESTINATION})
if(TARGET sipper-sila)
  install(FILES ${PROJECT_SOURCE_DIR}/examples/sipper-sila.env DESTINATION ${SIPPER_EXAMPLES_DESTINATION})
endif()
if(SIPPER_SIMULATED_BOARD)
  # In the source tree the installation file names the stage description in
  # sim/board/; installed, the description lies beside it.
  set(source_stage "STAGE_FILE = \"../sim/board/stage-default.cfg\";")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/examples/installation.cfg)
  file(READ ${PROJECT_SOURCE_DIR}/examples/installation.cfg text)
  string(FIND "${text}" "${source_stage}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "examples/installation.cfg has no line ${source_stage}: "
                        "update cmake/Install.cmake, which points the installed copy at its stage file")
  endif()
  string(REPLACE "${source_stage}" "STAGE_FILE = \"stage-default.cfg\";" text "${text}")
  set(old "")
  if(EXISTS ${CMAKE_BINARY_DIR}/examples/installation.cfg)
    file(READ ${CMAKE_BINARY_DIR}/examples/installation.cfg old)
  endif()
  if(NOT old STREQUAL text)
    file(WRITE ${CMAKE_BINARY_DIR}/examples/installation.cfg "${text}")
  endif()
  install(FILES ${CMAKE_BINARY_DIR}/examples/installation.cfg
                ${PROJECT_SOURCE_DIR}/sim/board/stage-default.cfg
          DESTINATION ${SIPPER_EXAMPLES_DESTINATION})

endif()

# The units name the programs by their installed path, known only when
# installing (cmake --install --prefix, or the package's /usr). The shared
# sandbox is written into each unit here, so that every unit file holds all
# of its settings (systemd-analyze security reads one file).
file(READ ${PROJECT_SOURCE_DIR}/packaging/unit-hardening.conf SIPPER_UNIT_HARDENING)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/packaging/unit-hardening.conf)
if(SIPPER_SIMULATED_BOARD)
  set(INSTALLATION_UNIT sipper-installation)
else()
  # With real boards the sipper runs alone; its peers are the site's.
  set(INSTALLATION_UNIT sipper)
endif()
set(SIPPER_UNITS ${INSTALLATION_UNIT}@.service)
foreach(program sipper-web sipper-sila)
  if(TARGET ${program})
    list(APPEND SIPPER_UNITS ${program}@.service)
  endif()
endforeach()
set(BINDIR "@BINDIR@")
set(DOCDIR "@DOCDIR@")
foreach(unit IN LISTS SIPPER_UNITS)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/${unit}.in ${CMAKE_BINARY_DIR}/packaging/${unit}.in @ONLY)
  install(CODE "
    set(BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    set(DOCDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DOCDIR}\")
    configure_file(\"${CMAKE_BINARY_DIR}/packaging/${unit}.in\" \"${CMAKE_BINARY_DIR}/packaging/${unit}\" @ONLY)")
  install(FILES ${CMAKE_BINARY_DIR}/packaging/${unit} DESTINATION ${SIPPER_UNIT_DESTINATION})
endforeach()
# The log server's collection appends across runs.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/sipper.logrotate
        DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/logrotate.d RENAME sipper)

# Manual pages from each program's --help, compressed as Debian wants them.
option(SIPPER_MAN_PAGES "Make and install a manual page per program with help2man" OFF)
if(SIPPER_MAN_PAGES)
  find_program(HELP2MAN help2man REQUIRED)
  set(SIPPER_PROGRAM_SUMMARIES
      "sipper=sampling probe component of a sample-handling installation"
      "sipperctl=call the methods of the sipper and its peers from the command line"
      "sipper-config=check, read and change configuration files"
      "boardsim=create, inspect and fault the simulated motion boards"
      "installation-sim=run the simulated installation around the sipper"
      "sipper-web=HTTP and JSON API and live page of the sipper"
      "sipper-sila=SiLA 2 server of the sipper")
  set(pages "")
  foreach(entry IN LISTS SIPPER_PROGRAM_SUMMARIES)
    string(REPLACE "=" ";" entry "${entry}")
    list(GET entry 0 program)
    list(GET entry 1 summary)
    if(NOT TARGET ${program})
      continue()
    endif()
    set(page ${CMAKE_BINARY_DIR}/man/${program}.1)
    add_custom_command(OUTPUT ${page}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND ${HELP2MAN} --no-info --no-discard-stderr --version-string=${PROJECT_VERSION}
              --name=${summary} --output=${page} $<TARGET_FILE:${program}>
      COMMAND gzip -9 -n -f ${page}
      DEPENDS ${program}
      COMMENT "Manual page of ${program}"
      VERBATIM)
    list(APPEND pages ${page}.gz)
  endforeach()
  add_custom_target(man_pages ALL DEPENDS ${pages})
  install(FILES ${pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# Documentation. Debian wants the changelog of a native package compressed
# reproducibly (no name or time stamp in the gzip header).
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
execute_process(COMMAND gzip -9 -n -c ${CMAKE_BINARY_DIR}/packaging/changelog
                OUTPUT_FILE ${CMAKE_BINARY_DIR}/packaging/changelog.gz
                RESULT_VARIABLE gzip_status)
if(NOT gzip_status EQUAL 0)
  message(FATAL_ERROR "gzip of the changelog failed: ${gzip_status}")
endif()
install(FILES ${PROJECT_SOURCE_DIR}/packaging/README.Debian ${PROJECT_SOURCE_DIR}/packaging/copyright
              ${CMAKE_BINARY_DIR}/packaging/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The Debian package (scripts/package): sipper_<version>_amd64.deb.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME sipper)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Sipper developers <sipper@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "sampling probe component of a sample-handling installation")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"The sipper component drives a sampling probe on three linear stepper axes
over microplates, wash and matrix stations, and talks to the other processes
of its installation through named shared-memory channels. The package holds
the component (sipper), the operator tools (sipperctl, sipper-config), the
remote front ends (sipper-web, HTTP/JSON and a page; sipper-sila, a SiLA 2
server for lab orchestration software), the simulated motion board and
installation (boardsim, installation-sim), an example installation and
systemd units that run one installation per machine, with sipper-web and
sipper-sila beside it.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The ANTLR runtime is linked statically (Debian ships no shared one), so the
# shared-library dependencies are those dpkg-shlibdeps finds; the maintainer
# script needs adduser.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "logrotate")
# Maintainer scripts as debhelper would write them for the units, and the
# logrotate rule as a configuration file.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/postinst ${PROJECT_SOURCE_DIR}/packaging/prerm
    ${PROJECT_SOURCE_DIR}/packaging/postrm ${PROJECT_SOURCE_DIR}/packaging/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_STRIP_FILES TRUE)
# Install with DESTDIR so that the unit is written with the package's prefix,
# not the staging directory's.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
