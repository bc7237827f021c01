# Install rules and the Debian package (cpack -G DEB). Configure with -DCMAKE_INSTALL_PREFIX=/usr
# for the package: GNUInstallDirs then puts the configuration in /etc and the logs in /var.
include(GNUInstallDirs)

# Where systemd looks for system units (/lib/systemd/system on Debian 12).
pkg_get_variable(CORVEL_SYSTEMD_UNIT_DIR_DEFAULT systemd systemdsystemunitdir)
if(NOT CORVEL_SYSTEMD_UNIT_DIR_DEFAULT)
  set(CORVEL_SYSTEMD_UNIT_DIR_DEFAULT /lib/systemd/system)
endif()
set(CORVEL_SYSTEMD_UNIT_DIR "${CORVEL_SYSTEMD_UNIT_DIR_DEFAULT}" CACHE PATH "Where the systemd unit is installed")

set(CORVEL_CONF_DIR "${CMAKE_INSTALL_FULL_SYSCONFDIR}/corvel")
set(CORVEL_LOG_DIR "${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/log/corvel")

install(TARGETS corvel corvel-send RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES packaging/corvel.service DESTINATION ${CORVEL_SYSTEMD_UNIT_DIR})
# It may hold the broker's and Redis's passwords: readable by the service's group only (postinst).
install(FILES packaging/corvel.ini DESTINATION ${CORVEL_CONF_DIR}
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ)
install(FILES packaging/corvel.logrotate DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/logrotate.d RENAME corvel)
install(DIRECTORY DESTINATION ${CORVEL_LOG_DIR})
install(FILES README.md packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES packaging/monitoring/corvel-alerts.yml packaging/monitoring/corvel-dashboard.json
  DESTINATION ${CMAKE_INSTALL_DATADIR}/corvel)
install(FILES packaging/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME corvel)

# The changelog, compressed as Debian wants it (no name or time in the gzip header).
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "corvel developers <corvel@example.org>" CACHE STRING "Maintainer field of the package")
configure_file(packaging/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  COMMAND gzip -9nc ${CMAKE_BINARY_DIR}/packaging/changelog > ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog)
add_custom_target(corvel_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The manual pages, made from the README with pandoc (scripts/man_pages.sh); the package needs them.
option(CORVEL_MAN "Build and install the manual pages (needs pandoc)" OFF)
if(CORVEL_MAN)
  set(man_dir ${CMAKE_BINARY_DIR}/man)
  set(man_pages ${man_dir}/corvel.8.gz ${man_dir}/corvel.ini.5.gz ${man_dir}/corvel-send.1.gz)
  file(GLOB man_sources ${CMAKE_SOURCE_DIR}/packaging/man/*.md)
  add_custom_command(OUTPUT ${man_pages}
    COMMAND ${CMAKE_SOURCE_DIR}/scripts/man_pages.sh ${man_dir} ${PROJECT_VERSION} $<TARGET_FILE:corvel-send>
    DEPENDS ${CMAKE_SOURCE_DIR}/README.md ${man_sources} ${CMAKE_SOURCE_DIR}/scripts/man_pages.sh corvel-send)
  add_custom_target(corvel_man ALL DEPENDS ${man_pages})
  install(FILES ${man_dir}/corvel.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
  install(FILES ${man_dir}/corvel.ini.5.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man5)
  install(FILES ${man_dir}/corvel-send.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME corvel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "writes device ownership commands from RabbitMQ into Redis")
# The summary is the first line; CPack indents these.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "corvel consumes JSON commands (clients_devices, device_parameters) from a
RabbitMQ queue, writes them into Redis database 2 and answers each sender. The
package ships the service, the corvel-send tool, a systemd unit and a logrotate
snippet; the service is neither enabled nor started on installation.")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# adduser for the postinst, procps for the unit's /bin/kill (deb-systemd-invoke of the maintainer
# scripts is essential); the libraries come from dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, procps")
# ca-certificates fills the trust store an amqps broker is checked against without R_TLS_CA_FILE.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "logrotate, ca-certificates")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "redis-server, rabbitmq-server")
set(CPACK_STRIP_FILES ON)
configure_file(packaging/conffiles.in ${CMAKE_BINARY_DIR}/packaging/conffiles @ONLY)
configure_file(packaging/postinst.in ${CMAKE_BINARY_DIR}/packaging/postinst @ONLY)
configure_file(packaging/prerm.in ${CMAKE_BINARY_DIR}/packaging/prerm @ONLY)
configure_file(packaging/postrm.in ${CMAKE_BINARY_DIR}/packaging/postrm @ONLY)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_BINARY_DIR}/packaging/conffiles ${CMAKE_BINARY_DIR}/packaging/postinst
  ${CMAKE_BINARY_DIR}/packaging/prerm ${CMAKE_BINARY_DIR}/packaging/postrm)
# Maintainer scripts 0755, conffiles 0644, whatever the source tree's modes.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
