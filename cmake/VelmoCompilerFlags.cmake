# How velmo's own code is compiled and the module linked, per compiler and
# platform: GCC and Clang (Linux, and MinGW-w64 for Windows), or MSVC.
#
#   VELMO_WARNINGS          the warning set (with VELMO_WARNINGS_AS_ERRORS, as errors)
#   VELMO_CODEGEN_OPTIONS   no C++ exceptions, no RTTI
#   VELMO_MODULE_LINK_OPTIONS  for the extension module's link

option(VELMO_WARNINGS_AS_ERRORS "Fail the build on any compiler warning" OFF)

# Nothing may unwind into the interpreter, so the code is built without C++
# exceptions (and RTTI, which nothing uses): then the module needs no C++
# runtime library at all, and noexcept costs no frames.
if(MSVC)
  # C5030: the gnu:: attributes (noinline, cold) are hints MSVC does not
  # know, and C++17 has them ignored.
  set(VELMO_WARNINGS /W4 /wd5030)
  if(VELMO_WARNINGS_AS_ERRORS)
    list(APPEND VELMO_WARNINGS /WX)
  endif()
  # _HAS_EXCEPTIONS=0 makes the standard library's headers match /EHs-c-.
  set(VELMO_CODEGEN_OPTIONS /EHs-c- /GR- /D_HAS_EXCEPTIONS=0)
else()
  set(VELMO_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion)
  if(VELMO_WARNINGS_AS_ERRORS)
    list(APPEND VELMO_WARNINGS -Werror)
  endif()
  set(VELMO_CODEGEN_OPTIONS -fno-exceptions -fno-rtti)
endif()

set(VELMO_MODULE_LINK_OPTIONS)
if(CMAKE_EXECUTABLE_FORMAT STREQUAL "ELF")
  # The C++ runtime and libgcc_s that the compiler driver adds are dropped
  # again, since nothing refers to them; loading libstdc++ would cost more than
  # the whole rest of `import velmo`. (A PE image imports from a DLL only what
  # it uses, so Windows needs no such flag.)
  list(APPEND VELMO_MODULE_LINK_OPTIONS -Wl,--as-needed)
elseif(MINGW)
  # The symbol table is dropped at link time: the symbols-aside step
  # (cmake/VelmoInstall.cmake) is for ELF only.
  list(APPEND VELMO_MODULE_LINK_OPTIONS -s)
endif()
