# Fails unless MODULE, a cross-built Windows module, is a 64-bit PE DLL that
# imports from the interpreter's DLL (PYTHON_DLL), KERNEL32.dll and the C
# runtime and from nothing else (no C++ runtime, no libgcc, no winpthread),
# and exports PyInit_velmo and nothing else.
cmake_minimum_required(VERSION 3.18)
execute_process(COMMAND "${OBJDUMP}" -p "${MODULE}" OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objdump failed on ${MODULE}")
endif()
if(NOT dump MATCHES "file format pei-x86-64")
  message(FATAL_ERROR "${MODULE} is not a 64-bit Windows image")
endif()

string(REGEX MATCHALL "DLL Name: [^\n]+" dlls "${dump}")
list(TRANSFORM dlls REPLACE "^DLL Name: " "")
string(TOLOWER "${PYTHON_DLL}" python_dll)
set(found_python OFF)
foreach(dll IN LISTS dlls)
  string(TOLOWER "${dll}" name)
  if(name STREQUAL python_dll)
    set(found_python ON)
  elseif(NOT name MATCHES "^(kernel32|msvcrt|ucrtbase|api-ms-win-crt-[a-z0-9-]+)\\.dll$")
    message(FATAL_ERROR "${MODULE} imports from ${dll}; only ${PYTHON_DLL}, KERNEL32.dll and the C "
                        "runtime may be. All imports: ${dlls}")
  endif()
endforeach()
if(NOT found_python)
  message(FATAL_ERROR "${MODULE} imports nothing from ${PYTHON_DLL}; imports: ${dlls}")
endif()

# The names of the export table, listed under "[Ordinal/Name Pointer] Table"
# up to the next blank line.
string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n([^\n]+\n)*" table "${dump}")
string(REGEX MATCHALL "\\[ *[0-9]+\\] [^\n]+" exported "${table}")
list(TRANSFORM exported REPLACE "^\\[ *[0-9]+\\] " "")
if(NOT exported STREQUAL "PyInit_velmo")
  message(FATAL_ERROR "expected only PyInit_velmo to be exported by ${MODULE}, found: ${exported}")
endif()
message(STATUS "${MODULE}: imports ${dlls}; exports ${exported}")
