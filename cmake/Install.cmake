# Installation of the shared files and the Debian package. The programs are
# installed by their own folders (install(TARGETS ...) beside add_executable),
# so a new folder with a program adds its own rule there.
#
#   cmake --install build --prefix P
#     P/bin/                          the programs
#     P/share/sipper/examples/        the example installation
#     P/share/doc/sipper/             README.md, copyright, changelog.gz
#     P/lib/systemd/system/           sipper-installation@.service

set(SIPPER_EXAMPLES_DESTINATION ${CMAKE_INSTALL_DATADIR}/sipper/examples)
set(SIPPER_UNIT_DESTINATION lib/systemd/system)

# The example installation. The sipper's configuration and plate files serve
# any board library; the installation file and the stage description only
# the simulated installation.
file(GLOB SIPPER_PLATE_FILES ${PROJECT_SOURCE_DIR}/examples/*.platecfg)
install(FILES ${PROJECT_SOURCE_DIR}/examples/sipper.cfg ${SIPPER_PLATE_FILES}
        DESTINATION ${SIPPER_EXAMPLES_DESTINATION})
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

  # The unit names installation-sim by its installed path, known only when
  # installing (cmake --install --prefix, or the package's /usr).
  install(CODE "
    set(BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    set(DOCDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DOCDIR}\")
    configure_file(\"${PROJECT_SOURCE_DIR}/packaging/sipper-installation@.service.in\"
                   \"${CMAKE_BINARY_DIR}/packaging/sipper-installation@.service\" @ONLY)")
  install(FILES ${CMAKE_BINARY_DIR}/packaging/sipper-installation@.service
          DESTINATION ${SIPPER_UNIT_DESTINATION})
endif()

# sipper-sila's unit serves any installation, simulated or not.
install(CODE "
  set(BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  set(DOCDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DOCDIR}\")
  configure_file(\"${PROJECT_SOURCE_DIR}/packaging/sipper-sila@.service.in\"
                 \"${CMAKE_BINARY_DIR}/packaging/sipper-sila@.service\" @ONLY)")
install(FILES ${CMAKE_BINARY_DIR}/packaging/sipper-sila@.service DESTINATION ${SIPPER_UNIT_DESTINATION})

# Documentation. Debian wants the changelog of a native package compressed
# reproducibly (no name or time stamp in the gzip header).
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
execute_process(COMMAND gzip -9 -n -c ${CMAKE_BINARY_DIR}/packaging/changelog
                OUTPUT_FILE ${CMAKE_BINARY_DIR}/packaging/changelog.gz
                RESULT_VARIABLE gzip_status)
if(NOT gzip_status EQUAL 0)
  message(FATAL_ERROR "gzip of the changelog failed: ${gzip_status}")
endif()
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/packaging/copyright
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
systemd service templates that run an installation and its SiLA 2 server.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The ANTLR runtime is linked statically (Debian ships no shared one), so the
# shared-library dependencies are those dpkg-shlibdeps finds; the maintainer
# script needs adduser.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_STRIP_FILES TRUE)
# Install with DESTDIR so that the unit is written with the package's prefix,
# not the staging directory's.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
