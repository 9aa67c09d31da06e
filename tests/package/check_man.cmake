# qvrad-auth's manual page: man -l formats it without a warning, and it names every option that
# the program's --help names, the exit statuses and the environment it reads.
if(NOT MAN)
  message("man not found (scripts/deps.sh installs man-db): skipped")
  return()
endif()
# Plain ASCII, and lines wide enough that no paragraph is wrapped or hyphenated.
set(ENV{LC_ALL} C)
set(ENV{MANWIDTH} 1000)
execute_process(COMMAND ${MAN} --warnings -l ${PAGE} OUTPUT_VARIABLE page ERROR_VARIABLE warnings
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT warnings STREQUAL "")
  message(FATAL_ERROR "man -l ${PAGE}: exit ${rc}\n${warnings}")
endif()
string(ASCII 8 backspace)
string(REGEX REPLACE "[^\n]${backspace}" "" page "${page}")  # overstrikes, should a setting add them
string(REGEX REPLACE "[ \t\n]+" " " page "${page}")
execute_process(COMMAND ${TOOL} --help OUTPUT_VARIABLE help RESULT_VARIABLE rc)
string(REGEX MATCHALL "--[a-z][a-z-]*" options "${help}")
list(REMOVE_DUPLICATES options)
list(LENGTH options count)
if(count LESS 10)
  message(FATAL_ERROR "--help names only ${count} options: ${options}")
endif()
foreach(word ${options} "EXIT STATUS" "Access-Reject" "QVRAD_SECRET" "chmod 600"
        "last of a repeated option wins")
  string(FIND "${page}" "${word}" at)
  if(at LESS 0)
    message(FATAL_ERROR "the manual page lacks ${word}")
  endif()
endforeach()
message(STATUS "qvrad-auth.1: ${count} options, each in the page")
