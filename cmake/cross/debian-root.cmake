# Toolchain file: cross-compiles for Linux on another architecture against a
# Debian root of scripts/debian_root.sh, named as it names them:
#   cmake -S . -B build-arm64-py3.11 -DCMAKE_TOOLCHAIN_FILE=cmake/cross/debian-root.cmake \
#         -DVELMO_DEBIAN_ROOT=bookworm/arm64 -DVELMO_CROSS_PYTHON_VERSION=3.11
# The root is the sysroot: its C library and the interpreter's headers (the
# module needs nothing else; its C++ runtime is dropped at link time). The
# compiler is Debian's cross compiler for the root's architecture
# (g++-aarch64-linux-gnu, g++-s390x-linux-gnu; VELMO_CROSS_CXX names another).
# The tests run inside the root, under emulation (tests/CMakeLists.txt).

set(VELMO_DEBIAN_ROOT "" CACHE STRING "The Debian root to build against, SUITE/ARCH (scripts/debian_root.sh)")
set(VELMO_DEBIAN_ROOT_PATH "" CACHE PATH "The Debian root's folder (default: scripts/debian_root.sh's)")
set(VELMO_CROSS_CXX "" CACHE STRING "The cross compiler (default: Debian's for the root's architecture)")
# The checks' test projects (try_compile, check_ipo_supported) read this file
# again, without the cache: they find the settings in the environment.
foreach(_velmo_setting VELMO_DEBIAN_ROOT VELMO_DEBIAN_ROOT_PATH VELMO_CROSS_CXX)
  if(${_velmo_setting})
    set(ENV{_${_velmo_setting}} "${${_velmo_setting}}")
  elseif(DEFINED ENV{_${_velmo_setting}})
    set(${_velmo_setting} "$ENV{_${_velmo_setting}}")
  endif()
endforeach()

if(NOT VELMO_DEBIAN_ROOT MATCHES "^([a-z]+)/([a-z0-9]+)$")
  message(FATAL_ERROR "cmake/cross/debian-root.cmake needs -DVELMO_DEBIAN_ROOT=SUITE/ARCH, e.g. bookworm/arm64")
endif()
set(_velmo_arch "${CMAKE_MATCH_2}")

# Debian's architecture -> its GNU triplet and the kernel's machine name.
set(_velmo_triplets "arm64=aarch64-linux-gnu=aarch64" "s390x=s390x-linux-gnu=s390x"
                    "ppc64el=powerpc64le-linux-gnu=ppc64le" "riscv64=riscv64-linux-gnu=riscv64"
                    "armhf=arm-linux-gnueabihf=armv7l" "i386=i686-linux-gnu=i686" "amd64=x86_64-linux-gnu=x86_64")
set(VELMO_CROSS_TRIPLET "")
foreach(_entry IN LISTS _velmo_triplets)
  if(_entry MATCHES "^${_velmo_arch}=([^=]+)=(.+)$")
    set(VELMO_CROSS_TRIPLET "${CMAKE_MATCH_1}")
    set(CMAKE_SYSTEM_PROCESSOR "${CMAKE_MATCH_2}")
  endif()
endforeach()
if(NOT VELMO_CROSS_TRIPLET)
  message(FATAL_ERROR "cmake/cross/debian-root.cmake knows no GNU triplet for Debian's ${_velmo_arch}")
endif()
set(CMAKE_SYSTEM_NAME Linux)

# The root's folder, as the script names it, unless given (VELMO_DEBIAN_ROOT_PATH:
# a build inside another root, where it is mounted).
if(VELMO_DEBIAN_ROOT_PATH)
  set(CMAKE_SYSROOT "${VELMO_DEBIAN_ROOT_PATH}")
else()
  execute_process(COMMAND bash "${CMAKE_CURRENT_LIST_DIR}/../../scripts/debian_root.sh" "${VELMO_DEBIAN_ROOT}" --path
                  OUTPUT_VARIABLE CMAKE_SYSROOT OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
if(NOT EXISTS "${CMAKE_SYSROOT}/usr/include/${VELMO_CROSS_TRIPLET}")
  message(FATAL_ERROR "the Debian root ${VELMO_DEBIAN_ROOT} ('${CMAKE_SYSROOT}') is not provisioned: "
                      "run bash scripts/debian_root.sh ${VELMO_DEBIAN_ROOT}")
endif()

if(VELMO_CROSS_CXX)
  set(CMAKE_CXX_COMPILER "${VELMO_CROSS_CXX}")
else()
  set(CMAKE_CXX_COMPILER "${VELMO_CROSS_TRIPLET}-g++")
endif()

# Libraries and headers come from the root only, programs from the host.
set(CMAKE_FIND_ROOT_PATH "${CMAKE_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
