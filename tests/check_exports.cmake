# Fails unless LIBRARY's dynamic symbol table defines exactly PyInit_velmo.
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
