# -DVELMO_SANITIZE=ON builds every target (module, peer, mismatch variant,
# test and benchmark binaries) with AddressSanitizer and
# UndefinedBehaviorSanitizer. Nothing recovers: the first report ends the
# process, so a test cannot pass over one.
#
# The interpreter itself is not instrumented. The C++ test binary links the
# sanitizer runtime; a Python process must preload it, so this file also
# records where the compiler's runtime libraries are (VELMO_SANITIZER_PRELOAD)
# for the tests to put in LD_PRELOAD. scripts/sanitize.sh builds and runs it.
option(VELMO_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)

if(VELMO_SANITIZE)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # The preload below names gcc's runtime libraries.
    message(FATAL_ERROR "VELMO_SANITIZE needs g++ (found ${CMAKE_CXX_COMPILER_ID})")
  endif()
  set(VELMO_SANITIZER_FLAGS
    -fsanitize=address,undefined
    -fno-sanitize-recover=all
    # Readable stacks for reports and for the leak suppressions, which
    # match function names.
    -fno-omit-frame-pointer)
  add_compile_options(${VELMO_SANITIZER_FLAGS})
  add_link_options(${VELMO_SANITIZER_FLAGS})

  set(VELMO_SANITIZER_PRELOAD)
  foreach(runtime libasan.so libubsan.so)
    execute_process(COMMAND "${CMAKE_CXX_COMPILER}" -print-file-name=${runtime}
                    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
    # Resolved to the versioned file, which is what the module records as
    # its dependency; the unversioned name is a link-time symlink.
    get_filename_component(path "${path}" REALPATH)
    if(NOT EXISTS "${path}")
      message(FATAL_ERROR "VELMO_SANITIZE: ${CMAKE_CXX_COMPILER} has no ${runtime}")
    endif()
    list(APPEND VELMO_SANITIZER_PRELOAD "${path}")
  endforeach()
endif()
