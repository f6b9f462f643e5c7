# Fails when a layer includes a header of a layer above it, or of its
# sibling: common/ includes nothing of velmo's, function_type/ and traceback/
# include only common/ and themselves, module/ may include everything.
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

if(_violations)
  message(FATAL_ERROR "layer includes point the wrong way:${_violations}")
endif()
message(STATUS "layer includes: every layer includes only itself and what lies below it")
