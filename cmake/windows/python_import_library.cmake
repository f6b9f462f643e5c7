# Makes OUTPUT, an import library of the interpreter's DLL (DLL, e.g.
# python312.dll) that provides exactly the symbols the objects named after
# `--` import from it:
#   cmake -DNM=... -DDLLTOOL=... -DDLL=... -DOUTPUT=... -P python_import_library.cmake -- <objects>
# The objects are compiled against the Windows pyconfig.h, so every reference
# to the C API goes through its __imp_ pointer; link-time-optimised objects
# list the same references by their plain names. Both are taken: everything
# undefined that is named Py* or _Py* (velmo's own names are C++-mangled).
cmake_minimum_required(VERSION 3.18)

set(objects)
set(after_separator OFF)
foreach(i RANGE 1 ${CMAKE_ARGC})
  if(after_separator AND DEFINED CMAKE_ARGV${i})
    list(APPEND objects "${CMAKE_ARGV${i}}")
  elseif("${CMAKE_ARGV${i}}" STREQUAL "--")
    set(after_separator ON)
  endif()
endforeach()
if(NOT objects)
  message(FATAL_ERROR "no objects named after --")
endif()

# nm says "no symbols" of an object that only holds static_asserts; that is
# shown only when nm fails.
execute_process(COMMAND "${NM}" --undefined-only --format=posix ${objects}
                OUTPUT_VARIABLE listing ERROR_VARIABLE errors RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${objects}: ${errors}")
endif()
# A posix listing line reads "<name> U <blanks>"; file headers read "<object>:".
string(REGEX MATCHALL "(^|\n)(__imp_)?_?Py[A-Za-z0-9_]* U" names "${listing}")
list(TRANSFORM names REPLACE "^\n?(__imp_)?([^ ]+) U$" "\\2")
list(REMOVE_DUPLICATES names)
list(SORT names)
if(NOT names)
  message(FATAL_ERROR "the objects import nothing from ${DLL}")
endif()

# Data and functions alike are listed without DATA: the objects reach both
# through their __imp_ pointers only, which dlltool makes for every entry.
get_filename_component(dir "${OUTPUT}" DIRECTORY)
set(def "${dir}/${DLL}.def")
list(JOIN names "\n" exports)
file(WRITE "${def}" "LIBRARY ${DLL}\nEXPORTS\n${exports}\n")
execute_process(COMMAND "${DLLTOOL}" --input-def "${def}" --output-lib "${OUTPUT}"
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${DLLTOOL} failed on ${def}")
endif()
