# The login example (examples/) as its reader uses it: built against an installed tree through
# find_package(qvRadClient) and run against the private FreeRADIUS, for the users.tsv rows it
# can meet: an accept, a reject, a challenge answered wrongly and one left unanswered, and the
# two-step login with its Class. Under a cross build's EMULATOR (wine) with TOOLCHAIN.
#
# cmake -DBUILD_DIR=<build> -DWORK_DIR=<scratch> -DEXAMPLE=<examples> -DGENERATOR=<generator>
#       -DFR_ENV=<server>/ports.env -DUSERS=users.tsv [-DTOOLCHAIN=<file> -DEMULATOR=<program>]
#       -P example_test.cmake
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix}
  OUTPUT_QUIET RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed")
endif()

set(configure -S ${EXAMPLE} -B ${WORK_DIR}/build -G ${GENERATOR} -DCMAKE_C_FLAGS=-Werror)
if(TOOLCHAIN)
  # A cross toolchain finds packages only under its target root: the package is named directly.
  file(GLOB_RECURSE config ${prefix}/*/qvRadClientConfig.cmake)
  get_filename_component(config_dir "${config}" DIRECTORY)
  list(APPEND configure -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN} -DqvRadClient_DIR=${config_dir})
else()
  list(APPEND configure -DCMAKE_PREFIX_PATH=${prefix})
endif()
execute_process(COMMAND ${CMAKE_COMMAND} ${configure} OUTPUT_QUIET RESULT_VARIABLE rc)
if(rc EQUAL 0)
  execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR}/build OUTPUT_QUIET RESULT_VARIABLE rc)
endif()
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the example does not build against ${prefix}")
endif()
file(GLOB program ${WORK_DIR}/build/login ${WORK_DIR}/build/login.exe)
if(EXISTS ${prefix}/bin/qvRadClient.dll)
  # Beside the program, where Windows looks for a DLL first, as a host ships it.
  file(COPY ${prefix}/bin/qvRadClient.dll DESTINATION ${WORK_DIR}/build)
endif()

# The server's MAIN listener, from its ports.env (shell assignments; texts single-quoted).
file(STRINGS ${FR_ENV} env_lines)
foreach(line ${env_lines})
  if(line MATCHES "^(QVRAD_FR_HOST|QVRAD_FR_PORT_MAIN|QVRAD_FR_SECRET_MAIN)='?([^']*)'?$")
    set(${CMAKE_MATCH_1} "${CMAKE_MATCH_2}")
  endif()
endforeach()
if(NOT QVRAD_FR_PORT_MAIN OR NOT QVRAD_FR_SECRET_MAIN)
  message(FATAL_ERROR "${FR_ENV} names no MAIN listener")
endif()

# users.tsv rows by key: ROW_<key> is the row's fields from the user on (a list), each with the
# characters of CMake's list syntax (which no field used here holds) made '?'.
file(READ ${USERS} table)
foreach(special ";" "[" "]")
  string(REPLACE "${special}" "?" table "${table}")
endforeach()
string(REPLACE "\n" ";" rows "${table}")
foreach(row ${rows})
  if(row MATCHES "^#" OR NOT row MATCHES "\t")
    continue()
  endif()
  string(REPLACE "\t" ";" fields "${row}")
  list(GET fields 0 key)
  list(SUBLIST fields 2 -1 ROW_${key})
endforeach()

set(failures "")
# run(NAME STATUS USER INPUT PATTERN...): the example logs USER in with the lines of INPUT
# (joined by '|') on its standard input; it must exit with STATUS and print every PATTERN (a text,
# not a regular expression).
function(run name want_status user input)
  string(REPLACE "|" "\n" input "${input}\n")
  file(WRITE ${WORK_DIR}/${name}.in "${input}")
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env QVRAD_SECRET=${QVRAD_FR_SECRET_MAIN}
            ${EMULATOR} ${program} ${QVRAD_FR_HOST} ${QVRAD_FR_PORT_MAIN} ${user}
    WORKING_DIRECTORY ${WORK_DIR} INPUT_FILE ${WORK_DIR}/${name}.in
    OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status TIMEOUT 60)
  set(ok ON)
  if(NOT status STREQUAL want_status)
    set(ok OFF)
  endif()
  foreach(pattern ${ARGN})
    string(FIND "${out}${err}" "${pattern}" at)
    if(at EQUAL -1)
      set(ok OFF)
    endif()
  endforeach()
  if(ok)
    message(STATUS "ok   ${name}: exit ${status}")
  else()
    set(failures "${failures}${name}: exit ${status} (want ${want_status}), expected [${ARGN}]\n"
      "--- stdout\n${out}--- stderr\n${err}\n" PARENT_SCOPE)
  endif()
endfunction()

list(GET ROW_alice 0 alice_user)
list(GET ROW_alice 1 alice_password)
list(GET ROW_alice 2 alice_welcome)
list(GET ROW_alice-wrong 1 wrong_password)
run(accept 0 ${alice_user} ${alice_password} "Reply-Message: ${alice_welcome}" "Access-Accept")
run(reject 1 ${alice_user} ${wrong_password} "Reply-Message: Access denied" "Access-Reject")
# carol is challenged for her password; this server takes no answer (it wants the password
# again), so any other answer is rejected, and no answer at all leaves the challenge open.
list(GET ROW_challenge 0 1 2 carol)
list(GET carol 0 carol_user)
list(GET carol 1 carol_password)
list(GET carol 2 carol_prompt)
run(challenge_answered 1 ${carol_user} "${carol_password}|000000"
  "Reply-Message: ${carol_prompt}" "Answer (hidden): " "Reply-Message: Access denied"
  "Access-Reject")
run(challenge_unanswered 6 ${carol_user} "${carol_password}"
  "Reply-Message: ${carol_prompt}" "the challenge was not answered")
# The two-step login (otto, kind challenge-otp: password, challenge text, code, welcome, Class,
# ...): the password earns a challenge with a State of the server's making, the code sent with
# that State an Access-Accept with the Class the example prints.
list(GET ROW_challenge-otp 0 otp_user)
list(GET ROW_challenge-otp 1 otp_password)
list(GET ROW_challenge-otp 2 otp_prompt)
list(GET ROW_challenge-otp 3 otp_code)
list(GET ROW_challenge-otp 4 otp_welcome)
list(GET ROW_challenge-otp 5 otp_class)
run(two_step 0 ${otp_user} "${otp_password}|${otp_code}" "Reply-Message: ${otp_prompt}"
  "Answer (hidden): " "Reply-Message: ${otp_welcome}" "Class: ${otp_class}" "Access-Accept")

if(failures)
  message(FATAL_ERROR "the example against ${QVRAD_FR_HOST}:${QVRAD_FR_PORT_MAIN}:\n${failures}")
endif()
