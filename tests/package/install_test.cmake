# Installs the build into a scratch prefix (or takes PREFIX, a tree already installed there or
# unpacked from the Debian packages), then configures, builds and runs a consumer that uses
# find_package(qvRadClient), and the same consumer again from the pkg-config file's flags; with
# EXAMPLE (examples/), builds the login example both ways too (warnings as errors) and starts it
# once (usage: exit 64; tests/package/example_test.cmake runs it against a server).
file(REMOVE_RECURSE ${WORK_DIR})
if(DEFINED PREFIX)
  set(prefix ${PREFIX})
else()
  set(prefix ${WORK_DIR}/prefix)
  execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix}
    RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "cmake --install failed")
  endif()
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -S ${CONSUMER} -B ${WORK_DIR}/consumer -G ${GENERATOR}
  -DCMAKE_PREFIX_PATH=${prefix} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "consumer configure failed")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR}/consumer RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "consumer build failed")
endif()
execute_process(COMMAND ${WORK_DIR}/consumer/consumer OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT out MATCHES "Quorvel SDK for Win32 ver 1.1.0.2")
  message(FATAL_ERROR "consumer run failed: ${out}")
endif()
foreach(header qvRadClient.h qvrad.h)
  if(NOT EXISTS ${prefix}/include/${header})
    message(FATAL_ERROR "${header} is not installed in ${prefix}/include")
  endif()
endforeach()
if(EXISTS ${BUILD_DIR}/tools/qvrad-auth AND NOT EXISTS ${prefix}/share/man/man1/qvrad-auth.1)
  message(FATAL_ERROR "qvrad-auth is installed without its manual page")
endif()
file(GLOB_RECURSE pc ${prefix}/*/qvRadClient.pc)
if(NOT pc)
  message(FATAL_ERROR "no qvRadClient.pc installed")
endif()
# By name through PKG_CONFIG_PATH: pkg-config cannot take a file path with a space in it. The file
# names the prefix the build was configured for; a tree installed or unpacked elsewhere gets its
# own prefix through --define-variable, as its user would give it.
get_filename_component(pcdir "${pc}" DIRECTORY)
set(ENV{PKG_CONFIG_PATH} "${pcdir}")
execute_process(COMMAND pkg-config --variable=prefix qvRadClient OUTPUT_VARIABLE pc_prefix
  OUTPUT_STRIP_TRAILING_WHITESPACE)
set(define_prefix "")
if(NOT pc_prefix STREQUAL prefix)
  set(define_prefix "--define-variable=prefix=${prefix}")
endif()
execute_process(COMMAND pkg-config ${define_prefix} --libs --cflags qvRadClient
  OUTPUT_VARIABLE flags RESULT_VARIABLE rc OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT rc EQUAL 0 OR NOT flags MATCHES "-lqvRadClient")
  message(FATAL_ERROR "pkg-config file unusable: ${flags}")
endif()
execute_process(COMMAND pkg-config ${define_prefix} --variable=libdir qvRadClient
  OUTPUT_VARIABLE libdir OUTPUT_STRIP_TRAILING_WHITESPACE)

# The same consumer compiled with pkg-config's flags alone (CC, else cc) and run. pkg-config
# prints paths unquoted, so the prefix (CI's path holds a space) stays whole while they are split.
if(NOT DEFINED CC)
  set(CC cc)
endif()
string(REPLACE "${prefix}" "QVRADPREFIX" flags "${flags}")
separate_arguments(flags UNIX_COMMAND "${flags}")
set(cc_args "")
foreach(flag IN LISTS flags)
  string(REPLACE "QVRADPREFIX" "${prefix}" flag "${flag}")
  list(APPEND cc_args "${flag}")
endforeach()
execute_process(COMMAND ${CC} ${CONSUMER}/main.c ${cc_args} -o ${WORK_DIR}/consumer-pkg-config
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "consumer build with pkg-config's flags failed: ${cc_args}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E env "LD_LIBRARY_PATH=${libdir}"
  ${WORK_DIR}/consumer-pkg-config OUTPUT_VARIABLE out_pc RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT out_pc STREQUAL out)
  message(FATAL_ERROR "consumer built with pkg-config's flags: ${out_pc}")
endif()

# The example, as its reader builds it: its own CMake project, then pkg-config's one line.
if(DEFINED EXAMPLE)
  execute_process(COMMAND ${CMAKE_COMMAND} -S ${EXAMPLE} -B ${WORK_DIR}/example -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_C_FLAGS=-Werror RESULT_VARIABLE rc)
  if(rc EQUAL 0)
    execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR}/example RESULT_VARIABLE rc)
  endif()
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "the example does not build against the installed tree")
  endif()
  execute_process(COMMAND ${CC} -std=c99 -Wall -Wextra -Wpedantic -Werror ${EXAMPLE}/login.c
    ${cc_args} -o ${WORK_DIR}/login-pkg-config RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "the example does not build with pkg-config's flags")
  endif()
  foreach(program ${WORK_DIR}/example/login ${WORK_DIR}/login-pkg-config)
    execute_process(COMMAND ${CMAKE_COMMAND} -E env "LD_LIBRARY_PATH=${libdir}" ${program}
      RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE usage)
    if(NOT rc EQUAL 64 OR NOT usage MATCHES "^usage: ")
      message(FATAL_ERROR "${program} without arguments: exit ${rc}, ${usage}")
    endif()
  endforeach()
endif()
message(STATUS "consumer (CMake package and pkg-config): ${out}")
