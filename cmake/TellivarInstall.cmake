# Library search paths, install rules, the CMake package config and the
# pkg-config file.
#
# Layout, the same in the build tree (build/lib, build/hostapp) and installed
# (lib, bin): the plug-in and the stand-in feed library sit side by side, and
# the plug-in finds the feed library through "$ORIGIN", so both can be copied
# together into any folder. The host finds the plug-in next to itself or in
# ../lib (see hostapp/plugin_library.cpp), so it needs no search path of its own.
include(CMakePackageConfigHelpers)

set(TELLIVAR_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Tellivar)

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

install(TARGETS tellivar_contracts TellivarClient tellivar EXPORT TellivarTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
if(TARGET tellivar-host)
  install(TARGETS tellivar-host RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# Contract headers for host and feed developers, and the stand-in feed's
# control surface for hosts that test against it.
install(FILES host/data.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tellivar/host)
install(FILES feed/TellivarClient.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tellivar/feed)
install(FILES simfeed/control.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tellivar/simfeed)

file(GLOB TELLIVAR_DOCS ${PROJECT_SOURCE_DIR}/docs/*.md)
install(FILES README.md CHANGELOG.md ${TELLIVAR_DOCS} DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES examples/minimal_host.cpp DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

# find_package(Tellivar CONFIG): Tellivar::contracts, Tellivar::TellivarClient
# and Tellivar::plugin (the module, for its path).
install(EXPORT TellivarTargets NAMESPACE Tellivar:: DESTINATION ${TELLIVAR_CMAKE_DIR})
configure_package_config_file(cmake/TellivarConfig.cmake.in ${PROJECT_BINARY_DIR}/TellivarConfig.cmake
                              INSTALL_DESTINATION ${TELLIVAR_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TellivarConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/TellivarConfig.cmake ${PROJECT_BINARY_DIR}/TellivarConfigVersion.cmake
        DESTINATION ${TELLIVAR_CMAKE_DIR})

# pkg-config: prefix relative to the file, so the same file serves an install
# into any prefix and the Debian package.
file(RELATIVE_PATH TELLIVAR_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" TELLIVAR_PC_TO_PREFIX "${TELLIVAR_PC_TO_PREFIX}")
configure_file(cmake/tellivar.pc.in ${PROJECT_BINARY_DIR}/tellivar.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tellivar.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
