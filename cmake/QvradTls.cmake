# RADIUS over TLS: Mbed TLS 3.6 compiled into the library from its sources (QVRAD_MBEDTLS_SOURCE,
# the tree scripts/mbedtls-source.sh unpacks), trimmed by qvRadClient/tls/mbedtls_config.h to a
# TLS 1.2/1.3 client; else the system's Mbed TLS 3.6 (or a later 3.x) when CMake finds it and its
# configuration has what the client needs (cmake/QvradTlsSystem.cmake); else no TLS, and tls://
# is refused. QVRAD_TLS asks: AUTO (the default: TLS when Mbed TLS is there, a line saying so
# when not), ON (a build without TLS is a configure error naming why), OFF (none).
# Sets QVRAD_TLS (the outcome, ON/OFF), QVRAD_TLS_SOURCES (our files, relative to the top),
# QVRAD_TLS_OBJECTS (Mbed TLS's objects, for every library that holds the library's objects) and
# QVRAD_TLS_LIBRARIES (the system's Mbed TLS, for every library that links them);
# qvrad_use_tls(TARGET) gives a target compiling our TLS files what they include.
set(QVRAD_TLS AUTO CACHE STRING
  "RADIUS over TLS: AUTO (with Mbed TLS when found), ON (required: a configure error without), OFF")
set_property(CACHE QVRAD_TLS PROPERTY STRINGS AUTO ON OFF)
set(QVRAD_MBEDTLS_SOURCE "" CACHE PATH
  "Mbed TLS 3.6 source tree (scripts/mbedtls-source.sh DIR prints it); empty: the system's, or none")

string(TOUPPER "${QVRAD_TLS}" _qvrad_tls_ask)
if(_qvrad_tls_ask MATCHES "^(ON|YES|TRUE|Y|1)$")
  set(_qvrad_tls_ask ON)
elseif(_qvrad_tls_ask MATCHES "^(OFF|NO|FALSE|N|0)$")
  set(_qvrad_tls_ask OFF)
elseif(NOT _qvrad_tls_ask STREQUAL "AUTO")
  message(FATAL_ERROR "QVRAD_TLS=${QVRAD_TLS}: AUTO, ON or OFF")
endif()
# From here on QVRAD_TLS is the outcome, a variable over the cache entry of the same name: the
# rest of the build reads ON or OFF, and the next configure reads what was asked again.
set(QVRAD_TLS OFF)
set(QVRAD_TLS_LIBRARIES "")
set(QVRAD_TLS_SYSTEM OFF)
set(QVRAD_TLS_SYSTEM_WHY "")
set(QVRAD_TLS_OBJECTS "")
# Plain byte work, the same with TLS or without: settings, names, the PSK file, framing.
set(QVRAD_TLS_SOURCES
  qvRadClient/tls/tls_settings.cpp
  qvRadClient/tls/tls_names.cpp
  qvRadClient/tls/tls_psk.cpp
  qvRadClient/tls/tls_framing.cpp
  qvRadClient/tls/tls_tickets.cpp)

set(_qvrad_mbedtls "${QVRAD_MBEDTLS_SOURCE}")
set(_qvrad_tls_why "")
if(_qvrad_tls_ask STREQUAL "OFF")
  set(_qvrad_mbedtls "")
  set(_qvrad_tls_why "QVRAD_TLS=OFF")
elseif(NOT _qvrad_mbedtls)
  include(QvradTlsSystem)
endif()
if(_qvrad_mbedtls)
  get_filename_component(_qvrad_mbedtls "${_qvrad_mbedtls}" ABSOLUTE)
  set(_qvrad_mbedtls_info "${_qvrad_mbedtls}/include/mbedtls/build_info.h")
  if(NOT EXISTS "${_qvrad_mbedtls_info}" OR NOT EXISTS "${_qvrad_mbedtls}/library/ssl_tls13_client.c")
    message(FATAL_ERROR "QVRAD_MBEDTLS_SOURCE=${QVRAD_MBEDTLS_SOURCE} is no Mbed TLS source tree "
      "(no include/mbedtls/build_info.h or library/ssl_tls13_client.c): run "
      "scripts/mbedtls-source.sh DIR and pass the tree it prints, or leave it empty for no TLS")
  endif()
  file(STRINGS "${_qvrad_mbedtls_info}" _qvrad_mbedtls_version
    REGEX "^#define MBEDTLS_VERSION_STRING +\"[0-9.]+\"")
  string(REGEX REPLACE ".*\"([0-9.]+)\".*" "\\1" _qvrad_mbedtls_version "${_qvrad_mbedtls_version}")
  if(NOT _qvrad_mbedtls_version MATCHES "^3\\.6\\.")
    message(FATAL_ERROR "QVRAD_MBEDTLS_SOURCE has Mbed TLS ${_qvrad_mbedtls_version}: this "
      "library is configured for the 3.6 LTS branch")
  endif()
  set(QVRAD_TLS ON)
endif()

if(QVRAD_TLS_SYSTEM)
  set(QVRAD_TLS ON)
  list(APPEND QVRAD_TLS_SOURCES qvRadClient/tls/tls_library.cpp qvRadClient/tls/tls_session.cpp)
  set(QVRAD_TLS_LIBRARIES ${QVRAD_TLS_SYSTEM_TARGETS})
  message(STATUS "qvRadClient: TLS on: the system's Mbed TLS ${QVRAD_TLS_SYSTEM_VERSION} "
    "(${QVRAD_TLS_SYSTEM_WHERE}; its own configuration: see docs/security.md)")
  function(qvrad_use_tls target)
    target_compile_definitions(${target} PUBLIC QVRAD_HAVE_TLS QVRAD_TLS_SYSTEM_MBEDTLS)
    target_include_directories(${target} PRIVATE "${PROJECT_SOURCE_DIR}/qvRadClient/tls")
    target_link_libraries(${target} PUBLIC ${QVRAD_TLS_SYSTEM_TARGETS})
  endfunction()
  return()
endif()

if(NOT QVRAD_TLS)
  if(NOT _qvrad_tls_why)
    string(CONCAT _qvrad_tls_why "no Mbed TLS: QVRAD_MBEDTLS_SOURCE is empty "
      "(scripts/mbedtls-source.sh fetches the sources) and ${QVRAD_TLS_SYSTEM_WHY}")
  endif()
  if(_qvrad_tls_ask STREQUAL "ON")
    message(FATAL_ERROR "qvRadClient: QVRAD_TLS=ON, but ${_qvrad_tls_why}")
  endif()
  list(APPEND QVRAD_TLS_SOURCES qvRadClient/tls/tls_session_stub.cpp)
  message(STATUS "qvRadClient: TLS off: ${_qvrad_tls_why}; tls:// servers are refused")
  function(qvrad_use_tls target)
  endfunction()
  return()
endif()
message(STATUS "qvRadClient: TLS on: Mbed TLS ${_qvrad_mbedtls_version} from ${_qvrad_mbedtls}")
list(APPEND QVRAD_TLS_SOURCES qvRadClient/tls/tls_library.cpp qvRadClient/tls/tls_session.cpp)

# Only the files the configuration uses: crypto and PSA for TLS 1.2/1.3 with ECDHE, AES-GCM and
# ChaCha20-Poly1305, X.509 with RSA and ECDSA, the client side of TLS.
set(_qvrad_mbedtls_files
  aes aesni asn1parse asn1write base64 bignum bignum_core chacha20 chachapoly cipher cipher_wrap
  constant_time ecdh ecdsa ecp ecp_curves gcm hkdf md oid pem pk pk_ecc pk_wrap pkparse pkwrite
  platform_util poly1305 psa_crypto psa_crypto_aead psa_crypto_cipher psa_crypto_client
  psa_crypto_driver_wrappers_no_static psa_crypto_ecp psa_crypto_hash psa_crypto_mac
  psa_crypto_rsa psa_crypto_slot_management psa_util rsa rsa_alt_helpers sha256 sha512
  ssl_ciphersuites ssl_client ssl_msg ssl_tls ssl_tls12_client ssl_tls13_client
  ssl_tls13_generic ssl_tls13_keys threading x509 x509_crt)
list(TRANSFORM _qvrad_mbedtls_files PREPEND "${_qvrad_mbedtls}/library/")
list(TRANSFORM _qvrad_mbedtls_files APPEND ".c")

# Third-party code, compiled the same way in every build type: its warnings left at the
# compiler's defaults (never -Werror, whatever QVRAD_WERROR says) and none shown; optimised for
# size (-Os: a handshake a login does not notice, a library a third smaller than at -O2);
# without debug information, which is a third of its compile time in the CI's dozen builds.
# The build's sanitizers still apply. Each function in a section of its own, so that the shared
# library's link (--gc-sections) drops what TLS never calls.
add_library(qvradMbedTls OBJECT ${_qvrad_mbedtls_files})
target_include_directories(qvradMbedTls PRIVATE
  "${_qvrad_mbedtls}/include" "${_qvrad_mbedtls}/library"
  "${PROJECT_SOURCE_DIR}/qvRadClient" "${PROJECT_SOURCE_DIR}/qvRadClient/tls")
target_compile_definitions(qvradMbedTls PRIVATE "MBEDTLS_CONFIG_FILE=\"tls/mbedtls_config.h\"")
target_compile_options(qvradMbedTls PRIVATE -w -Os -g0 -ffunction-sections -fdata-sections)
set_target_properties(qvradMbedTls PROPERTIES
  POSITION_INDEPENDENT_CODE ON C_VISIBILITY_PRESET hidden C_STANDARD 99 C_EXTENSIONS ON)
# The tree's place never reaches the binaries (debug information, and from it a build ID): two
# builds of one commit match wherever each fetched the sources (scripts/release.sh).
target_compile_options(qvradMbedTls PRIVATE "-ffile-prefix-map=${_qvrad_mbedtls}=mbedtls")
# The public-key arithmetic for speed rather than size: a full handshake's ECDHE, the signature
# with the client's key and the checks of the server's chain spend nearly all their time there,
# and -O2 more than halves it for some 40 KB of library (docs/performance.md).
set(_qvrad_mbedtls_fast bignum bignum_core ecp ecp_curves ecdsa ecdh)
list(TRANSFORM _qvrad_mbedtls_fast PREPEND "${_qvrad_mbedtls}/library/")
list(TRANSFORM _qvrad_mbedtls_fast APPEND ".c")
set_source_files_properties(${_qvrad_mbedtls_fast} PROPERTIES COMPILE_OPTIONS "-O2")
set(QVRAD_TLS_OBJECTS "$<TARGET_OBJECTS:qvradMbedTls>")
set(QVRAD_MBEDTLS_TREE "${_qvrad_mbedtls}")

function(qvrad_use_tls target)
  # For the tests of what only a TLS build has (Mbed TLS's hooks).
  target_compile_definitions(${target} PUBLIC QVRAD_HAVE_TLS)
  target_include_directories(${target} SYSTEM PRIVATE "${QVRAD_MBEDTLS_TREE}/include")
  target_include_directories(${target} PRIVATE "${PROJECT_SOURCE_DIR}/qvRadClient/tls")
  target_compile_definitions(${target} PRIVATE "MBEDTLS_CONFIG_FILE=\"tls/mbedtls_config.h\"")
  # Its headers' place kept out of the debug information, as for Mbed TLS's own objects.
  target_compile_options(${target} PRIVATE "-ffile-prefix-map=${QVRAD_MBEDTLS_TREE}=mbedtls")
endfunction()
