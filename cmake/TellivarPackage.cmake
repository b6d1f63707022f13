# The Debian packages: `cpack -G DEB` in the build folder. Two of them, both
# installing under /usr:
#   tellivar        the plug-in (lib/libtellivar.so), the contract headers,
#                   the CMake package config, the pkg-config file, the docs
#   tellivar-tools  tellivar-host, tellivar-gateway and the two feed client
#                   libraries the host can load: the stand-in and the NATS
#                   client, each in its private folder under lib/tellivar
#                   (never in the library path, where it would shadow the
#                   real feed client)
# Binaries are stripped, their debug symbols left out. Library
# dependencies (ACE, fmt, the C++ runtime) are computed by dpkg-shlibdeps;
# gnuplot, which the host runs as a program for its charts, is declared.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tellivar)
set(CPACK_PACKAGE_VENDOR "Tellivar developers")
set(CPACK_PACKAGE_CONTACT "Tellivar developers <tellivar@localhost>")
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
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The plug-in needs libTellivarClient.so.1, which no Debian package provides:
# the system's feed client or, for tellivar-host, the stand-in. dpkg-shlibdeps
# finds the stand-in of the build tree and records no package for it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/lib)
set(CPACK_DEBIAN_PLUGIN_PACKAGE_NAME tellivar)
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME tellivar-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "gnuplot-nox | gnuplot")
set(CPACK_COMPONENT_TOOLS_DEPENDS plugin)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENT_PLUGIN_DESCRIPTION "market-data provider plug-in for charting hosts
libtellivar.so, loaded by a charting host with dlopen; it binds to the feed client library the system has.
With the host and feed contract headers, a CMake package config and a pkg-config file.")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "command-line host, stand-in feed and fan-out gateway for the Tellivar plug-in
tellivar-host loads the plug-in and shows live quotes, history, charts and a browser view; the stand-in
feed client simulates a market behind the feed contract. tellivar-gateway serves one feed logon to many
hosts over NATS, which they reach through the NATS feed client. Both feed clients live in private folders.")

# Debian's copyright file, one per package.
install(FILES ${PROJECT_SOURCE_DIR}/cmake/copyright DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/tellivar
        COMPONENT plugin)
install(FILES ${PROJECT_SOURCE_DIR}/cmake/copyright DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/tellivar-tools
        COMPONENT tools)
include(CPack)
