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

// A site of the module's execution, which stands for line 1 of velmo.py.
constexpr FailureSite init_site(int implementation_line) {
    return {kSourceFileName, kImplementationFileName, "init velmo", implementation_line, 1};
}

constexpr FailureSite fun_hello_site(int implementation_line, int python_line) {
    return {kSourceFileName, kImplementationFileName, "velmo.fun_hello", implementation_line, python_line};
}

namespace site {

// Above each row, what the tests need to know about the site, as "tests:"
// lines that tests/python/velmo_test_support.py reads:
// - a site of the module's execution: "sweep: reaches" when failing one
//   allocation during the import always fails there, "sweep: cannot" with
//   the reason when not, "sweep: no entry" before the globals are held;
// - a site of fun_hello: "argument: == N raises" or "argument: the truth of
//   == N raises", the argument that fails there.

// Module execution. Failures before the globals are held add no entry; their
// numbers still tell them apart in the code.
// tests: sweep: no entry
inline constexpr FailureSite kVersionCheck = init_site(1646);
// tests: sweep: no entry (a preallocated singleton)
inline constexpr FailureSite kEmptyTuple = init_site(1650);
// tests: sweep: no entry (a preallocated singleton)
inline constexpr FailureSite kEmptyBytes = init_site(1651);
// tests: sweep: no entry
inline constexpr FailureSite kFunctionType = init_site(1654);
// tests: sweep: no entry (PyModule_GetDict cannot fail)
inline constexpr FailureSite kGlobals = init_site(1688);
// tests: sweep: reaches
inline constexpr FailureSite kBuiltinsModule = init_site(1690);
// tests: sweep: cannot, the sweep makes the runtime module itself, so only the
// lookup's key string is allocated, which 3.14 serves without an allocator
// call in some settings (an installed wheel in a venv) and not in others
inline constexpr FailureSite kRuntimeModule = init_site(1692);
// tests: sweep: reaches
inline constexpr FailureSite kSetBuiltins = init_site(1694);
// tests: sweep: reaches
inline constexpr FailureSite kConstants = init_site(1696);  // strings, int 1, int 2
// tests: sweep: cannot, PyImport_GetModuleDict returns the interpreter's
// table and allocates nothing
inline constexpr FailureSite kModulesDict = init_site(1705);
// tests: sweep: cannot, the import system has entered the new module under
// "velmo" before execution, so the store is skipped; if the probe's
// temporary key string cannot be made, the store runs and its own
// allocation succeeds
inline constexpr FailureSite kModulesEntry = init_site(1707);
// tests: sweep: reaches
inline constexpr FailureSite kCodeObject = init_site(1714);  // argument names, code object
// tests: sweep: reaches
inline constexpr FailureSite kFunction = init_site(1733);
// tests: sweep: cannot, the module dict has room for the new key without
// resizing, and the key is a prebuilt string with a cached hash
inline constexpr FailureSite kBindFunction = init_site(1735);
// tests: sweep: reaches
inline constexpr FailureSite kTestDict = init_site(1737);
// tests: sweep: cannot, as for kBindFunction
inline constexpr FailureSite kBindTestDict = init_site(1739);

// fun_hello's body: `if s == 1` on line 2, `if s == 2` on line 4.
// tests: argument: == 1 raises
inline constexpr FailureSite kCompareWith1 = fun_hello_site(1298, 2);
// tests: argument: the truth of == 1 raises
inline constexpr FailureSite kTruthOfCompareWith1 = fun_hello_site(1300, 2);
// tests: argument: == 2 raises
inline constexpr FailureSite kCompareWith2 = fun_hello_site(1330, 4);
// tests: argument: the truth of == 2 raises
inline constexpr FailureSite kTruthOfCompareWith2 = fun_hello_site(1332, 4);

// Every site above, for the check below: a new site is a row here too.
inline constexpr const FailureSite *kEverySite[] = {
    &kVersionCheck, &kEmptyTuple,          &kEmptyBytes,    &kFunctionType,
    &kGlobals,      &kBuiltinsModule,      &kRuntimeModule, &kSetBuiltins,
    &kConstants,    &kModulesDict,         &kModulesEntry,  &kCodeObject,
    &kFunction,     &kBindFunction,        &kTestDict,      &kBindTestDict,
    &kCompareWith1, &kTruthOfCompareWith1, &kCompareWith2,  &kTruthOfCompareWith2,
};

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

}  // namespace detail

static_assert(detail::python_lines_name_one_function(site::kEverySite),
              "two failure sites share a Python line but not the function it belongs to: give the new "
              "site a line of its own function");

}  // namespace velmo

#endif  // VELMO_MODULE_FAILURE_SITES_H
