# A Debian package of the two programs: `cpack -G DEB` in the build folder.
# Depends is computed by dpkg-shlibdeps from the libraries the installed
# binaries actually link, so it names the runtime packages (libtag1v5,
# libavcodec59, ...) rather than the -dev packages of the build.
set(CPACK_GENERATOR "DEB" CACHE STRING "Package generators")
set(CPACK_PACKAGE_NAME "ostra-native")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}.0.0")
set(CPACK_PACKAGE_VENDOR "OstraNative")
set(CPACK_PACKAGE_CONTACT "OstraNative developers <dev@ostranative.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Headless music-library helper (scan, tags, audio hashes, WAV, fingerprints) and its host tool")
set(CPACK_PACKAGE_DESCRIPTION
    "ostra-native serves a host application over a loopback TCP connection with length-framed \
AMF0 messages: it scans music folders into de-duplicated song records, reads tags, hashes audio \
payloads, decodes to WAV, computes acoustic fingerprints and reports machine facts. ostra-host \
drives it from a shell.")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "sound")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The sleep stand-in talks to logind over the system bus.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "systemd")
# Only the programs: the test, benchmark and fuzz targets install nothing.
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};ALL;/")
# Packaging (and `make install`) takes the programs as built instead of first
# building every target, tests and benchmarks included: build ostra-native and
# ostra-host, then run cpack.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY TRUE)
include(CPack)
