# The system's Mbed TLS for RADIUS over TLS, when no source tree is given: 3.6 or a later 3.x (4.0
# changed the interface), found through its CMake package (MbedTLSConfig.cmake: Debian 13, Fedora,
# Homebrew) or else pkg-config, and used only when its configuration has what the client needs.
#
# A system library is built with its own configuration, not qvRadClient/tls/mbedtls_config.h, so
# a test program compiled and linked against it here checks each need (cmake/QvradMbedTlsCheck.c:
# TLS 1.2 and 1.3, the PSK modes, the suites and groups, X.509, ALPN, SNI, PSA, and threading,
# since many threads log in at once and PSA's key store is global). Sets QVRAD_TLS_SYSTEM (ON/OFF)
# with QVRAD_TLS_SYSTEM_TARGETS, _VERSION and _WHERE, or QVRAD_TLS_SYSTEM_WHY (why not) when OFF.
# Not for Windows: the DLLs carry their own (no system DLL, Vista's imports). Hidden by
# -DCMAKE_DISABLE_FIND_PACKAGE_MbedTLS=ON, pkg-config included.
set(QVRAD_TLS_SYSTEM OFF)
set(QVRAD_TLS_SYSTEM_WHY "no system Mbed TLS 3.6 was found (CMake package MbedTLS, pkg-config mbedtls)")
if(WIN32)
  set(QVRAD_TLS_SYSTEM_WHY "a Windows build carries its own Mbed TLS (QVRAD_MBEDTLS_SOURCE)")
  return()
endif()
if(CMAKE_DISABLE_FIND_PACKAGE_MbedTLS)
  set(QVRAD_TLS_SYSTEM_WHY "the system's Mbed TLS is not looked for (CMAKE_DISABLE_FIND_PACKAGE_MbedTLS)")
  return()
endif()

set(_qvrad_sys_targets "")
find_package(MbedTLS 3.6 CONFIG QUIET)
if(MbedTLS_FOUND AND TARGET MbedTLS::mbedtls)
  # mbedtls brings mbedx509 and mbedcrypto with it.
  set(_qvrad_sys_targets MbedTLS::mbedtls)
  set(_qvrad_sys_version "${MbedTLS_VERSION}")
  set(_qvrad_sys_where "${MbedTLS_DIR}")
elseif(NOT CMAKE_CROSSCOMPILING)
  # pkg-config would answer with the build machine's libraries in a cross build.
  find_package(PkgConfig QUIET)
  if(PKG_CONFIG_FOUND)
    pkg_check_modules(QVRAD_PC_MBEDTLS QUIET IMPORTED_TARGET mbedtls>=3.6 mbedx509 mbedcrypto)
    if(QVRAD_PC_MBEDTLS_FOUND)
      set(_qvrad_sys_targets PkgConfig::QVRAD_PC_MBEDTLS)
      set(_qvrad_sys_version "${QVRAD_PC_MBEDTLS_mbedtls_VERSION}")
      set(_qvrad_sys_where "pkg-config mbedtls")
    endif()
  endif()
endif()
if(NOT _qvrad_sys_targets)
  return()
endif()
if(NOT _qvrad_sys_version MATCHES "^3\\.([6-9]|[1-9][0-9])(\\.|$)")
  set(QVRAD_TLS_SYSTEM_WHY "the system's Mbed TLS is ${_qvrad_sys_version} (${_qvrad_sys_where}), not 3.6 or a later 3.x")
  return()
endif()

# Compiled and linked as the library will be: each unmet need is one #error naming it.
try_compile(_qvrad_sys_ok "${CMAKE_BINARY_DIR}/CMakeFiles/qvrad_mbedtls_check"
  "${CMAKE_CURRENT_LIST_DIR}/QvradMbedTlsCheck.c"
  LINK_LIBRARIES ${_qvrad_sys_targets}
  OUTPUT_VARIABLE _qvrad_sys_output)
if(NOT _qvrad_sys_ok)
  string(REGEX MATCHALL "qvrad-needs: [A-Za-z0-9_ .,-]+" _qvrad_sys_needs "${_qvrad_sys_output}")
  list(TRANSFORM _qvrad_sys_needs REPLACE "^qvrad-needs: " "")
  list(REMOVE_DUPLICATES _qvrad_sys_needs)
  list(JOIN _qvrad_sys_needs ", " _qvrad_sys_needs)
  if(NOT _qvrad_sys_needs)
    set(_qvrad_sys_needs "a program using it did not compile and link (see CMakeFiles/CMakeError.log)")
    file(APPEND "${CMAKE_BINARY_DIR}/CMakeFiles/CMakeError.log"
      "qvRadClient: the system's Mbed TLS check failed:\n${_qvrad_sys_output}\n")
  endif()
  set(QVRAD_TLS_SYSTEM_WHY "the system's Mbed TLS ${_qvrad_sys_version} (${_qvrad_sys_where}) lacks: ${_qvrad_sys_needs}")
  return()
endif()

set(QVRAD_TLS_SYSTEM ON)
set(QVRAD_TLS_SYSTEM_TARGETS ${_qvrad_sys_targets})
set(QVRAD_TLS_SYSTEM_VERSION "${_qvrad_sys_version}")
set(QVRAD_TLS_SYSTEM_WHERE "${_qvrad_sys_where}")
