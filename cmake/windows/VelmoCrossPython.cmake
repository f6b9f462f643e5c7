# Takes the place of FindVelmoPython.cmake when velmo is cross-compiled for
# 64-bit Windows (cmake/windows/mingw-w64-x86_64.cmake): no interpreter of the
# target can run here to be asked, so the build is given the headers of the
# CPython to build for (VELMO_WINDOWS_PYTHON_INCLUDE_DIR: any installation's
# include/python3.X folder; only pyconfig.h is platform-specific, and it is
# replaced) and works out the rest from them. It provides what the rest of
# the build uses of FindPython: Python3::Module, Python3_add_library and
# Python3_VERSION with its parts.

if(NOT (WIN32 AND MINGW AND CMAKE_SIZEOF_VOID_P EQUAL 8))
  message(FATAL_ERROR
    "velmo cross-compiles for 64-bit Windows with MinGW-w64 only: configure with "
    "-DCMAKE_TOOLCHAIN_FILE=cmake/windows/mingw-w64-x86_64.cmake (scripts/build_windows.sh does)")
endif()

set(VELMO_WINDOWS_PYTHON_INCLUDE_DIR "" CACHE PATH
    "The headers (the folder of Python.h) of the CPython that the Windows module is built for")
set(_velmo_headers "${VELMO_WINDOWS_PYTHON_INCLUDE_DIR}")
if(NOT EXISTS "${_velmo_headers}/Python.h" OR NOT EXISTS "${_velmo_headers}/patchlevel.h")
  message(FATAL_ERROR
    "velmo's Windows build needs the interpreter's headers: pass "
    "-DVELMO_WINDOWS_PYTHON_INCLUDE_DIR=<folder holding Python.h> "
    "(not found in '${_velmo_headers}')")
endif()

include("${CMAKE_CURRENT_LIST_DIR}/../VelmoPythonVersions.cmake")
velmo_version_from_headers("${_velmo_headers}")
if(NOT "${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}" IN_LIST _velmo_supported_versions)
  message(FATAL_ERROR
    "velmo cannot be built for the headers in '${_velmo_headers}': they are Python "
    "${Python3_VERSION}; velmo supports ${VELMO_SUPPORTED_PYTHONS}")
endif()
velmo_define_supported_versions()
# What python.org's Windows installer names the interpreter's DLL and what
# the interpreter accepts as an extension module's file name.
set(VELMO_PYTHON_DLL "python${Python3_VERSION_MAJOR}${Python3_VERSION_MINOR}.dll")
set(VELMO_WINDOWS_EXT_SUFFIX ".cp${Python3_VERSION_MAJOR}${Python3_VERSION_MINOR}-win_amd64.pyd")
message(STATUS "velmo: cross-compiling for CPython ${Python3_VERSION} on Windows x64 "
               "(headers from ${_velmo_headers})")

# The headers include "pyconfig.h" from their own folder before any other, so
# they are copied and the copy gets the Windows configuration. A copy made from
# another folder is made afresh.
set(_velmo_include "${CMAKE_BINARY_DIR}/windows-python/include")
if(NOT "${_velmo_headers}" STREQUAL "${_VELMO_WINDOWS_HEADERS_COPIED}")
  file(REMOVE_RECURSE "${_velmo_include}")
  set(_VELMO_WINDOWS_HEADERS_COPIED "${_velmo_headers}" CACHE INTERNAL "")
endif()
file(COPY "${_velmo_headers}/" DESTINATION "${_velmo_include}")
configure_file("${CMAKE_CURRENT_LIST_DIR}/pyconfig.h" "${_velmo_include}/pyconfig.h" COPYONLY)

add_library(Python3::Module INTERFACE IMPORTED)
set_target_properties(Python3::Module PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${_velmo_include}")

# nm and dlltool make the import library below, objdump inspects the module.
foreach(_tool CMAKE_NM CMAKE_DLLTOOL CMAKE_OBJDUMP)
  if(NOT ${_tool})
    message(FATAL_ERROR "velmo's Windows build needs the MinGW-w64 binutils (${_tool} not found): "
                        "install binutils-mingw-w64-x86-64")
  endif()
endforeach()

# FindPython's Python3_add_library for this build: a module named
# <name>.cp3XX-win_amd64.pyd, made from object libraries' objects
# ($<TARGET_OBJECTS:...>). It links against an import library of the
# interpreter's DLL: an installation on Windows has one (libs/python3XX.lib),
# but none is to be had here, so each module gets its own, made from what its
# objects import from the interpreter (cmake/windows/python_import_library.cmake).
function(Python3_add_library name type)
  cmake_parse_arguments(PARSE_ARGV 2 arg "WITH_SOABI" "" "")
  set(objects ${arg_UNPARSED_ARGUMENTS})
  list(FILTER objects EXCLUDE REGEX "^\\$<TARGET_OBJECTS:[^>]+>$")
  if(NOT type STREQUAL "MODULE" OR objects)
    message(FATAL_ERROR "the Windows cross build makes modules from object libraries only (${name})")
  endif()
  # The object libraries by name too, so that they are built first.
  string(REGEX REPLACE "\\$<TARGET_OBJECTS:([^>]+)>" "\\1" libraries "${arg_UNPARSED_ARGUMENTS}")
  set(imports "${CMAKE_CURRENT_BINARY_DIR}/${name}-imports")
  set(library "${imports}/lib${VELMO_PYTHON_DLL}.a")
  add_custom_command(OUTPUT "${library}"
    COMMAND "${CMAKE_COMMAND}" "-DNM=${CMAKE_NM}" "-DDLLTOOL=${CMAKE_DLLTOOL}" "-DDLL=${VELMO_PYTHON_DLL}"
            "-DOUTPUT=${library}" -P "${PROJECT_SOURCE_DIR}/cmake/windows/python_import_library.cmake"
            -- ${arg_UNPARSED_ARGUMENTS}
    DEPENDS ${libraries} ${arg_UNPARSED_ARGUMENTS} "${PROJECT_SOURCE_DIR}/cmake/windows/python_import_library.cmake"
    COMMENT "Making the import library of ${VELMO_PYTHON_DLL} for ${name}"
    COMMAND_EXPAND_LISTS VERBATIM)
  add_custom_target(${name}_python_imports DEPENDS "${library}")

  add_library(${name} MODULE ${arg_UNPARSED_ARGUMENTS})
  add_dependencies(${name} ${name}_python_imports)
  target_link_libraries(${name} PRIVATE "${library}")
  set_target_properties(${name} PROPERTIES PREFIX "" SUFFIX "${VELMO_WINDOWS_EXT_SUFFIX}")
endfunction()

# Benchmarks and the test suites run the module, which cannot be done here;
# tests/CMakeLists.txt keeps only the inspection of the built module.
set(VELMO_BUILD_BENCHMARKS OFF CACHE BOOL "Build the benchmarks (not in a cross build)" FORCE)
