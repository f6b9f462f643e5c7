# Fails when a layer includes a header of a layer above it, or of its
# sibling: common/ includes nothing of velmo's, function_type/ and traceback/
# include only common/ and themselves, module/ may include everything.
# Also fails when a source other than common/python_compat.h includes
# Python.h or tests PY_VERSION_HEX, or reads a field of the thread state.
# Usage: cmake -DSOURCE_DIR=<repository root> -P check_layers.cmake
cmake_policy(SET CMP0057 NEW)
set(_allowed_common "common")
set(_allowed_function_type "common;function_type")
set(_allowed_traceback "common;traceback")

set(_violations "")
foreach(_layer common function_type traceback)
  file(GLOB _files "${SOURCE_DIR}/${_layer}/*.h" "${SOURCE_DIR}/${_layer}/*.cpp")
  foreach(_file IN LISTS _files)
    file(STRINGS "${_file}" _includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"[^\"]+\"")
    foreach(_line IN LISTS _includes)
      string(REGEX REPLACE "^[^\"]*\"([^\"]+)\".*$" "\\1" _header "${_line}")
      # Project headers are named from the root ("<layer>/<file>"); a bare
      # name must be a header of the same folder.
      if(_header MATCHES "/")
        string(REGEX REPLACE "/.*$" "" _target_layer "${_header}")
      elseif(EXISTS "${SOURCE_DIR}/${_layer}/${_header}")
        set(_target_layer "${_layer}")
      else()
        set(_target_layer "?")
      endif()
      if(NOT _target_layer IN_LIST _allowed_${_layer})
        file(RELATIVE_PATH _rel "${SOURCE_DIR}" "${_file}")
        string(APPEND _violations "\n  ${_rel} includes \"${_header}\"")
      endif()
    endforeach()
  endforeach()
endforeach()

# Inside module/, the state and the failure-site table sit below the module's
# entry points: they never include module/module.h, so that the state can be
# built and tested without the function it serves.
foreach(_file module_state.h module_state.cpp failure_sites.h)
  file(STRINGS "${SOURCE_DIR}/module/${_file}" _includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"(module/)?module\\.h\"")
  if(_includes)
    string(APPEND _violations "\n  module/${_file} includes \"module/module.h\"")
  endif()
endforeach()

if(_violations)
  message(FATAL_ERROR "layer includes point the wrong way:${_violations}")
endif()
message(STATUS "layer includes: every layer includes only itself and what lies below it")

# Every version difference lives in common/python_compat.h, which is also the
# one file that includes Python.h: everything else includes it instead, so
# that its backports are seen everywhere, and tests no version itself.
set(_stray "")
set(_private "")
file(GLOB_RECURSE _all_sources "${SOURCE_DIR}/common/*.h" "${SOURCE_DIR}/common/*.cpp"
     "${SOURCE_DIR}/function_type/*.h" "${SOURCE_DIR}/function_type/*.cpp"
     "${SOURCE_DIR}/traceback/*.h" "${SOURCE_DIR}/traceback/*.cpp"
     "${SOURCE_DIR}/module/*.h" "${SOURCE_DIR}/module/*.cpp"
     "${SOURCE_DIR}/tests/*.h" "${SOURCE_DIR}/tests/*.cpp"
     "${SOURCE_DIR}/bench/*.h" "${SOURCE_DIR}/bench/*.cpp")
list(REMOVE_DUPLICATES _all_sources)
foreach(_file IN LISTS _all_sources)
  if(_file STREQUAL "${SOURCE_DIR}/common/python_compat.h")
    continue()
  endif()
  file(RELATIVE_PATH _rel "${SOURCE_DIR}" "${_file}")
  file(STRINGS "${_file}" _version_tests REGEX "PY_VERSION_HEX")
  if(_version_tests)
    string(APPEND _stray "\n  ${_rel} tests PY_VERSION_HEX")
  endif()
  file(STRINGS "${_file}" _python_includes REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]Python\\.h[>\"]")
  if(_python_includes)
    string(APPEND _stray "\n  ${_rel} includes Python.h instead of common/python_compat.h")
  endif()
  # The thread state's fields are the interpreter's own and change between
  # versions; public calls read what the tree needs (PyInterpreterState_Get).
  file(STRINGS "${_file}" _thread_state_reads REGEX "(PyThreadState_Get\\(\\)|PyThreadState_GET\\(\\)|tstate)->")
  if(_thread_state_reads)
    string(APPEND _private "\n  ${_rel} reads a field of the thread state")
  endif()
endforeach()
if(_stray)
  message(FATAL_ERROR "version differences outside common/python_compat.h:${_stray}")
endif()
if(_private)
  message(FATAL_ERROR "private fields read:${_private}")
endif()
message(STATUS "versions: only common/python_compat.h includes Python.h and tests PY_VERSION_HEX")
