# What `cmake --install` and the Debian packages put on a board: the program,
# its systemd unit, its manual page and its copyright notice.
#
# The unit and the manual page name the installed program's path, so they are
# made at install time, when the prefix is known (/usr/local for a plain
# install, /usr inside a package).

include(GNUInstallDirs)

set(GPIO_CYCLE_UNIT_DIR "lib/systemd/system" CACHE STRING "Where the systemd unit goes, relative to the prefix")

install(TARGETS gpio-cycle RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

set(_dist ${CMAKE_CURRENT_SOURCE_DIR}/dist)
set(_staging ${CMAKE_CURRENT_BINARY_DIR}/dist)
install(CODE "
  set(GPIO_CYCLE_BINARY \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/gpio-cycle\")
  set(GPIO_CYCLE_UNIT \"\${CMAKE_INSTALL_PREFIX}/${GPIO_CYCLE_UNIT_DIR}/gpio-cycle.service\")
  set(GPIO_CYCLE_VERSION \"${PROJECT_VERSION}\")
  configure_file(\"${_dist}/gpio-cycle.service.in\" \"${_staging}/gpio-cycle.service\" @ONLY)
  configure_file(\"${_dist}/gpio-cycle.1\" \"${_staging}/gpio-cycle.1\" @ONLY)
  execute_process(COMMAND gzip -9nf \"${_staging}/gpio-cycle.1\" COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND gzip -9nc \"${_dist}/changelog\" OUTPUT_FILE \"${_staging}/changelog.gz\"
                  COMMAND_ERROR_IS_FATAL ANY)
")
install(FILES ${_staging}/gpio-cycle.service DESTINATION ${GPIO_CYCLE_UNIT_DIR})
install(FILES ${_staging}/gpio-cycle.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${_dist}/copyright ${_staging}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})

# Debian packages: `cpack` in a build tree (see the package presets).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME gpio-cycle)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "gpio-cycle maintainers <maintainers@users.noreply.c-seed-2fce44e9.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "run two GPIO outputs through a fixed cycle while an input is active")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "gpio-cycle sets up GPIO pins 25 and 24 as outputs and 17 and 27 as inputs
through the kernel's sysfs GPIO interface, and whenever input 27 or 17 reads
active, drives the outputs through a four-second cycle: 25 high, then 24
high, then both low.
.
A systemd unit is included but not enabled.")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${_dist}/postinst ${_dist}/postrm)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
endif()
if(GPIO_CYCLE_STATIC)
  # A static program needs nothing from other packages.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "")
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
include(CPack)
