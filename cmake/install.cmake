# What `cmake --install` puts in place: the library and its headers, the
# reference front end, the client library of propregd, propctl (with its
# completion and man pages, from tools/) and propregd with its systemd
# unit, a CMake package (find_package(propreg)) and pkg-config files.
include(CMakePackageConfigHelpers)

install(TARGETS propreg EXPORT propregTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/propreg/prop.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/propreg)

if(TARGET propreg_frontend)
  # Installed consumers find the header under the install prefix, not here.
  set_target_properties(propreg_frontend PROPERTIES
    EXPORT_NAME frontend
    INTERFACE_INCLUDE_DIRECTORIES
      "$<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>;$<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>")
  install(TARGETS propreg_frontend EXPORT propregTargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/include/propreg/frontend.h
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/propreg)
endif()

# The client library: C, over the daemon's socket; it needs no libpropreg.
set_target_properties(propreg_client PROPERTIES EXPORT_NAME client)
install(TARGETS propreg_client EXPORT propregTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/propreg/client.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/propreg)

set(PROPREG_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/propreg)
install(EXPORT propregTargets NAMESPACE propreg:: DESTINATION ${PROPREG_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/propregConfig.cmake.in
  ${PROJECT_BINARY_DIR}/propregConfig.cmake
  INSTALL_DESTINATION ${PROPREG_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/propregConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/propregConfig.cmake ${PROJECT_BINARY_DIR}/propregConfigVersion.cmake
  DESTINATION ${PROPREG_CMAKE_DIR})

# The .pc files find the prefix from where they lie, so an installation can
# be moved (or made with `cmake --install --prefix`).
set(PROPREG_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH PROPREG_PC_TO_PREFIX /prefix/${PROPREG_PC_DIR} /prefix)
string(REGEX REPLACE "/$" "" PROPREG_PC_TO_PREFIX "${PROPREG_PC_TO_PREFIX}")
foreach(pc propreg propreg-frontend propreg-client)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/${pc}.pc.in ${PROJECT_BINARY_DIR}/${pc}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/${pc}.pc DESTINATION ${PROPREG_PC_DIR})
endforeach()
