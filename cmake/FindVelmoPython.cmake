# Locates a CPython 3.10 interpreter with its headers and shared library.
#
# Order of preference: -DPython3_EXECUTABLE=..., the PYTHON environment
# variable, a working `python3.10` on PATH (pyenv's shim is on PATH but fails
# when 3.10 is not the selected version, so it is run, not just found), then
# the interpreters that pyenv has installed. The module is built for 3.10 only;
# anything else stops the configuration with a message that says what to do.

# Sets <result> to the interpreter's own path (sys.executable) when <candidate>
# runs and is 3.10, else to "". A pyenv shim resolves to the real binary, so
# the build, CTest and the demo keep working without pyenv's variables.
function(_velmo_python_is_310 candidate result)
  set(${result} "" PARENT_SCOPE)
  if(NOT candidate)
    return()
  endif()
  execute_process(
    COMMAND "${candidate}" -c "import sys; print('%d.%d' % sys.version_info[:2]); print(sys.executable)"
    OUTPUT_VARIABLE _out
    ERROR_QUIET
    RESULT_VARIABLE _rc
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT _rc EQUAL 0)
    return()
  endif()
  string(REPLACE "\n" ";" _lines "${_out}")
  list(LENGTH _lines _n)
  if(_n LESS 1)
    return()
  endif()
  list(GET _lines 0 _version)
  if(NOT _version STREQUAL "3.10")
    return()
  endif()
  set(_path "${candidate}")
  if(_n GREATER 1)
    list(GET _lines 1 _exe)
    if(_exe AND EXISTS "${_exe}")
      set(_path "${_exe}")
    endif()
  endif()
  set(${result} "${_path}" PARENT_SCOPE)
endfunction()

set(_velmo_candidates)
if(Python3_EXECUTABLE)
  list(APPEND _velmo_candidates "${Python3_EXECUTABLE}")
  set(_velmo_explicit "${Python3_EXECUTABLE}")
elseif(DEFINED ENV{PYTHON} AND NOT "$ENV{PYTHON}" STREQUAL "")
  list(APPEND _velmo_candidates "$ENV{PYTHON}")
  set(_velmo_explicit "$ENV{PYTHON}")
else()
  # Searched afresh on every configure (NO_CACHE needs CMake 3.21; the
  # project asks only for 3.18).
  unset(_velmo_on_path CACHE)
  find_program(_velmo_on_path NAMES python3.10)
  if(_velmo_on_path)
    list(APPEND _velmo_candidates "${_velmo_on_path}")
  endif()
  unset(_velmo_on_path CACHE)
  set(_velmo_pyenv_roots)
  if(DEFINED ENV{PYENV_ROOT})
    list(APPEND _velmo_pyenv_roots "$ENV{PYENV_ROOT}")
  endif()
  if(DEFINED ENV{HOME})
    list(APPEND _velmo_pyenv_roots "$ENV{HOME}/.pyenv")
  endif()
  foreach(_root IN LISTS _velmo_pyenv_roots)
    file(GLOB _found "${_root}/versions/3.10*/bin/python3.10")
    # Newest patch release first.
    list(SORT _found COMPARE NATURAL ORDER DESCENDING)
    list(APPEND _velmo_candidates ${_found})
  endforeach()
endif()

set(_velmo_python "")
foreach(_candidate IN LISTS _velmo_candidates)
  _velmo_python_is_310("${_candidate}" _resolved)
  if(_resolved)
    set(_velmo_python "${_resolved}")
    break()
  endif()
endforeach()

if(NOT _velmo_python)
  if(_velmo_explicit)
    message(FATAL_ERROR
      "velmo needs CPython 3.10, but '${_velmo_explicit}' is not a working "
      "Python 3.10 interpreter. Point -DPython3_EXECUTABLE (or PYTHON) at one.")
  endif()
  message(FATAL_ERROR
    "velmo needs CPython 3.10 with its headers and shared library, and none was "
    "found: no working python3.10 on PATH and none under pyenv's versions. "
    "Install one (for example `pyenv install 3.10.13`) or pass "
    "-DPython3_EXECUTABLE=/path/to/python3.10.")
endif()

set(Python3_EXECUTABLE "${_velmo_python}" CACHE FILEPATH "CPython 3.10 interpreter" FORCE)
find_package(Python3 3.10 EXACT REQUIRED COMPONENTS Interpreter Development.Module Development.Embed)
message(STATUS "velmo: building for ${Python3_EXECUTABLE} (${Python3_VERSION})")
