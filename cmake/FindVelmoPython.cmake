# Locates a CPython interpreter of a version that python_versions.txt lists
# (the standard build, with the GIL) with its headers. The module needs
# nothing else: no shared libpython, which static builds (pyenv's default,
# the manylinux images) lack. The embedding library, which only the C++ tests
# and the benchmark program link, is looked for too; without it
# (Python3::Python absent) they are left out.
#
# Order of preference: -DPython3_EXECUTABLE=..., the PYTHON environment
# variable, the python of an activated virtual environment (VIRTUAL_ENV),
# and otherwise each supported version in turn, oldest first: a
# working `python3.X` on PATH (pyenv's shim is on PATH but fails when 3.X is
# not a selected version, so it is run, not just found), then the
# interpreters of that version that pyenv has installed. Anything else, a
# free-threaded build included, stops the configuration with a message that
# says what was found and what to pass.
#
# Run as a script, the same search answers without configuring anything:
#   cmake [-DVELMO_PYTHON_VERSION=3.11] -P cmake/FindVelmoPython.cmake
# prints "<major.minor> <interpreter>" for the interpreter a configuration
# would pick (restricted to one version when asked), or nothing when that
# version is not installed. scripts/test.sh uses it to find every version.

if(CMAKE_SCRIPT_MODE_FILE)
  cmake_minimum_required(VERSION 3.18)  # the project's policies, IN_LIST among them
endif()

include("${CMAKE_CURRENT_LIST_DIR}/VelmoPythonVersions.cmake")

# Sets <out_path> to the interpreter's own path (sys.executable) when
# <candidate> runs and is a supported, usable build; else to "" and
# <out_problem> to what is wrong with it. <out_version> gets its major.minor
# whenever it runs. A pyenv shim resolves to the real binary, so the build,
# CTest and the demo keep working without pyenv's variables.
function(_velmo_probe_python candidate out_version out_path out_problem)
  set(${out_version} "" PARENT_SCOPE)
  set(${out_path} "" PARENT_SCOPE)
  set(${out_problem} "is not a working Python interpreter" PARENT_SCOPE)
  if(NOT candidate)
    return()
  endif()
  # Kept to syntax that any Python parses, so that a too-old interpreter
  # reports its version instead of a syntax error.
  set(_probe [=[
import os, sys, sysconfig
v = sysconfig.get_config_var
include = sysconfig.get_paths()["include"]
print("%d.%d" % sys.version_info[:2])
print(sys.executable)
print(int(bool(v("Py_GIL_DISABLED"))))
print(int(os.path.exists(os.path.join(include, "Python.h"))))
]=])
  execute_process(
    COMMAND "${candidate}" -c "${_probe}"
    OUTPUT_VARIABLE _out
    ERROR_QUIET
    RESULT_VARIABLE _rc
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT _rc EQUAL 0)
    return()
  endif()
  string(REPLACE "\n" ";" _lines "${_out}")
  list(LENGTH _lines _n)
  if(NOT _n EQUAL 4)
    return()
  endif()
  list(GET _lines 0 _version)
  list(GET _lines 1 _exe)
  list(GET _lines 2 _free_threaded)
  list(GET _lines 3 _has_headers)
  set(${out_version} "${_version}" PARENT_SCOPE)
  if(NOT _version IN_LIST _velmo_supported_versions)
    set(${out_problem} "is Python ${_version}; velmo supports ${VELMO_SUPPORTED_PYTHONS}" PARENT_SCOPE)
    return()
  endif()
  if(_free_threaded)
    # The shared function type's record and the module's process-wide state
    # rely on the GIL; the free-threaded object layout differs as well.
    set(${out_problem}
        "is a free-threaded build of Python ${_version} (Py_GIL_DISABLED); velmo needs the standard build with the GIL"
        PARENT_SCOPE)
    return()
  endif()
  if(NOT _has_headers)
    set(${out_problem} "is Python ${_version} without its headers (Python.h)" PARENT_SCOPE)
    return()
  endif()
  set(_path "${candidate}")
  if(_exe AND EXISTS "${_exe}")
    set(_path "${_exe}")
  endif()
  set(${out_path} "${_path}" PARENT_SCOPE)
endfunction()

# Appends to <out_list> the places where an interpreter of <version> may be,
# in order of preference.
function(_velmo_candidates_for version out_list)
  set(_candidates)
  # Searched afresh on every call (NO_CACHE needs CMake 3.21; the project
  # asks only for 3.18).
  unset(_velmo_on_path CACHE)
  find_program(_velmo_on_path NAMES python${version})
  if(_velmo_on_path)
    list(APPEND _candidates "${_velmo_on_path}")
  endif()
  unset(_velmo_on_path CACHE)
  set(_roots)
  if(DEFINED ENV{PYENV_ROOT})
    list(APPEND _roots "$ENV{PYENV_ROOT}")
  endif()
  if(DEFINED ENV{HOME})
    list(APPEND _roots "$ENV{HOME}/.pyenv")
  endif()
  foreach(_root IN LISTS _roots)
    file(GLOB _found "${_root}/versions/${version}*/bin/python${version}")
    # Newest patch release first.
    list(SORT _found COMPARE NATURAL ORDER DESCENDING)
    list(APPEND _candidates ${_found})
  endforeach()
  set(${out_list} "${_candidates}" PARENT_SCOPE)
endfunction()

# Sets <out_version> and <out_path> to the interpreter to build for, searching
# <versions> in order, or both to "" when none was found. An explicitly named
# interpreter that cannot be used is a fatal error.
# Hands the probed `_version` and `_path` to the caller of
# _velmo_find_python and returns from it (a macro, so that it runs in that
# function's scope).
macro(_velmo_found)
  set(${out_version} "${_version}" PARENT_SCOPE)
  set(${out_path} "${_path}" PARENT_SCOPE)
  return()
endmacro()

function(_velmo_find_python versions out_version out_path)
  set(${out_version} "" PARENT_SCOPE)
  set(${out_path} "" PARENT_SCOPE)
  set(_explicit "")
  if(Python3_EXECUTABLE)
    set(_explicit "${Python3_EXECUTABLE}")
  elseif(DEFINED ENV{PYTHON} AND NOT "$ENV{PYTHON}" STREQUAL "")
    set(_explicit "$ENV{PYTHON}")
  endif()
  if(_explicit)
    _velmo_probe_python("${_explicit}" _version _path _problem)
    if(NOT _path)
      message(FATAL_ERROR
        "velmo cannot be built for '${_explicit}': it ${_problem}. Point "
        "-DPython3_EXECUTABLE (or PYTHON) at a ${_velmo_any_supported} "
        "with its headers.")
    endif()
    _velmo_found()
  endif()
  # An activated virtual environment is where its user means velmo to go.
  # When the search asks for one version only (scripts/test.sh), a venv of
  # another version is passed over.
  if(NOT "$ENV{VIRTUAL_ENV}" STREQUAL "")
    _velmo_probe_python("$ENV{VIRTUAL_ENV}/bin/python" _version _path _problem)
    if(_path AND _version IN_LIST versions)
      _velmo_found()
    endif()
    list(LENGTH versions _wanted_count)
    if(_wanted_count GREATER 1)
      message(FATAL_ERROR
        "velmo cannot be built for the activated virtual environment $ENV{VIRTUAL_ENV}: "
        "its python ${_problem}. Deactivate it or pass -DPython3_EXECUTABLE=/path/to/python3.X.")
    endif()
  endif()
  foreach(_wanted IN LISTS versions)
    _velmo_candidates_for(${_wanted} _candidates)
    foreach(_candidate IN LISTS _candidates)
      _velmo_probe_python("${_candidate}" _version _path _problem)
      # A python3.X that reports another version (a misnamed link) is skipped.
      if(_path AND _version STREQUAL _wanted)
        _velmo_found()
      endif()
    endforeach()
  endforeach()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE)
  if(VELMO_PYTHON_VERSION)
    set(_velmo_search "${VELMO_PYTHON_VERSION}")
  else()
    set(_velmo_search ${_velmo_supported_versions})
  endif()
  _velmo_find_python("${_velmo_search}" _velmo_version _velmo_python)
  if(_velmo_python)
    execute_process(COMMAND "${CMAKE_COMMAND}" -E echo "${_velmo_version} ${_velmo_python}")
  endif()
  return()
endif()

_velmo_find_python("${_velmo_supported_versions}" _velmo_version _velmo_python)
if(NOT _velmo_python)
  message(FATAL_ERROR
    "velmo needs ${_velmo_any_supported} (the standard build, not a "
    "free-threaded one) with its headers, and none was found: "
    "no working python${VELMO_OLDEST_PYTHON} to python${_velmo_newest_version} on PATH "
    "and none under pyenv's versions. "
    "Install one (for example `pyenv install ${_velmo_newest_version}`) or pass "
    "-DPython3_EXECUTABLE=/path/to/python3.X.")
endif()

velmo_define_supported_versions()

set(Python3_EXECUTABLE "${_velmo_python}" CACHE FILEPATH "CPython interpreter (${VELMO_OLDEST_PYTHON} to ${_velmo_newest_version})" FORCE)
find_package(Python3 ${_velmo_version} EXACT REQUIRED COMPONENTS Interpreter Development.Module
             OPTIONAL_COMPONENTS Development.Embed)

# Runs `code` under the interpreter found and sets `out_list` to the lines it
# prints; stops the configuration, saying what was asked, when it fails.
function(velmo_ask_python out_list what code)
  execute_process(
    COMMAND "${Python3_EXECUTABLE}" -c "${code}"
    OUTPUT_VARIABLE answer
    RESULT_VARIABLE failed
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT failed EQUAL 0)
    message(FATAL_ERROR "velmo: cannot ask ${Python3_EXECUTABLE} ${what}")
  endif()
  string(REPLACE "\n" ";" answer "${answer}")
  set(${out_list} "${answer}" PARENT_SCOPE)
endfunction()

# A debug interpreter (Py_DEBUG) keeps reference totals and checks objects in
# the inline API that extensions compile into themselves, so a build for one
# is a debug build, whatever its headers would say. Debian's debug include
# folder links each header into the release folder but keeps a pyconfig.h of
# its own, and GCC resolves a system header's links before it looks beside
# it for "pyconfig.h": it would find the release configuration. So Py_DEBUG
# is defined for every target, and the interpreter's own configuration header
# is read first, whose include guard keeps the release one out.
# VELMO_PYTHON_DEBUG tells common/python_compat.h what the interpreter is, so
# that a compile whose headers disagree stops there.
velmo_ask_python(_velmo_debug_probe "whether it is a debug build"
  "import sysconfig; print(int(bool(sysconfig.get_config_var('Py_DEBUG')))); print(sysconfig.get_config_h_filename())")
list(GET _velmo_debug_probe 0 VELMO_PYTHON_DEBUG)
list(GET _velmo_debug_probe 1 _velmo_config_h)
if(VELMO_PYTHON_DEBUG)
  add_compile_definitions(Py_DEBUG VELMO_PYTHON_DEBUG)
  if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang" AND EXISTS "${_velmo_config_h}")
    add_compile_options("SHELL:-include \"${_velmo_config_h}\"")
  endif()
  message(STATUS "velmo: building for ${Python3_EXECUTABLE} (${Python3_VERSION}, a debug build)")
else()
  message(STATUS "velmo: building for ${Python3_EXECUTABLE} (${Python3_VERSION})")
endif()
