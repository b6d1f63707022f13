# The Debian package: `cpack -G DEB` in the build folder. Installs under /usr
# (bin, lib, include/tellivar, share/doc/tellivar). Library dependencies (ACE,
# fmt, the C++ runtime) are computed by dpkg-shlibdeps; gnuplot, which the
# host runs as a program for its charts, is declared.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tellivar)
set(CPACK_PACKAGE_VENDOR "Tellivar developers")
set(CPACK_PACKAGE_CONTACT "Tellivar developers <tellivar@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION "libtellivar.so, a market-data provider plug-in for charting hosts, with \
libTellivarClient.so, a simulated feed client behind the feed contract, and tellivar-host, a command-line \
host; the contract headers, a CMake package config and a pkg-config file.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "gnuplot-nox | gnuplot")
include(CPack)
