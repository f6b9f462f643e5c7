# How the module ships: stripped, with its symbols kept aside, and installed
# with its type stub into the site-packages of the interpreter it was built for.

# install() DESTINATIONs as given ("./velmo-stubs" for a wheel's staging) are
# normalised; CMake 3.31 asks for the choice.
if(POLICY CMP0177)
  cmake_policy(SET CMP0177 NEW)
endif()

# The module loses its symbol table and any debug information after linking;
# both go to <module>.debug beside it, which the module names in its
# .gnu_debuglink section, so gdb, perf and addr2line still find them. The tests
# load the stripped file, so they exercise exactly what ships. (On Windows the
# linker leaves the symbols out, cmake/VelmoCompilerFlags.cmake.) A
# distributor whose packaging strips by its own policy, or who wants the
# symbols in the module itself, turns VELMO_STRIP off: the module then keeps
# them (e.g. VELMO_CMAKE_ARGS=-DVELMO_STRIP=OFF for a wheel).
option(VELMO_STRIP "Strip the module, its symbols going to <module>.debug beside it" ON)
set(VELMO_SPLIT_DEBUG OFF)
if(NOT VELMO_STRIP)
  message(STATUS "velmo: VELMO_STRIP is off; the module keeps its symbols")
elseif(CMAKE_EXECUTABLE_FORMAT STREQUAL "ELF" AND CMAKE_OBJCOPY)
  set(VELMO_SPLIT_DEBUG ON)
  add_custom_command(TARGET velmo POST_BUILD
    COMMAND "${CMAKE_OBJCOPY}" --only-keep-debug "$<TARGET_FILE:velmo>" "$<TARGET_FILE:velmo>.debug"
    COMMAND "${CMAKE_OBJCOPY}" --strip-unneeded "--add-gnu-debuglink=$<TARGET_FILE:velmo>.debug"
            "$<TARGET_FILE:velmo>"
    VERBATIM)
elseif(CMAKE_EXECUTABLE_FORMAT STREQUAL "ELF")
  message(WARNING "velmo: no objcopy found; the module keeps its symbols and debug information")
endif()

# A cross build for Windows only makes the module, to be inspected.
if(CMAKE_CROSSCOMPILING AND WIN32)
  return()
endif()

if(CMAKE_CROSSCOMPILING)
  # No interpreter of the target runs here to name its site-packages: the
  # module and its stubs go where a wheel holds them (setup.py's ".").
  set(VELMO_INSTALL_DIR "." CACHE STRING "Folder for the module and its stub, relative to the install prefix")
else()
  # A build folder serves the interpreter it was first configured for: its cache
  # holds that interpreter's headers, extension suffix, install prefix and
  # site-packages, and a silent switch would install one version's module into
  # another's environment. (scripts/test.sh and setup.py start a folder afresh
  # when its interpreter changes.)
  if(DEFINED CACHE{VELMO_CONFIGURED_PYTHON} AND NOT VELMO_CONFIGURED_PYTHON STREQUAL Python3_EXECUTABLE)
    message(FATAL_ERROR
      "velmo: ${CMAKE_BINARY_DIR} is configured for ${VELMO_CONFIGURED_PYTHON} and cannot build for "
      "${Python3_EXECUTABLE}. Use another build folder for it (cmake -S ${PROJECT_SOURCE_DIR} -B <new folder> "
      "-DPython3_EXECUTABLE=${Python3_EXECUTABLE}), or start this one afresh: delete "
      "${CMAKE_BINARY_DIR}/CMakeCache.txt.")
  endif()
  set(VELMO_CONFIGURED_PYTHON "${Python3_EXECUTABLE}" CACHE INTERNAL "The interpreter this build folder is for")

  # site-packages relative to the interpreter's prefix, so that --prefix (or
  # DESTDIR) moves the whole installation.
  velmo_ask_python(_velmo_site "for its site-packages folder"
    "import os, sysconfig; base = sysconfig.get_config_var('platbase'); print(base); print(os.path.relpath(sysconfig.get_path('platlib'), base))")
  list(GET _velmo_site 0 _velmo_python_prefix)
  list(GET _velmo_site 1 _velmo_site_packages)

  # Without an explicit prefix, `cmake --install` installs for the interpreter the
  # module was built for, as pip would.
  if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
    set(CMAKE_INSTALL_PREFIX "${_velmo_python_prefix}" CACHE PATH "Install prefix" FORCE)
  endif()
  set(VELMO_INSTALL_DIR "${_velmo_site_packages}" CACHE STRING
      "Folder for the module and its stub, relative to the install prefix")
endif()

# Component `module` is what a wheel holds. The stub goes in twice: beside the
# module, where editors and type checkers that follow the module's location
# look, and as the stub-only package velmo-stubs, the one place from which
# mypy takes the types of a single-module distribution in site-packages.
install(TARGETS velmo LIBRARY DESTINATION "${VELMO_INSTALL_DIR}" COMPONENT module)
install(FILES "${PROJECT_SOURCE_DIR}/velmo.pyi" DESTINATION "${VELMO_INSTALL_DIR}" COMPONENT module)
install(FILES "${PROJECT_SOURCE_DIR}/velmo.pyi" DESTINATION "${VELMO_INSTALL_DIR}/velmo-stubs"
        RENAME __init__.pyi COMPONENT module)
# Component `debug`: the symbols, beside the module where the debug link
# points; a plain `cmake --install` includes it, a wheel does not.
if(VELMO_SPLIT_DEBUG)
  install(FILES "$<TARGET_FILE:velmo>.debug" DESTINATION "${VELMO_INSTALL_DIR}" COMPONENT debug)
endif()

# Component `dist-info`: the record that pip keeps of an installed
# distribution, so that a plain `cmake --install build` is one to pip as
# well: `pip list` shows it, `pip uninstall velmo` removes every file it put
# in place and `pip install` replaces it. RECORD lists the files installed
# before it (the module's, the stubs', the symbols'), so it comes last. A
# wheel leaves the component out; setuptools writes the wheel's own.
file(STRINGS "${PROJECT_SOURCE_DIR}/pyproject.toml" _velmo_version_line REGEX "^version *= *\"")
string(REGEX REPLACE "^version *= *\"([^\"]+)\".*" "\\1" VELMO_VERSION "${_velmo_version_line}")
install(CODE "set(VELMO_VERSION \"${VELMO_VERSION}\")
  set(VELMO_INSTALL_DIR \"${VELMO_INSTALL_DIR}\")" COMPONENT dist-info)
install(CODE [[
  set(_site "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${VELMO_INSTALL_DIR}")
  set(_info "velmo-${VELMO_VERSION}.dist-info")
  file(WRITE "${_site}/${_info}/METADATA" "Metadata-Version: 2.1\nName: velmo\nVersion: ${VELMO_VERSION}\n")
  file(WRITE "${_site}/${_info}/INSTALLER" "cmake\n")
  set(_record "")
  foreach(_file IN LISTS CMAKE_INSTALL_MANIFEST_FILES ITEMS "${_site}/${_info}/METADATA" "${_site}/${_info}/INSTALLER")
    file(RELATIVE_PATH _file "${_site}" "${_file}")
    string(APPEND _record "${_file},,\n")
  endforeach()
  string(APPEND _record "${_info}/RECORD,,\n")
  file(WRITE "${_site}/${_info}/RECORD" "${_record}")
  message(STATUS "Installing: ${_site}/${_info}")
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${_site}/${_info}/METADATA" "${_site}/${_info}/INSTALLER"
       "${_site}/${_info}/RECORD")
]] COMPONENT dist-info)

# `cmake --build build --target uninstall` takes back what `cmake --install
# build` put in place, as recorded in install_manifest.txt, and the folders
# that were velmo's alone (velmo-stubs/, the dist-info record), so that nothing
# is left behind; `pip uninstall velmo` does the same.
add_custom_target(uninstall
  COMMAND "${CMAKE_COMMAND}" "-DMANIFEST=${CMAKE_BINARY_DIR}/install_manifest.txt"
          -P "${CMAKE_CURRENT_LIST_DIR}/VelmoUninstall.cmake"
  VERBATIM)
