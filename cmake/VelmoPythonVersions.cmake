# The supported CPython versions, oldest first, from the project's one list
# of them (python_versions.txt), and the texts every message names them by.
# The interpreter search (FindVelmoPython.cmake) and the cross builds
# (windows/VelmoCrossPython.cmake, cross/VelmoDebianPython.cmake) read them here, and
# the tests' type check targets VELMO_OLDEST_PYTHON.

file(STRINGS "${CMAKE_CURRENT_LIST_DIR}/../python_versions.txt" _velmo_supported_versions
     REGEX "^[0-9]+\\.[0-9]+$")
list(GET _velmo_supported_versions 0 VELMO_OLDEST_PYTHON)
list(GET _velmo_supported_versions -1 _velmo_newest_version)
set(_velmo_list_but_last ${_velmo_supported_versions})
list(REMOVE_AT _velmo_list_but_last -1)
list(JOIN _velmo_list_but_last ", " _velmo_list_but_last)
if(_velmo_list_but_last)
  set(VELMO_SUPPORTED_PYTHONS "CPython ${_velmo_list_but_last} and ${_velmo_newest_version}")
  set(_velmo_any_supported "CPython ${_velmo_list_but_last} or ${_velmo_newest_version}")
else()
  set(VELMO_SUPPORTED_PYTHONS "CPython ${_velmo_newest_version}")
  set(_velmo_any_supported "${VELMO_SUPPORTED_PYTHONS}")
endif()

# Sets Python3_VERSION and its parts from the patchlevel.h in <headers>, for
# a cross build, which cannot ask the interpreter.
macro(velmo_version_from_headers headers)
  file(STRINGS "${headers}/patchlevel.h" _velmo_patchlevel
       REGEX "^#define[ \t]+PY_(MAJOR|MINOR|MICRO)_VERSION[ \t]+[0-9]+")
  foreach(_part MAJOR MINOR MICRO)
    string(REGEX MATCH "PY_${_part}_VERSION[ \t]+([0-9]+)" _ "${_velmo_patchlevel}")
    set(Python3_VERSION_${_part} "${CMAKE_MATCH_1}")
  endforeach()
  set(Python3_VERSION "${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}.${Python3_VERSION_MICRO}")
endmacro()

# Sets <out> to <version> as the number the sources compare it by:
# (major << 8) | minor.
function(_velmo_version_number version out)
  string(REPLACE "." ";" _parts "${version}")
  list(GET _parts 0 _major)
  list(GET _parts 1 _minor)
  math(EXPR _number "(${_major} << 8) | ${_minor}" OUTPUT_FORMAT HEXADECIMAL)
  set(${out} "${_number}" PARENT_SCOPE)
endfunction()

# Gives the sources the supported range, for the compile-time refusal in
# module/version_check.cpp that backs up the configure-time one: the oldest
# and the newest version, as numbers, and the text that names them.
macro(velmo_define_supported_versions)
  _velmo_version_number(${VELMO_OLDEST_PYTHON} _velmo_oldest_number)
  _velmo_version_number(${_velmo_newest_version} _velmo_newest_number)
  add_compile_definitions(VELMO_PYTHON_OLDEST=${_velmo_oldest_number}
                          VELMO_PYTHON_NEWEST=${_velmo_newest_number}
                          "VELMO_SUPPORTED_PYTHONS=\"${VELMO_SUPPORTED_PYTHONS}\"")
endmacro()
