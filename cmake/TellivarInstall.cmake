# Library search paths, install rules, the CMake package config and the
# pkg-config file.
#
# Build tree: the plug-in and the stand-in feed library sit side by side in
# build/lib, and the plug-in finds the feed library through "$ORIGIN".
# Installed: the plug-in goes to lib and binds to whatever feed client the
# system has (the real one keeps its own name, libTellivarClient.so.1); the
# stand-in goes to a private folder, lib/tellivar/simfeed, that no loader
# searches. tellivar-host loads the stand-in from there before the plug-in
# (--feed-library, see hostapp/plugin_library.cpp), so it never shadows a real
# feed client.
#
# Components: `plugin` (the plug-in, the contract headers, the package config
# and the pkg-config file) and `tools` (tellivar-host and the stand-in feed).
include(CMakePackageConfigHelpers)

set(TELLIVAR_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Tellivar)
set(TELLIVAR_SIMFEED_DIR ${CMAKE_INSTALL_LIBDIR}/tellivar/simfeed)

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
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT plugin)
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
