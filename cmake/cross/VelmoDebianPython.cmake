# Takes the place of FindVelmoPython.cmake when velmo is cross-compiled for
# another Linux machine against a Debian root (cmake/cross/debian-root.cmake):
# the interpreter is the root's python3.X (VELMO_CROSS_PYTHON_VERSION), which
# cannot run here to be asked, so its headers and its build configuration
# (the _sysconfigdata module, which names the extension suffix) are read from
# the root. It provides what the rest of the build uses of FindPython:
# Python3::Module, Python3_add_library, Python3_EXECUTABLE (the interpreter's
# path inside the root, for the tests that run there) and Python3_VERSION with
# its parts.

set(VELMO_CROSS_PYTHON_VERSION "" CACHE STRING "The CPython version (3.X) of the Debian root to build for")
include("${CMAKE_CURRENT_LIST_DIR}/../VelmoPythonVersions.cmake")
if(NOT VELMO_CROSS_PYTHON_VERSION IN_LIST _velmo_supported_versions)
  message(FATAL_ERROR "velmo's cross build needs -DVELMO_CROSS_PYTHON_VERSION=3.X, one of ${VELMO_SUPPORTED_PYTHONS} "
                      "(not '${VELMO_CROSS_PYTHON_VERSION}')")
endif()
set(_velmo_v "${VELMO_CROSS_PYTHON_VERSION}")
set(_velmo_headers "${CMAKE_SYSROOT}/usr/include/python${_velmo_v}")
file(GLOB _velmo_sysconfig "${CMAKE_SYSROOT}/usr/lib/python${_velmo_v}/_sysconfigdata__linux_*.py")
if(NOT EXISTS "${_velmo_headers}/Python.h" OR NOT _velmo_sysconfig)
  message(FATAL_ERROR "the Debian root ${VELMO_DEBIAN_ROOT} has no CPython ${_velmo_v} with its headers "
                      "(python${_velmo_v}-dev): run bash scripts/debian_root.sh ${VELMO_DEBIAN_ROOT}")
endif()

velmo_version_from_headers("${_velmo_headers}")
velmo_define_supported_versions()

# What the interpreter accepts as an extension module's file name, and whether
# it is the standard build.
list(GET _velmo_sysconfig 0 _velmo_sysconfig)
file(READ "${_velmo_sysconfig}" _velmo_config)
if(NOT _velmo_config MATCHES "'EXT_SUFFIX': '([^']+)'")
  message(FATAL_ERROR "no EXT_SUFFIX in ${_velmo_sysconfig}")
endif()
set(VELMO_CROSS_EXT_SUFFIX "${CMAKE_MATCH_1}")
if(_velmo_config MATCHES "'Py_GIL_DISABLED': 1")
  message(FATAL_ERROR "${_velmo_sysconfig} is a free-threaded build's; velmo needs the standard build with the GIL")
endif()
set(Python3_EXECUTABLE "/usr/bin/python${_velmo_v}" CACHE FILEPATH "The interpreter, inside the Debian root" FORCE)
message(STATUS "velmo: cross-compiling for CPython ${Python3_VERSION} on ${CMAKE_SYSTEM_PROCESSOR} "
               "(${VELMO_DEBIAN_ROOT}, modules named *${VELMO_CROSS_EXT_SUFFIX})")

# Debian's Python.h includes <pyconfig.h>, which for a multiarch build finds
# the architecture's own through the compiler's multiarch include folder.
add_library(Python3::Module INTERFACE IMPORTED)
set_target_properties(Python3::Module PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${_velmo_headers}")

# FindPython's Python3_add_library for this build: an ELF module named
# <name><EXT_SUFFIX>, which leaves the interpreter's symbols to be resolved
# when it is loaded, as a module built natively does.
function(Python3_add_library name type)
  cmake_parse_arguments(PARSE_ARGV 2 arg "WITH_SOABI" "" "")
  if(NOT type STREQUAL "MODULE")
    message(FATAL_ERROR "the cross build makes modules only (${name})")
  endif()
  add_library(${name} MODULE ${arg_UNPARSED_ARGUMENTS})
  set_target_properties(${name} PROPERTIES PREFIX "" SUFFIX "${VELMO_CROSS_EXT_SUFFIX}")
endfunction()
