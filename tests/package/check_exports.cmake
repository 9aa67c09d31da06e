# The library's exported interface, from every list of it at once: the functions the public
# headers declare, the DLL's .def, the version script, the Debian symbols file and (with LIBRARY)
# the built shared library's dynamic symbols and SONAME must all name the same functions, each in
# the same version node; and qvrad.h's constants keep the values they were released with.
#
# cmake -DINCLUDE_DIR=include -DDEF=... -DMAP=... -DSYMBOLS=... [-DNM=nm -DOBJDUMP=objdump
#       -DLIBRARY=libqvRadClient.so] -P check_exports.cmake

# Every constant of qvrad.h with its value: a host compiled against one release passes these
# numbers to every later one, so none may change, and a new one joins this table on purpose.
set(FROZEN_CONSTANTS
  QVRAD_OK=0 QVRAD_E_ARGUMENT=-1 QVRAD_E_TIMEOUT=-2 QVRAD_E_RESOLVE=-3 QVRAD_E_NOT_CHALLENGED=-4
  QVRAD_E_TOO_MANY_CHALLENGES=-5 QVRAD_E_BUSY=-6 QVRAD_E_MEMORY=-7 QVRAD_E_INTERNAL=-8
  QVRAD_E_TLS=-9 QVRAD_E_SPOOL=-10
  QVRAD_CODE_ACCEPT=2 QVRAD_CODE_REJECT=3 QVRAD_CODE_CHALLENGE=11
  QVRAD_OPT_TIMEOUT_MS=1 QVRAD_OPT_MAX_TRANSMISSIONS=2 QVRAD_OPT_REQUIRE_MESSAGE_AUTHENTICATOR=3
  QVRAD_OPT_MAX_CHALLENGES=4 QVRAD_OPT_NAS_IDENTIFIER=5 QVRAD_OPT_NAS_IP_ADDRESS=6
  QVRAD_OPT_SPOOL_DIR=7
  QVRAD_ACCT_START=1 QVRAD_ACCT_STOP=2 QVRAD_ACCT_INTERIM_UPDATE=3 QVRAD_ACCT_ON=7 QVRAD_ACCT_OFF=8
  QVRAD_OPT_TLS_CA_FILE=20 QVRAD_OPT_TLS_CERT_FILE=21 QVRAD_OPT_TLS_KEY_FILE=22
  QVRAD_OPT_TLS_SERVER_NAME=23 QVRAD_OPT_TLS_PSK_IDENTITY=24 QVRAD_OPT_TLS_PSK_FILE=25
  QVRAD_OPT_TLS_PSK_TLS12=26
  QVRAD_OPT_TLS_MAX_CONNECTIONS=27
  QVRAD_OPT_TLS_IDLE_MS=28
  QVRAD_REQUIRE_DEFAULT=-1 QVRAD_REQUIRE_AUTO=0 QVRAD_REQUIRE_YES=1 QVRAD_REQUIRE_NO=2)

set(failures "")
macro(fail text)
  string(APPEND failures "  ${text}\n")
endmacro()

# Two lists as the same set, or a failure naming what each side lacks.
function(compare what left right)
  set(only_left ${left})
  set(only_right ${right})
  if(right)
    list(REMOVE_ITEM only_left ${right})
  endif()
  if(left)
    list(REMOVE_ITEM only_right ${left})
  endif()
  if(only_left OR only_right)
    set(failures "${failures}  ${what}: only in the first [${only_left}], only in the second [${only_right}]\n"
      PARENT_SCOPE)
  endif()
endfunction()

# --- The headers: every function declared QVRAD_API ... QVRAD_CALL name(, no enum anywhere (an
# enum's size is the compiler's choice), and qvrad.h's constants as plain numbers.
file(GLOB headers "${INCLUDE_DIR}/*.h")
set(declared "")
foreach(header ${headers})
  file(READ "${header}" text)
  string(REGEX REPLACE "/\\*([^*]|\\*+[^*/])*\\*+/" "" code "${text}")  # comments out
  string(REGEX MATCHALL "QVRAD_CALL[ \t\n]+[A-Za-z_][A-Za-z0-9_]*[ \t\n]*\\(" calls "${code}")
  string(REGEX MATCHALL "QVRAD_API[^;{}#]*QVRAD_CALL[ \t\n]+[A-Za-z_][A-Za-z0-9_]*[ \t\n]*\\("
    api_calls "${code}")
  list(LENGTH calls n_calls)
  list(LENGTH api_calls n_api)
  if(NOT n_calls EQUAL n_api)
    fail("${header}: ${n_calls} QVRAD_CALL declarations but ${n_api} with QVRAD_API before them")
  endif()
  foreach(call ${calls})
    string(REGEX REPLACE "^QVRAD_CALL[ \t\n]+([A-Za-z0-9_]+).*$" "\\1" name "${call}")
    list(APPEND declared ${name})
  endforeach()
  if(code MATCHES "(^|[^A-Za-z0-9_])enum([^A-Za-z0-9_]|$)")
    fail("${header}: declares an enum")
  endif()
endforeach()
list(LENGTH declared n_declared)
list(REMOVE_DUPLICATES declared)
list(LENGTH declared n_unique)
if(NOT n_declared EQUAL n_unique OR n_declared LESS 3)
  fail("headers: ${n_declared} declarations, ${n_unique} names: [${declared}]")
endif()

file(STRINGS "${INCLUDE_DIR}/qvrad.h" defines REGEX "^#define[ \t]+QVRAD_")
set(constants "")
foreach(line ${defines})
  if(line MATCHES "^#define[ \t]+QVRAD_H[ \t]*$")  # the include guard
    continue()
  endif()
  if(NOT line MATCHES "^#define[ \t]+(QVRAD_[A-Z0-9_]+)[ \t]+(\\(-[0-9]+\\)|[0-9]+)([ \t]+/\\*.*)?$")
    fail("qvrad.h: not a constant with a number written out: ${line}")
    continue()
  endif()
  set(name "${CMAKE_MATCH_1}")
  string(REGEX REPLACE "[()]" "" value "${CMAKE_MATCH_2}")
  list(APPEND constants "${name}=${value}")
endforeach()
compare("qvrad.h constants against the released values" "${constants}" "${FROZEN_CONSTANTS}")

# --- The .def: the names under EXPORTS, undecorated, nothing else (no ordinals, no aliases).
file(STRINGS "${DEF}" def_lines)
set(def_names "")
set(in_exports OFF)
foreach(line ${def_lines})
  string(REGEX REPLACE ";.*$" "" line "${line}")
  string(STRIP "${line}" line)
  if(line STREQUAL "")
    continue()
  elseif(line STREQUAL "EXPORTS")
    set(in_exports ON)
  elseif(in_exports)
    if(NOT line MATCHES "^[A-Za-z_][A-Za-z0-9_]*$")
      fail("${DEF}: an export that is not a plain name: ${line}")
    endif()
    list(APPEND def_names "${line}")
  endif()
endforeach()
compare("declared against the .def" "${declared}" "${def_names}")

# --- The version script: name@NODE for every global, every other symbol local.
file(READ "${MAP}" map)
string(REGEX REPLACE "/\\*([^*]|\\*+[^*/])*\\*+/" "" map "${map}")
string(REPLACE ";" "," map "${map}")  # a CMake list would split at each one
string(REGEX MATCHALL "[A-Z][A-Z0-9_.]*[ \t\n]*{[^}]*}" nodes "${map}")
set(map_symbols "")
set(map_nodes "")
foreach(node ${nodes})
  string(REGEX MATCH "^[A-Z][A-Z0-9_.]*" node_name "${node}")
  list(APPEND map_nodes ${node_name})
  string(REGEX MATCH "global:([^}]*)" global "${node}")
  string(REGEX REPLACE "local:.*$" "" global "${CMAKE_MATCH_1}")
  string(REGEX MATCHALL "[A-Za-z_][A-Za-z0-9_]*[ \t]*," names "${global}")
  foreach(name ${names})
    string(REGEX REPLACE "[ \t,]" "" name "${name}")
    list(APPEND map_symbols "${name}@${node_name}")
  endforeach()
endforeach()
if(NOT map MATCHES "local:[ \t\n]*\\*,")
  fail("${MAP}: no 'local: *;': symbols not listed would be exported")
endif()
set(declared_any_node "")
foreach(entry ${map_symbols})
  string(REGEX REPLACE "@.*$" "" name "${entry}")
  list(APPEND declared_any_node ${name})
endforeach()
compare("declared against the version script" "${declared}" "${declared_any_node}")

# --- The Debian symbols file: the same name@NODE pairs, and each node's own entry.
file(STRINGS "${SYMBOLS}" symbol_lines REGEX "^ [^ ]+@[^ ]+ ")
set(deb_symbols "")
foreach(line ${symbol_lines})
  string(REGEX REPLACE "^ ([^ ]+) .*$" "\\1" entry "${line}")
  list(APPEND deb_symbols "${entry}")
endforeach()
set(map_with_nodes ${map_symbols})
foreach(node ${map_nodes})
  list(APPEND map_with_nodes "${node}@${node}")
endforeach()
compare("version script against the Debian symbols file" "${map_with_nodes}" "${deb_symbols}")

# --- The built library: defined dynamic symbols exactly the version script's, each in its node
# (name@@NODE: the default version), plus the nodes themselves; and its SONAME.
if(DEFINED LIBRARY)
  execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY} OUTPUT_VARIABLE symbols
    RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "nm failed on ${LIBRARY}")
  endif()
  string(REGEX MATCHALL "[0-9a-fA-F]+ [A-Za-z] [^\n]+" lines "${symbols}")
  set(exported "")
  set(version_nodes "")
  foreach(line ${lines})
    if(NOT line MATCHES "^[0-9a-fA-F]+ ([A-Za-z]) ([^@ ]+)(@@?)?([^ ]*)$")
      fail("nm: a line not understood: ${line}")
      continue()
    endif()
    if(CMAKE_MATCH_1 STREQUAL "A")  # a version node shows as an absolute symbol
      list(APPEND version_nodes "${CMAKE_MATCH_2}")
    elseif(NOT CMAKE_MATCH_3 STREQUAL "@@")
      fail("${CMAKE_MATCH_2} is exported without a default version node: ${line}")
    else()
      list(APPEND exported "${CMAKE_MATCH_2}@${CMAKE_MATCH_4}")
    endif()
  endforeach()
  compare("version script against the library's dynamic symbols" "${map_symbols}" "${exported}")
  compare("version nodes against the library's" "${map_nodes}" "${version_nodes}")

  execute_process(COMMAND ${OBJDUMP} -p ${LIBRARY} OUTPUT_VARIABLE dynamic)
  if(NOT dynamic MATCHES "SONAME +libqvRadClient\\.so\\.1\n")
    fail("SONAME is not libqvRadClient.so.1")
  endif()
endif()

if(failures)
  message(FATAL_ERROR "the interface's lists disagree:\n${failures}")
endif()
list(LENGTH declared n)
list(LENGTH constants n_constants)
message(STATUS "${n} functions agree in the headers, the .def, the version script and the "
  "symbols file; ${n_constants} constants as released")
if(DEFINED LIBRARY)
  message(STATUS "the library exports them, each in its node: ${exported}")
endif()
