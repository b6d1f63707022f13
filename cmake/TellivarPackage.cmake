# The Debian packages: `cpack -G DEB` in the build folder. Four of them, all
# installing under /usr (and the gateway's files under /etc and /lib):
#   tellivar          the plug-in (lib/tellivar/plugin/libtellivar.so), the
#                     contract headers, the CMake package config, the
#                     pkg-config file, the docs
#   tellivar-tools    tellivar-host and the stand-in feed client, in its
#                     private folder lib/tellivar/simfeed
#   tellivar-gateway  tellivar-gateway for a server: its systemd units, its
#                     configuration /etc/tellivar/gateway.conf (a conffile),
#                     its system user (sysusers.d), the runbook, and examples:
#                     entitlements and a three-node NATS cluster
#   tellivar-nats     the NATS feed client for desktops, in its private folder
#                     lib/tellivar/nats, with an example nats.conf
# Feed clients are never in the library path, where they would shadow the
# real feed client. Binaries are stripped, their debug symbols left out.
# Library dependencies (ACE, fmt, libnats, the C++ runtime) are computed by
# dpkg-shlibdeps; gnuplot, which the host runs as a program for its charts,
# is declared. Each package carries its copyright file and a Debian changelog
# (changelog.gz) pointing at CHANGELOG.md. docs/operations.md lists what
# lintian says about them.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tellivar)
set(CPACK_PACKAGE_VENDOR "Tellivar developers")
# A site building its own packages sets its own address:
#   cmake -DTELLIVAR_PACKAGE_CONTACT="Desk IT <desk-it@bank.example>" ...
set(TELLIVAR_PACKAGE_CONTACT "Tellivar developers <packages@tellivar.example>" CACHE STRING
    "Maintainer of the Debian packages: name <mail address>")
set(CPACK_PACKAGE_CONTACT "${TELLIVAR_PACKAGE_CONTACT}")
# Each package's synopsis is the first line of its component's description.
# CPack puts a summary of its own in front of that line unless the summary is
# its default one, so the default is kept.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_NAME} built using CMake")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Install with DESTDIR, so that the install prefix is /usr itself and the
# paths written at install time (pkg-config) are the ones of the package.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL plugin tools)
if(TARGET tellivar-gateway)
  list(APPEND CPACK_COMPONENTS_ALL gateway nats)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Maintainer scripts and conffiles keep the permissions dpkg wants (0755, 0644).
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The plug-in needs libTellivarClient.so.1, which no Debian package provides:
# the system's feed client or, for tellivar-host, the stand-in. dpkg-shlibdeps
# finds the stand-in of the build tree and records no package for it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/lib)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_DEBIAN_PLUGIN_PACKAGE_NAME tellivar)
set(CPACK_COMPONENT_PLUGIN_DESCRIPTION "market-data provider plug-in for charting hosts
libtellivar.so, loaded by a charting host with dlopen; it binds to the feed
client library the system has. With the host and feed contract headers, a
CMake package config and a pkg-config file.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME tellivar-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "gnuplot-nox | gnuplot")
set(CPACK_COMPONENT_TOOLS_DEPENDS plugin)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "command-line host and stand-in feed for the Tellivar plug-in
tellivar-host loads the plug-in and shows live quotes, history, charts and a
browser view; the stand-in feed client simulates a market behind the feed
contract. It lives in a private folder, never shadowing a real feed client.")

set(CPACK_DEBIAN_GATEWAY_PACKAGE_NAME tellivar-gateway)
set(CPACK_DEBIAN_GATEWAY_PACKAGE_SECTION net)
# systemd-sysusers makes the gateway's user at installation (postinst).
set(CPACK_DEBIAN_GATEWAY_PACKAGE_DEPENDS "systemd | systemd-sysusers")
set(CPACK_DEBIAN_GATEWAY_PACKAGE_SUGGESTS "nats-server, tellivar-tools")
set(CPACK_DEBIAN_GATEWAY_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/cmake/debian/tellivar-gateway/conffiles
    ${PROJECT_SOURCE_DIR}/cmake/debian/tellivar-gateway/postinst
    ${PROJECT_SOURCE_DIR}/cmake/debian/tellivar-gateway/prerm
    ${PROJECT_SOURCE_DIR}/cmake/debian/tellivar-gateway/postrm)
set(CPACK_COMPONENT_GATEWAY_DESCRIPTION "fan-out gateway serving one market-data feed logon over NATS
tellivar-gateway logs on to the feed once and serves its quotes, update
streams and histories to many hosts over a NATS message bus, with TLS, an
active and standby pair, and Prometheus metrics. A systemd service (and a
template for several feeds on one machine) runs it as its own system user,
configured in /etc/tellivar/gateway.conf. With the operations runbook and
examples of entitlements and of a three-node NATS cluster with JetStream.")

set(CPACK_DEBIAN_NATS_PACKAGE_NAME tellivar-nats)
set(CPACK_DEBIAN_NATS_PACKAGE_SECTION net)
set(CPACK_DEBIAN_NATS_PACKAGE_RECOMMENDS tellivar)
set(CPACK_COMPONENT_NATS_DESCRIPTION "NATS feed client for the Tellivar plug-in on desktops
A feed client library that a host loads before the Tellivar plug-in: it
reaches a tellivar-gateway over NATS (TLS, credentials files) instead of the
market-data service. It lives in a private folder, never shadowing a real
feed client; /etc/tellivar/nats.conf or the user's own file configures it.
With the replay feed client (lib/tellivar/replay), which serves a recording
kept on NATS JetStream through the same plug-in at a chosen speed.")

# Per package: the copyright file and a Debian changelog, the one dpkg and
# lintian look for in a native package, naming the version and pointing at
# CHANGELOG.md. Its date follows SOURCE_DATE_EPOCH when set.
string(TIMESTAMP TELLIVAR_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog.in ${PROJECT_BINARY_DIR}/debian/changelog @ONLY)
execute_process(COMMAND gzip -9nc ${PROJECT_BINARY_DIR}/debian/changelog
                OUTPUT_FILE ${PROJECT_BINARY_DIR}/debian/changelog.gz COMMAND_ERROR_IS_FATAL ANY)
configure_file(${PROJECT_SOURCE_DIR}/cmake/copyright ${PROJECT_BINARY_DIR}/debian/copyright @ONLY)
foreach(package tellivar:plugin tellivar-tools:tools tellivar-gateway:gateway tellivar-nats:nats)
  string(REPLACE ":" ";" package ${package})
  list(GET package 0 name)
  list(GET package 1 component)
  if(NOT component IN_LIST CPACK_COMPONENTS_ALL)
    continue()
  endif()
  install(FILES ${PROJECT_BINARY_DIR}/debian/copyright ${PROJECT_BINARY_DIR}/debian/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${name} COMPONENT ${component})
endforeach()
include(CPack)
