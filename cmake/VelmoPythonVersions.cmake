# The supported CPython versions, oldest first, from the project's one list
# of them (python_versions.txt), and the texts every message names them by.
# Both the interpreter search (FindVelmoPython.cmake) and the Windows cross
# build (windows/VelmoCrossPython.cmake) read them here.

file(STRINGS "${CMAKE_CURRENT_LIST_DIR}/../python_versions.txt" _velmo_supported_versions
     REGEX "^[0-9]+\\.[0-9]+$")
list(GET _velmo_supported_versions 0 _velmo_oldest_version)
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

# Sets <out> to PY_VERSION_HEX of the first release of <version>'s minor
# version plus <minor_offset>.
function(_velmo_version_hex version minor_offset out)
  string(REPLACE "." ";" _parts "${version}")
  list(GET _parts 0 _major)
  list(GET _parts 1 _minor)
  math(EXPR _hex "(${_major} << 24) | ((${_minor} + ${minor_offset}) << 16)" OUTPUT_FORMAT HEXADECIMAL)
  set(${out} "${_hex}" PARENT_SCOPE)
endfunction()

# Gives the sources the supported range as numbers, for common/python_compat.h,
# whose compile-time refusal backs up the configure-time one: PY_VERSION_HEX
# of the oldest version's first release and of the first version past the
# newest.
macro(velmo_define_supported_versions)
  _velmo_version_hex(${_velmo_oldest_version} 0 _velmo_oldest_hex)
  _velmo_version_hex(${_velmo_newest_version} 1 _velmo_past_hex)
  add_compile_definitions(VELMO_PYTHON_OLDEST_HEX=${_velmo_oldest_hex}
                          VELMO_PYTHON_PAST_NEWEST_HEX=${_velmo_past_hex}
                          "VELMO_SUPPORTED_PYTHONS=\"${VELMO_SUPPORTED_PYTHONS}\"")
endmacro()

