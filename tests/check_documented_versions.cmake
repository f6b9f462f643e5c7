# Keeps python_versions.txt the one statement of the supported versions, so
# that adding or dropping a version changes no document: README refers to the
# list (and to machines.txt, the one statement of the machines), and no
# document (README, CONTRIBUTING, DESCRIPTION, docs/) states a set of its
# own, as "CPython 3.X to 3.Y" or "CPython 3.X, 3.Y and 3.Z", which would go
# stale with the list. (CHANGELOG's entries say what each
# release supported, and stay as written.)
# Usage: cmake -DSOURCE_DIR=<repository root> -P check_documented_versions.cmake
set(_problems "")

file(READ "${SOURCE_DIR}/README.md" _readme)
string(REGEX REPLACE "[ \t\r\n]+" " " _readme "${_readme}")
foreach(_reference "The CPython versions that [`python_versions.txt`](python_versions.txt) lists"
                   "The machines that [`machines.txt`](machines.txt) lists")
  string(FIND "${_readme}" "${_reference}" _at)
  if(_at EQUAL -1)
    string(APPEND _problems "\n  README.md: no sentence \"${_reference}\"")
  endif()
endforeach()

file(GLOB _documents "${SOURCE_DIR}/docs/*.md")
foreach(_document README.md CONTRIBUTING.md DESCRIPTION.md ${_documents})
  if(NOT IS_ABSOLUTE "${_document}")
    set(_document "${SOURCE_DIR}/${_document}")
  endif()
  file(READ "${_document}" _text)
  string(REGEX REPLACE "[ \t\r\n]+" " " _text "${_text}")
  string(REGEX MATCHALL "CPython 3\\.[0-9]+ to 3\\.[0-9]+|CPython 3\\.[0-9]+(, 3\\.[0-9]+)*,? and 3\\.[0-9]+"
         _sets "${_text}")
  if(_sets)
    file(RELATIVE_PATH _name "${SOURCE_DIR}" "${_document}")
    string(APPEND _problems "\n  ${_name} names the supported versions itself: ${_sets}")
  endif()
endforeach()

if(_problems)
  message(FATAL_ERROR "python_versions.txt is not the one list of the supported versions:${_problems}")
endif()
