# cmake --install: the shared library, the public headers, a CMake package
# (find_package(qvRadClient) gives qvRadClient::qvRadClient) and a pkg-config file.
include(CMakePackageConfigHelpers)

install(TARGETS qvRadClient EXPORT qvRadClientTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# qvrad.h includes qvRadClient.h (QVRAD_API, QVRAD_CALL) from the same folder.
install(FILES ${PROJECT_SOURCE_DIR}/include/qvRadClient.h ${PROJECT_SOURCE_DIR}/include/qvrad.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(QVRAD_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/qvRadClient)
install(EXPORT qvRadClientTargets NAMESPACE qvRadClient:: DESTINATION ${QVRAD_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/qvRadClientConfig.cmake.in
  ${PROJECT_BINARY_DIR}/qvRadClientConfig.cmake INSTALL_DESTINATION ${QVRAD_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/qvRadClientConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/qvRadClientConfig.cmake
  ${PROJECT_BINARY_DIR}/qvRadClientConfigVersion.cmake DESTINATION ${QVRAD_CMAKE_DIR})

configure_file(${PROJECT_SOURCE_DIR}/cmake/qvRadClient.pc.in ${PROJECT_BINARY_DIR}/qvRadClient.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/qvRadClient.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
