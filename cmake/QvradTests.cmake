# Whether the test suite is built: QVRAD_BUILD_TESTS=AUTO (the default) builds it only where
# GoogleTest is found, ON requires GoogleTest, OFF leaves the tests out. Sets QVRAD_TESTS (ON/OFF).
#
# AUTO is the default so that a user's plain configure (the README's from-source line) builds and
# installs the library on a machine with only a compiler and CMake; a build that asks for the
# tests (scripts/test.sh's stages do) fails here at once rather than skipping them silently.
set(QVRAD_BUILD_TESTS AUTO CACHE STRING
  "Build the test suite: AUTO (only when GoogleTest is found), ON (GoogleTest required) or OFF")
set_property(CACHE QVRAD_BUILD_TESTS PROPERTY STRINGS AUTO ON OFF)

set(QVRAD_TESTS OFF)
string(TOUPPER "${QVRAD_BUILD_TESTS}" _qvrad_tests_mode)
if(_qvrad_tests_mode STREQUAL "AUTO")
  set(_qvrad_tests_required OFF)
elseif(_qvrad_tests_mode MATCHES "^(ON|YES|TRUE|Y|1)$")
  set(_qvrad_tests_required ON)
elseif(_qvrad_tests_mode MATCHES "^(OFF|NO|FALSE|N|0)$")
  return()
else()
  message(FATAL_ERROR "QVRAD_BUILD_TESTS is '${QVRAD_BUILD_TESTS}': it must be AUTO, ON or OFF")
endif()

if(CMAKE_CROSSCOMPILING)
  # No prebuilt GoogleTest for the target: tests/ builds it from the googletest package's sources.
  # CMAKE_DISABLE_FIND_PACKAGE_GTest hides them as it hides a native GoogleTest.
  set(QVRAD_GTEST_SOURCE "/usr/src/googletest" CACHE PATH "googletest sources (cross builds)")
  if(NOT CMAKE_DISABLE_FIND_PACKAGE_GTest AND EXISTS "${QVRAD_GTEST_SOURCE}/CMakeLists.txt")
    set(QVRAD_TESTS ON)
  endif()
  set(_qvrad_gtest_missing "GoogleTest's sources not found in ${QVRAD_GTEST_SOURCE}")
  set(_qvrad_gtest_get "install them (Debian: googletest) or set QVRAD_GTEST_SOURCE")
else()
  # The tests use gmock too, which Debian packages apart (libgmock-dev) from gtest.
  if(_qvrad_tests_required)
    find_package(GTest)
  else()
    find_package(GTest QUIET)
  endif()
  if(GTest_FOUND AND TARGET GTest::gtest AND TARGET GTest::gmock)
    set(QVRAD_TESTS ON)
  endif()
  set(_qvrad_gtest_missing "GoogleTest (gtest and gmock) not found")
  set(_qvrad_gtest_get "install it (Debian: libgtest-dev libgmock-dev)")
endif()

if(QVRAD_TESTS)
  return()
endif()
if(_qvrad_tests_required)
  message(FATAL_ERROR "QVRAD_BUILD_TESTS=${QVRAD_BUILD_TESTS} asks for the tests: "
    "${_qvrad_gtest_missing}; ${_qvrad_gtest_get}, or configure with -DQVRAD_BUILD_TESTS=OFF")
endif()
# One line: the tests are left out, why, and how to have them.
message(STATUS "qvRadClient: tests not built: ${_qvrad_gtest_missing}; to build them, "
  "${_qvrad_gtest_get} and configure with -DQVRAD_BUILD_TESTS=ON")
