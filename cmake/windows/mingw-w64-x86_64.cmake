# Toolchain file: cross-compiles for 64-bit Windows with Debian's MinGW-w64
# (packages g++-mingw-w64-x86-64-posix and binutils-mingw-w64-x86-64).
# scripts/build_windows.sh passes it with the interpreter's headers.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(VELMO_MINGW_PREFIX x86_64-w64-mingw32)
# The POSIX thread model's compiler; the module itself starts no thread.
set(CMAKE_CXX_COMPILER ${VELMO_MINGW_PREFIX}-g++-posix)

# Libraries and headers come from the MinGW-w64 tree only, programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${VELMO_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
