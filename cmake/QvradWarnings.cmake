# Warnings are errors in our own code, for every compiler we build with (GCC, Clang, MinGW).
function(qvrad_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror -Wshadow
    -Wcast-align -Wformat=2 -Wnull-dereference)
endfunction()
