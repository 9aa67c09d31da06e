# Cross build for 32-bit Windows with MinGW-w64: the Win32 DLL. The posix thread-model
# compilers, because the tests use std::thread (winpthread, static). This kernel runs no 32-bit
# program: the tests run only given -DQVRAD_WIN32_EMULATION=DIR, the folder
# scripts/win32-emulation.sh prepares (32-bit wine under qemu-i386); else they are built and the
# PE check runs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR X86)
set(QVRAD_MINGW_TRIPLET i686-w64-mingw32)

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

if(QVRAD_WIN32_EMULATION)
  set(CMAKE_CROSSCOMPILING_EMULATOR
    ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh --emulation ${QVRAD_WIN32_EMULATION})
endif()
