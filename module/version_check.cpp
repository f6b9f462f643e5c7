// check_binary_version: warns when the running interpreter is not the
// major.minor version that the module was compiled for; and the refusal, at
// compile time, of headers of a version velmo does not support or of another
// build (debug or release) than the interpreter's.
#include <cctype>

#include "module/module.h"

// The build refuses any other version when it is configured; this refuses the
// headers a source is really compiled against, with the bounds that the build
// takes from python_versions.txt ((major << 8) | minor, oldest and newest).
#define VELMO_COMPILED_FOR ((PY_MAJOR_VERSION << 8) | PY_MINOR_VERSION)
#ifndef VELMO_SUPPORTED_PYTHONS
#error "velmo's sources are compiled by its CMake project, which defines the supported versions"
#elif VELMO_COMPILED_FOR < VELMO_PYTHON_OLDEST || VELMO_COMPILED_FOR > VELMO_PYTHON_NEWEST
static_assert(false, "velmo supports " VELMO_SUPPORTED_PYTHONS);
#endif
#undef VELMO_COMPILED_FOR

// A debug interpreter's objects and reference totals follow Py_DEBUG's rules,
// which the inline API compiles into velmo; a build for one that missed them
// would count references wrongly and skip the interpreter's checks. The build
// asks the interpreter (VELMO_PYTHON_DEBUG); this stops a compile whose
// headers say otherwise, either way.
#if defined(VELMO_PYTHON_DEBUG) != defined(Py_DEBUG)
#error "the interpreter's build (debug or release) and the Py_DEBUG of its headers disagree"
#endif

// The version the module is compiled for; a test build overrides the minor
// number to take the mismatch path under a real import.
#ifndef VELMO_BUILT_FOR_MAJOR
#define VELMO_BUILT_FOR_MAJOR PY_MAJOR_VERSION
#endif
#ifndef VELMO_BUILT_FOR_MINOR
#define VELMO_BUILT_FOR_MINOR PY_MINOR_VERSION
#endif

namespace velmo {

namespace {

bool is_digit(char c) noexcept { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

}  // namespace

int check_binary_version_against(int built_major, int built_minor, const char *runtime_version) noexcept {
    // Room for any "major.minor" pair of ints, so that a version such as 3.100
    // is compared in full instead of being cut to the 3.10 it starts with.
    char built[32];
    PyOS_snprintf(built, sizeof built, "%d.%d", built_major, built_minor);

    bool same = true;
    for (int i = 0;; ++i) {
        if (built[i] == '\0') {
            // "3.10" must not match "3.100": the minor number goes on there.
            same = !is_digit(runtime_version[i]);
            break;
        }
        // Stops at the run-time text's end too, since built[i] is not NUL.
        if (runtime_version[i] != built[i]) {
            same = false;
            break;
        }
    }
    if (same) {
        return 0;
    }

    // The run-time "major.minor": digits and the first dot, nothing after a
    // second dot or any other character.
    char runtime[32] = {0};
    bool seen_dot = false;
    for (size_t i = 0; i + 1 < sizeof runtime; ++i) {
        char c = runtime_version[i];
        if (c == '.' && !seen_dot) {
            seen_dot = true;
        } else if (!is_digit(c)) {
            break;
        }
        runtime[i] = c;
    }

    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compiletime version %s of module '%.100s' does not match runtime version %s", built,
                  "velmo", runtime);
    return PyErr_WarnEx(nullptr, message, 1) < 0 ? -1 : 0;
}

int check_binary_version() noexcept {
    return check_binary_version_against(VELMO_BUILT_FOR_MAJOR, VELMO_BUILT_FOR_MINOR, Py_GetVersion());
}

}  // namespace velmo
