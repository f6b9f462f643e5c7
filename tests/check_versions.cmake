# Fails when README's account of the supported versions is not the list in
# python_versions.txt: the sentence that names them and the header of the
# table of differences, a column per version.
# Usage: cmake -DSOURCE_DIR=<repository root> -P check_versions.cmake
file(STRINGS "${SOURCE_DIR}/python_versions.txt" _versions REGEX "^[0-9]+\\.[0-9]+$")
file(READ "${SOURCE_DIR}/README.md" _readme)

set(_problems "")
set(_but_last ${_versions})
list(POP_BACK _but_last _newest)
list(JOIN _but_last ", " _but_last)
set(_sentence "CPython ${_but_last} and ${_newest} in their standard builds")
string(FIND "${_readme}" "${_sentence}" _at)
if(_at EQUAL -1)
  string(APPEND _problems "\n  no sentence \"${_sentence}\"")
endif()
list(JOIN _versions " | " _columns)
set(_header "| what | ${_columns} |")
string(FIND "${_readme}" "\n${_header}\n" _at)
if(_at EQUAL -1)
  string(APPEND _problems "\n  no table header \"${_header}\"")
endif()
if(_problems)
  message(FATAL_ERROR "README.md does not follow python_versions.txt:${_problems}")
endif()
