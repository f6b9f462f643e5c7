# Fails unless LIBRARY, the module as it ships, exports exactly PyInit_velmo in
# its dynamic symbol table and, when STRIPPED, has been stripped (no symbol
# table, no debug sections) and names its debug file in a .gnu_debuglink
# section; otherwise (VELMO_STRIP off) it keeps its symbol table and links to
# no debug file.
cmake_minimum_required(VERSION 3.18)
execute_process(COMMAND "${NM}" -D --defined-only "${LIBRARY}"
                OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${symbols}")
set(exported)
foreach(line IN LISTS lines)
  # Lines read "<address> <kind> <name>"; only text and data symbols count.
  if(line MATCHES "^[0-9a-fA-F]+ [TDBRVWi] ([^ ]+)$")
    list(APPEND exported "${CMAKE_MATCH_1}")
  endif()
endforeach()
if(NOT exported STREQUAL "PyInit_velmo")
  message(FATAL_ERROR "expected only PyInit_velmo to be exported, found: ${exported}")
endif()

execute_process(COMMAND "${READELF}" -W -S "${LIBRARY}"
                OUTPUT_VARIABLE sections RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "readelf failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "\\] \\.[^ ]+" names "${sections}")
string(REPLACE "] " "" names "${names}")
if(NOT STRIPPED)
  if(NOT ".symtab" IN_LIST names OR ".gnu_debuglink" IN_LIST names)
    message(FATAL_ERROR "${LIBRARY} was to keep its symbols, with no debug link; its sections: ${names}")
  endif()
  return()
endif()
foreach(name IN LISTS names)
  if(name STREQUAL ".symtab" OR name MATCHES "^\\.(z?debug|stab)")
    message(FATAL_ERROR "${LIBRARY} is not stripped: it has a ${name} section")
  endif()
endforeach()
if(NOT ".gnu_debuglink" IN_LIST names)
  message(FATAL_ERROR "${LIBRARY} has no .gnu_debuglink section naming its debug file")
endif()
