# Warnings for our own code, always on with every compiler we build with (GCC, Clang, MinGW).
# QVRAD_WERROR makes them errors: on where the project's developers and CI build (scripts/test.sh's
# stages), off by default so that a user's or a packager's build never fails on a warning a newer
# compiler adds.
option(QVRAD_WERROR "Treat compiler warnings in qvRadClient's own code as errors" OFF)

function(qvrad_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow
    -Wcast-align -Wformat=2 -Wnull-dereference)
  if(QVRAD_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
