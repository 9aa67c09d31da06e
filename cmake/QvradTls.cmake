# RADIUS over TLS: Mbed TLS 3.6 compiled into the library from its sources (QVRAD_MBEDTLS_SOURCE,
# the tree scripts/mbedtls-source.sh unpacks), trimmed by qvRadClient/tls/mbedtls_config.h to a
# TLS 1.2/1.3 client. Without the sources the library builds with TLS off and refuses tls://.
# Sets QVRAD_TLS (ON/OFF), QVRAD_TLS_SOURCES (our files, relative to the top) and
# QVRAD_TLS_OBJECTS (Mbed TLS's objects, for every library that holds the library's objects);
# qvrad_use_tls(TARGET) gives a target compiling our TLS files what they include.
set(QVRAD_MBEDTLS_SOURCE "" CACHE PATH
  "Mbed TLS 3.6 source tree (scripts/mbedtls-source.sh DIR prints it); empty: no TLS")

set(QVRAD_TLS OFF)
set(QVRAD_TLS_OBJECTS "")
# Plain byte work, the same with TLS or without: settings, names, the PSK file, framing.
set(QVRAD_TLS_SOURCES
  qvRadClient/tls/tls_settings.cpp
  qvRadClient/tls/tls_names.cpp
  qvRadClient/tls/tls_psk.cpp
  qvRadClient/tls/tls_framing.cpp)

if(NOT QVRAD_TLS)
  list(APPEND QVRAD_TLS_SOURCES qvRadClient/tls/tls_session_stub.cpp)
  message(STATUS "qvRadClient: TLS off: built without Mbed TLS sources (QVRAD_MBEDTLS_SOURCE is "
    "empty; scripts/mbedtls-source.sh fetches them); tls:// servers are refused")
  function(qvrad_use_tls target)
  endfunction()
endif()
