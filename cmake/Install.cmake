# What `cmake --install` puts on a board: the program, gpio-cycle-diagnose
# (which explains a failed set-up), gpio-cycle-header (which finds the
# Raspberry Pi header's lines where the kernel numbers them otherwise), the
# systemd units, their manual pages, and what lets the unit run the program
# without root: the udev rule that hands the GPIO files to group gpio, the
# sysusers.d file that creates that group, and the copyright notice.
#
# The unit and the manual page name the installed program's path, so they are
# made at install time, when the prefix is known (/usr/local for a plain
# install, /usr inside the Debian package).
#
# The Debian package (debian/) installs the udev rule, the sysusers.d file and
# the copyright notice with debhelper, which also writes the maintainer
# scripts for them; it turns GPIO_CYCLE_INSTALL_INTEGRATION off.

include(GNUInstallDirs)

set(GPIO_CYCLE_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Where the systemd unit goes: relative to the prefix, or an absolute path")
option(GPIO_CYCLE_INSTALL_INTEGRATION "Install the udev rule, the sysusers.d file and the copyright notice" ON)

install(TARGETS gpio-cycle RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(PROGRAMS dist/gpio-cycle-diagnose DESTINATION ${CMAKE_INSTALL_BINDIR})
install(PROGRAMS dist/gpio-cycle-header DESTINATION ${CMAKE_INSTALL_SBINDIR})

set(_dist ${CMAKE_CURRENT_SOURCE_DIR}/dist)
set(_staging ${CMAKE_CURRENT_BINARY_DIR}/dist)
if(IS_ABSOLUTE "${GPIO_CYCLE_UNIT_DIR}")
  set(_unit_path "${GPIO_CYCLE_UNIT_DIR}/gpio-cycle.service")
else()
  set(_unit_path "\${CMAKE_INSTALL_PREFIX}/${GPIO_CYCLE_UNIT_DIR}/gpio-cycle.service")
endif()
install(CODE "
  set(GPIO_CYCLE_BINARY \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/gpio-cycle\")
  set(GPIO_CYCLE_DIAGNOSE \"\${GPIO_CYCLE_BINARY}-diagnose\")
  set(GPIO_CYCLE_HEADER \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SBINDIR}/gpio-cycle-header\")
  set(GPIO_CYCLE_UNIT \"${_unit_path}\")
  set(GPIO_CYCLE_VERSION \"${PROJECT_VERSION}\")
  foreach(_unit gpio-cycle gpio-cycle-header)
    configure_file(\"${_dist}/\${_unit}.service.in\" \"${_staging}/\${_unit}.service\" @ONLY)
  endforeach()
  foreach(_page gpio-cycle.1 gpio-cycle-diagnose.1 gpio-cycle-header.8)
    configure_file(\"${_dist}/\${_page}\" \"${_staging}/\${_page}\" @ONLY)
    execute_process(COMMAND gzip -9nf \"${_staging}/\${_page}\" COMMAND_ERROR_IS_FATAL ANY)
  endforeach()
")
install(FILES ${_staging}/gpio-cycle.service ${_staging}/gpio-cycle-header.service DESTINATION ${GPIO_CYCLE_UNIT_DIR})
install(FILES ${_staging}/gpio-cycle.1.gz ${_staging}/gpio-cycle-diagnose.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${_staging}/gpio-cycle-header.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
if(GPIO_CYCLE_INSTALL_INTEGRATION)
  install(FILES ${_dist}/gpio-cycle.rules DESTINATION lib/udev/rules.d RENAME 60-gpio-cycle.rules)
  install(FILES ${_dist}/gpio-cycle.sysusers DESTINATION lib/sysusers.d RENAME gpio-cycle.conf)
  install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()
