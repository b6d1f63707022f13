# Library search paths, install rules, the CMake package config and the
# pkg-config file.
#
# Build tree: the plug-in and the stand-in feed library sit side by side in
# build/lib, and the plug-in finds the feed library through "$ORIGIN".
# Installed: every library goes to a private folder under lib/tellivar that no
# loader searches. The plug-in (lib/tellivar/plugin) is a module loaded by
# path with dlopen, never linked, so it has no SONAME and stays out of the
# linker's folders; it binds to whatever feed client the system has (the real
# one keeps its own name, libTellivarClient.so.1). The stand-in goes to
# lib/tellivar/simfeed and the NATS feed client to lib/tellivar/nats;
# tellivar-host loads one of them before the plug-in (--feed-library, see
# hostapp/plugin_library.cpp), so neither shadows a real feed client.
#
# Components: `plugin` (the plug-in, the contract headers, the package config
# and the pkg-config file), `tools` (tellivar-host and the stand-in feed),
# `gateway` (tellivar-gateway, its units, configuration and examples: see
# TellivarPackage.cmake) and `nats` (the NATS feed client).
include(CMakePackageConfigHelpers)

set(TELLIVAR_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Tellivar)
set(TELLIVAR_SIMFEED_DIR ${CMAKE_INSTALL_LIBDIR}/tellivar/simfeed)
# TELLIVAR_PLUGIN_DIR is set in the top CMakeLists.txt: the host compiles it in.

# The feed library is linked by name, so it carries a versioned SONAME.
set_target_properties(TellivarClient PROPERTIES
  VERSION ${PROJECT_VERSION}
  SOVERSION ${PROJECT_VERSION_MAJOR}
  EXPORT_NAME TellivarClient)
# The plug-in is only ever loaded with dlopen: no SONAME, one search path
# relative to itself, identical in the build tree and installed.
set_target_properties(tellivar PROPERTIES
  BUILD_WITH_INSTALL_RPATH ON
  INSTALL_RPATH "$ORIGIN"
  EXPORT_NAME plugin)
set_target_properties(tellivar_contracts PROPERTIES EXPORT_NAME contracts)

install(TARGETS tellivar_contracts tellivar EXPORT TellivarTargets
        LIBRARY DESTINATION ${TELLIVAR_PLUGIN_DIR} COMPONENT plugin)
install(TARGETS TellivarClient EXPORT TellivarSimfeedTargets
        LIBRARY DESTINATION ${TELLIVAR_SIMFEED_DIR} COMPONENT tools)
if(TARGET tellivar-host)
  install(TARGETS tellivar-host RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
endif()

# Contract headers for host and feed developers, and the stand-in feed's
# control surface for hosts that test against it.
install(FILES host/data.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tellivar/host COMPONENT plugin)
install(FILES feed/TellivarClient.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tellivar/feed COMPONENT plugin)
install(FILES simfeed/control.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tellivar/simfeed COMPONENT tools)

# The gateway's package: its files at the places systemd and dpkg look (units,
# the system user, /etc/tellivar/gateway.conf), given as absolute paths and
# installed only when the gateway component is installed on its own, as the
# Debian package does (EXCLUDE_FROM_ALL: `cmake --install` of the whole tree
# leaves /etc and /lib alone; the sources are in gateway/). Then the runbook,
# the gateway's documentation and the examples (entitlements, a three-node
# cluster, alert rules) in its doc folder; the NATS feed client's example
# configuration in its own.
if(TARGET tellivar-gateway)
  pkg_get_variable(TELLIVAR_SYSTEMD_UNIT_DIR systemd systemdsystemunitdir)
  if(NOT TELLIVAR_SYSTEMD_UNIT_DIR)
    set(TELLIVAR_SYSTEMD_UNIT_DIR /lib/systemd/system)
  endif()
  file(GLOB TELLIVAR_GATEWAY_UNITS ${PROJECT_SOURCE_DIR}/gateway/systemd/*.service)
  install(FILES ${TELLIVAR_GATEWAY_UNITS} DESTINATION ${TELLIVAR_SYSTEMD_UNIT_DIR}
          COMPONENT gateway EXCLUDE_FROM_ALL)
  install(FILES gateway/systemd/tellivar-gateway.sysusers DESTINATION /usr/lib/sysusers.d
          RENAME tellivar-gateway.conf COMPONENT gateway EXCLUDE_FROM_ALL)
  install(FILES gateway/gateway.conf DESTINATION /etc/tellivar COMPONENT gateway EXCLUDE_FROM_ALL)
  set(TELLIVAR_GATEWAY_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/tellivar-gateway)
  install(FILES docs/operations.md docs/fanout.md DESTINATION ${TELLIVAR_GATEWAY_DOCDIR} COMPONENT gateway)
  file(GLOB TELLIVAR_ALERT_RULES ${PROJECT_SOURCE_DIR}/docs/*.yml)
  install(FILES gateway/entitlements.conf ${TELLIVAR_ALERT_RULES} DESTINATION ${TELLIVAR_GATEWAY_DOCDIR}/examples
          COMPONENT gateway)
  file(GLOB TELLIVAR_CLUSTER_EXAMPLE ${PROJECT_SOURCE_DIR}/gateway/nats-cluster/*.conf)
  install(FILES ${TELLIVAR_CLUSTER_EXAMPLE} DESTINATION ${TELLIVAR_GATEWAY_DOCDIR}/examples/nats-cluster
          COMPONENT gateway)
  install(FILES natsfeed/nats.conf.example DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/tellivar-nats/examples
          RENAME nats.conf COMPONENT nats)
endif()

file(GLOB TELLIVAR_DOCS ${PROJECT_SOURCE_DIR}/docs/*.md)
install(FILES README.md CHANGELOG.md ${TELLIVAR_DOCS} DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT plugin)
install(FILES examples/minimal_host.cpp DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples COMPONENT plugin)

# find_package(Tellivar CONFIG): Tellivar::contracts and Tellivar::plugin (the
# module, for its path); Tellivar::TellivarClient when the tools are installed.
install(EXPORT TellivarTargets NAMESPACE Tellivar:: DESTINATION ${TELLIVAR_CMAKE_DIR} COMPONENT plugin)
install(EXPORT TellivarSimfeedTargets NAMESPACE Tellivar:: DESTINATION ${TELLIVAR_CMAKE_DIR} COMPONENT tools)
configure_package_config_file(cmake/TellivarConfig.cmake.in ${PROJECT_BINARY_DIR}/TellivarConfig.cmake
                              INSTALL_DESTINATION ${TELLIVAR_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TellivarConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/TellivarConfig.cmake ${PROJECT_BINARY_DIR}/TellivarConfigVersion.cmake
        DESTINATION ${TELLIVAR_CMAKE_DIR} COMPONENT plugin)

# pkg-config, `tellivar` (headers, pluginpath) and `tellivar-simfeed` (the
# stand-in, to link): written at install time, when the prefix is known (`cmake
# --install --prefix`, or /usr for the Debian package), so every path in it is
# plain and absolute.
set(TELLIVAR_PC_PREFIX "@CMAKE_INSTALL_PREFIX@")
foreach(pc tellivar:plugin tellivar-simfeed:tools)
  string(REPLACE ":" ";" pc ${pc})
  list(GET pc 0 name)
  list(GET pc 1 component)
  configure_file(cmake/${name}.pc.in ${PROJECT_BINARY_DIR}/${name}.pc.in @ONLY)
  install(CODE "configure_file(\"${PROJECT_BINARY_DIR}/${name}.pc.in\" \"${PROJECT_BINARY_DIR}/pkgconfig/${name}.pc\" @ONLY)"
          COMPONENT ${component})
  install(FILES ${PROJECT_BINARY_DIR}/pkgconfig/${name}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
          COMPONENT ${component})
endforeach()
