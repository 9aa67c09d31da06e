# The Windows DLL: DllMain, the .def's export table, the version resource and a runtime linked
# in statically, so that qvRadClient.dll imports only system DLLs. Included from the top level.
enable_language(RC)
include(GNUInstallDirs)

set(QVRAD_DEF_FILE "${CMAKE_CURRENT_SOURCE_DIR}/qvRadClient/api/qvRadClient.def")

# DllMain belongs to the DLL alone: the static library's users (tests, tools) have no loader
# notification and call ModuleProcessAttach themselves.
# It is an object library of its own so that the warning flags reach it and not windres.
add_library(qvRadClientDllMain OBJECT
  "${CMAKE_CURRENT_SOURCE_DIR}/qvRadClient/platform/dllmain_win32.cpp")
target_include_directories(qvRadClientDllMain PRIVATE "${CMAKE_CURRENT_SOURCE_DIR}/qvRadClient")
qvrad_warnings(qvRadClientDllMain)

target_sources(qvRadClient PRIVATE
  $<TARGET_OBJECTS:qvRadClientDllMain>
  "${CMAKE_CURRENT_SOURCE_DIR}/qvRadClient/api/version.rc"
  "${QVRAD_DEF_FILE}")
target_link_libraries(qvRadClient PRIVATE ws2_32 bcrypt)

# The .def is the whole export list (the header declares no dllexport); nothing is exported
# automatically, so neither DllMain nor a symbol of the static C++ runtime can leak out. The
# i686 names stay undecorated because every function is cdecl. ASLR, DEP and a relocation
# table for the DLL are asked for explicitly rather than left to the binutils default.
target_link_options(qvRadClient PRIVATE
  -static-libgcc -static-libstdc++ -static
  "LINKER:--exclude-all-symbols"
  "LINKER:--no-undefined"
  "LINKER:--dynamicbase" "LINKER:--nxcompat")
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  target_link_options(qvRadClient PRIVATE "LINKER:--high-entropy-va")
endif()
set_property(TARGET qvRadClient APPEND PROPERTY LINK_DEPENDS "${QVRAD_DEF_FILE}")

# qvRadClient.dll with the MinGW import library libqvRadClient.dll.a. The Unix-style SOVERSION
# has no place in a DLL's name.
set_target_properties(qvRadClient PROPERTIES
  PREFIX ""
  OUTPUT_NAME qvRadClient
  RUNTIME_OUTPUT_NAME qvRadClient
  IMPORT_PREFIX "lib"
  IMPORT_SUFFIX ".dll.a")

# The .def beside the import library, for hosts that make their own (MSVC lib /def).
install(FILES "${QVRAD_DEF_FILE}" DESTINATION "${CMAKE_INSTALL_LIBDIR}")
