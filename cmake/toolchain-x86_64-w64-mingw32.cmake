# Cross build for 64-bit Windows with MinGW-w64: the Win64 DLL and its tests, run under wine.
# The posix thread-model compilers, because the tests use std::thread (winpthread, static).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(QVRAD_MINGW_TRIPLET x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${QVRAD_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QVRAD_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${QVRAD_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QVRAD_MINGW_TRIPLET})
# Programs (python3 for the PE check) come from the build host; headers and libraries only
# from the target's tree, so nothing of the host's leaks into the Windows binaries.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The runtime (libgcc, libstdc++, winpthread) goes into each executable, so it imports only
# Windows system DLLs and runs anywhere without a DLL search path.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -static")

# Test executables run under 64-bit wine, in a prefix of the build tree's own.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
