# Install rules and the Debian package.
#
#   cmake --install <build> --prefix /usr/local   installs by hand
#   cpack -G DEB (in <build>)                     builds quillet_<version>_amd64.deb
#
# The package holds only its own files, nothing under /etc or /home, and one
# maintainer script: the postinst that creates the user _quillet from
# /usr/lib/sysusers.d/quillet.conf. The working directory /home/quillet/ is the
# admin's to create.

include(GNUInstallDirs)

find_program(QUILLET_GZIP gzip REQUIRED)

# The man pages go in compressed, without name or time stamp (-n), so that the
# same source always gives the same bytes.
set(QUILLET_MAN_GZ)
foreach(page quillet.1 quillet-tcp.1)
  set(source ${PROJECT_SOURCE_DIR}/man/${page})
  set(gz ${PROJECT_BINARY_DIR}/man/${page}.gz)
  add_custom_command(
    OUTPUT ${gz}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND sh -c "\"$0\" -9nc \"$1\" > \"$2\"" ${QUILLET_GZIP} ${source} ${gz}
    DEPENDS ${source}
    COMMENT "Compressing the man page ${page}"
    VERBATIM)
  list(APPEND QUILLET_MAN_GZ ${gz})
endforeach()
add_custom_target(quillet_man ALL DEPENDS ${QUILLET_MAN_GZ})

# The changelog that Debian expects of a native package, compressed the same way.
set(QUILLET_MAINTAINER "quillet maintainers <maintainers@quillet.example>"
    CACHE STRING "Maintainer of the Debian package: name <address>")
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/changelog.in ${PROJECT_BINARY_DIR}/debian/changelog @ONLY)
set(QUILLET_CHANGELOG_GZ ${PROJECT_BINARY_DIR}/debian/changelog.gz)
add_custom_command(
  OUTPUT ${QUILLET_CHANGELOG_GZ}
  COMMAND sh -c "\"$0\" -9nc \"$1\" > \"$2\"" ${QUILLET_GZIP} ${PROJECT_BINARY_DIR}/debian/changelog ${QUILLET_CHANGELOG_GZ}
  DEPENDS ${PROJECT_BINARY_DIR}/debian/changelog
  VERBATIM)
add_custom_target(quillet_changelog ALL DEPENDS ${QUILLET_CHANGELOG_GZ})

# The machine-readable copyright file (copyright-format 1.0) that Debian wants
# in every package, made from LICENSE so that the two cannot drift apart: the
# holder from its copyright line, the licence text from "Permission" on, each
# line indented by one space and an empty line written as " .".
set(QUILLET_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${QUILLET_LICENSE})
file(READ ${QUILLET_LICENSE} quillet_license)
string(REGEX MATCH "\nCopyright \\(c\\) ([^\n]+)\n" quillet_license_holder "${quillet_license}")
string(FIND "${quillet_license}" "\nPermission is hereby granted" quillet_license_start)
if(NOT quillet_license_holder OR quillet_license_start EQUAL -1)
  message(FATAL_ERROR "${QUILLET_LICENSE}: no 'Copyright (c) ...' line or no licence text")
endif()
set(QUILLET_COPYRIGHT ${CMAKE_MATCH_1})
string(SUBSTRING "${quillet_license}" ${quillet_license_start} -1 quillet_license)
string(STRIP "${quillet_license}" quillet_license)
string(REPLACE "\n\n" "\n.\n" quillet_license "${quillet_license}")
string(REPLACE "\n" "\n " quillet_license "${quillet_license}")
set(QUILLET_LICENSE_TEXT " ${quillet_license}")
set(QUILLET_COPYRIGHT_FILE ${PROJECT_BINARY_DIR}/debian/copyright)
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/copyright.in ${QUILLET_COPYRIGHT_FILE} @ONLY)

# Whatever Zabbix templates stand in zabbix/; a template added later is picked
# up at the next build.
file(GLOB QUILLET_ZABBIX_TEMPLATES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/zabbix/*.yaml)

install(TARGETS quillet quillet-tcp RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The user dnstop runs as; the postinst has systemd-sysusers create it. Not CMAKE_INSTALL_LIBDIR: sysusers.d has no architecture.
install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/sysusers.conf
        DESTINATION lib/sysusers.d RENAME quillet.conf)
install(FILES ${QUILLET_MAN_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${QUILLET_ZABBIX_TEMPLATES} DESTINATION ${CMAKE_INSTALL_DATADIR}/quillet)
install(FILES
  ${PROJECT_SOURCE_DIR}/examples/quillet.conf
  ${PROJECT_SOURCE_DIR}/examples/quillet.cron
  ${PROJECT_SOURCE_DIR}/examples/quillet.service
  ${PROJECT_SOURCE_DIR}/examples/quillet.timer
  DESTINATION ${CMAKE_INSTALL_DATADIR}/quillet/examples)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${QUILLET_CHANGELOG_GZ} ${QUILLET_COPYRIGHT_FILE}
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillet)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "report the busiest DNS clients of a server to Zabbix")
# Wrapped by hand: the package description keeps its line breaks.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "quillet runs on a DNS server. Each run captures five seconds of DNS\n"
    "traffic (port 53) on the interface ens18 with tcpdump, has dnstop\n"
    "summarise it, ranks the client addresses by query count and sends the\n"
    "twenty busiest to a Zabbix server or proxy on port 10052: one\n"
    "low-level-discovery document plus a query count and a percentage per\n"
    "address. With the host name debug it lists them on the console instead.\n"
    "\n"
    "Runs are meant to be scheduled every minute, from cron or a systemd\n"
    "timer (examples in /usr/share/quillet/examples). The working directory\n"
    "/home/quillet/ must be created by the administrator, private to the\n"
    "user who runs quillet: install -d -m 700 /home/quillet")
set(CPACK_PACKAGE_CONTACT ${QUILLET_MAINTAINER})
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${QUILLET_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# systemd-sysusers for the postinst, with dh_installsysusers' alternatives.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "tcpdump, dnstop, systemd | systemd-standalone-sysusers | systemd-sysusers")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/postinst)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/cpack_checks.cmake)

include(CPack)
