# `cpack -G DEB` in the build folder: a Debian package of what
# `cmake --install` puts in place (library, headers, pkg-config and CMake
# files, propctl, its completion and man pages, propregd with its systemd
# unit and client library), under /usr.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME propreg)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "propreg developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "storage backend of a hierarchical cluster configuration registry, propctl and propregd")
set(CPACK_PACKAGE_DESCRIPTION
  "A shared library that keeps a tree of typed keys in a store mirrored on one to five locations, with crash-safe transactions, backups and a corruption check; its headers, pkg-config and CMake files; propctl, the command-line front end, with bash and zsh completion and man pages; and propregd, the registry service, with its systemd unit and client library.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
# The C and C++ runtimes the binaries need, as dpkg-shlibdeps finds them;
# the library itself comes in the same package.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_INSTALL_LIBDIR})
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
