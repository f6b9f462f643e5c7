// Every place where velmo reports a failure with a traceback entry, in one
// table: the function the entry names, the implementation line and the line
// of velmo.py it stands for, as the traceback layer's FailureSite.
//
// The implementation lines are not line numbers of any file in this tree.
// They are stable identifiers that users see in tracebacks when
// `cython_runtime.cline_in_traceback` is on ("velmo.fun_hello (velmo.cpp:1298)")
// and that tools and people match on: never renumber a site, and give a new
// site a number of its own.
#ifndef VELMO_MODULE_FAILURE_SITES_H
#define VELMO_MODULE_FAILURE_SITES_H

#include <cstddef>

#include "traceback/traceback.h"

namespace velmo {

// The Python source file that entries name, and the implementation "file"
// named beside implementation lines.
inline constexpr const char kSourceFileName[] = "velmo.py";
inline constexpr const char kImplementationFileName[] = "velmo.cpp";

// The functions that entries name: the module's execution, which stands for
// line 1 of velmo.py, and fun_hello.
inline constexpr const char kInitFunction[] = "init velmo";
inline constexpr const char kFunHelloFunction[] = "velmo.fun_hello";

// Every failure site, one row each, and nothing else declares one: the row
// makes the site's constant (site::kVersionCheck ...), its place in
// site::kEverySite and in the checks below, and the test-only table that the
// Python tests read (tests/peer/velmo_sites.cpp). A new site is its row and
// its call.
//
// X(name, function, implementation line, Python line, what the tests need)
//
// What the tests need, which the module itself ignores:
// - a site of the module's execution: `sweep_reaches` when failing one
//   allocation during the import always fails there, `sweep_cannot` when not
//   (the row says why), `sweep_no_entry` before the globals are held, where
//   no entry is added;
// - a site of fun_hello: `compare_fails(N)` when `s == N` raises there,
//   `truth_fails(N)` when the truth of its answer does.
//
// Execution sites stand in the order execution meets them; those up to
// kGlobals add no entry, and their numbers tell them apart in the code alone.
#define VELMO_FAILURE_SITES(X)                                                                      \
    X(kVersionCheck, kInitFunction, 1646, 1, sweep_no_entry)                                        \
    X(kEmptyTuple, kInitFunction, 1650, 1, sweep_no_entry) /* a preallocated singleton */           \
    X(kEmptyBytes, kInitFunction, 1651, 1, sweep_no_entry) /* a preallocated singleton */           \
    X(kFunctionType, kInitFunction, 1654, 1, sweep_no_entry)                                        \
    X(kGlobals, kInitFunction, 1688, 1, sweep_no_entry) /* PyModule_GetDict cannot fail */          \
    X(kBuiltinsModule, kInitFunction, 1690, 1, sweep_reaches)                                       \
    /* The sweep makes the runtime module itself, so only the lookup's key string is allocated,     \
       which 3.14 serves without an allocator call in some settings (an installed wheel in a venv)  \
       and not in others. */                                                                        \
    X(kRuntimeModule, kInitFunction, 1692, 1, sweep_cannot)                                         \
    X(kSetBuiltins, kInitFunction, 1694, 1, sweep_reaches)                                          \
    X(kConstants, kInitFunction, 1696, 1, sweep_reaches) /* strings, int 1, int 2 */                \
    /* PyImport_GetModuleDict returns the interpreter's table and allocates nothing. */             \
    X(kModulesDict, kInitFunction, 1705, 1, sweep_cannot)                                           \
    /* The import system has entered the new module under "velmo" before execution, so the store is \
       skipped; if the probe's temporary key string cannot be made, the store runs and its own      \
       allocation succeeds. */                                                                      \
    X(kModulesEntry, kInitFunction, 1707, 1, sweep_cannot)                                          \
    X(kCodeObject, kInitFunction, 1714, 1, sweep_reaches) /* argument names, code object */         \
    X(kFunction, kInitFunction, 1733, 1, sweep_reaches)                                             \
    /* The module dict has room for the new key without resizing, and the key is a prebuilt string  \
       with a cached hash. */                                                                       \
    X(kBindFunction, kInitFunction, 1735, 1, sweep_cannot)                                          \
    X(kTestDict, kInitFunction, 1737, 1, sweep_reaches)                                             \
    X(kBindTestDict, kInitFunction, 1739, 1, sweep_cannot) /* as kBindFunction */                   \
    /* fun_hello's body: `if s == 1` on line 2, `if s == 2` on line 4. */                           \
    X(kCompareWith1, kFunHelloFunction, 1298, 2, compare_fails(1))                                  \
    X(kTruthOfCompareWith1, kFunHelloFunction, 1300, 2, truth_fails(1))                             \
    X(kCompareWith2, kFunHelloFunction, 1330, 4, compare_fails(2))                                  \
    X(kTruthOfCompareWith2, kFunHelloFunction, 1332, 4, truth_fails(2))

namespace site {

#define VELMO_FAILURE_SITE_CONSTANT(name, function, implementation_line, python_line, tests) \
    inline constexpr FailureSite name = {kSourceFileName, kImplementationFileName, function, \
                                         implementation_line, python_line};
VELMO_FAILURE_SITES(VELMO_FAILURE_SITE_CONSTANT)
#undef VELMO_FAILURE_SITE_CONSTANT

#define VELMO_FAILURE_SITE_ADDRESS(name, function, implementation_line, python_line, tests) &(name),
// Every site, for the checks below.
inline constexpr const FailureSite *kEverySite[] = {VELMO_FAILURE_SITES(VELMO_FAILURE_SITE_ADDRESS)};
#undef VELMO_FAILURE_SITE_ADDRESS

}  // namespace site

namespace detail {

constexpr bool same_text(const char *a, const char *b) {
    while (*a != '\0' && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

// Whether every two sites on one Python line name the same function and
// file. An entry that hides the implementation line is cached under its
// Python line alone (traceback.h), so a site on the line of another
// function's would be shown with the code object, and so the name, of
// whichever of the two failed first.
template <size_t N>
constexpr bool python_lines_name_one_function(const FailureSite *const (&sites)[N]) {
    for (size_t i = 0; i < N; ++i) {
        for (size_t j = i + 1; j < N; ++j) {
            if (sites[i]->python_line == sites[j]->python_line &&
                !(same_text(sites[i]->function, sites[j]->function) &&
                  same_text(sites[i]->filename, sites[j]->filename))) {
                return false;
            }
        }
    }
    return true;
}

// Whether every site has an implementation line of its own, and a positive
// one: users and tools tell the sites apart by it, and 0 stands for none.
template <size_t N>
constexpr bool implementation_lines_are_distinct(const FailureSite *const (&sites)[N]) {
    for (size_t i = 0; i < N; ++i) {
        if (sites[i]->implementation_line <= 0) {
            return false;
        }
        for (size_t j = i + 1; j < N; ++j) {
            if (sites[i]->implementation_line == sites[j]->implementation_line) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace detail

static_assert(detail::python_lines_name_one_function(site::kEverySite),
              "two failure sites share a Python line but not the function it belongs to: give the new "
              "site a line of its own function");
static_assert(detail::implementation_lines_are_distinct(site::kEverySite),
              "two failure sites share an implementation line: give the new site a number of its own");

}  // namespace velmo

#endif  // VELMO_MODULE_FAILURE_SITES_H
