// Every place where velmo reports a failure with a traceback entry, in one
// table: the function the entry names, the implementation line and the line
// of velmo.py it stands for.
//
// The implementation lines are not line numbers of any file in this tree.
// They are stable identifiers that users see in tracebacks when
// `cython_runtime.cline_in_traceback` is on ("velmo.fun_hello (velmo.cpp:1298)")
// and that tools and people match on: never renumber a site, and give a new
// site a number of its own.
#ifndef VELMO_MODULE_FAILURE_SITES_H
#define VELMO_MODULE_FAILURE_SITES_H

namespace velmo {

struct FailureSite {
    const char *function;     // shown as the entry's function name
    int implementation_line;  // stable identifier, shown with kImplementationFileName
    int python_line;          // line of kSourceFileName
};

// The Python source file that entries name, and the implementation "file"
// named beside implementation lines.
inline constexpr const char kSourceFileName[] = "velmo.py";
inline constexpr const char kImplementationFileName[] = "velmo.cpp";

inline constexpr const char kInitFunction[] = "init velmo";
inline constexpr const char kFunHelloFunction[] = "velmo.fun_hello";

namespace site {

// Module execution. Failures before the globals are held add no entry; their
// numbers still tell them apart in the code.
inline constexpr FailureSite kVersionCheck = {kInitFunction, 1646, 1};
inline constexpr FailureSite kEmptyTuple = {kInitFunction, 1650, 1};
inline constexpr FailureSite kEmptyBytes = {kInitFunction, 1651, 1};
inline constexpr FailureSite kFunctionType = {kInitFunction, 1654, 1};
inline constexpr FailureSite kGlobals = {kInitFunction, 1688, 1};
inline constexpr FailureSite kBuiltinsModule = {kInitFunction, 1690, 1};
inline constexpr FailureSite kRuntimeModule = {kInitFunction, 1692, 1};
inline constexpr FailureSite kSetBuiltins = {kInitFunction, 1694, 1};
inline constexpr FailureSite kConstants = {kInitFunction, 1696, 1};  // strings, int 1, int 2
inline constexpr FailureSite kModulesDict = {kInitFunction, 1705, 1};
inline constexpr FailureSite kModulesEntry = {kInitFunction, 1707, 1};
inline constexpr FailureSite kCodeObject = {kInitFunction, 1714, 1};  // argument names, code object
inline constexpr FailureSite kFunction = {kInitFunction, 1733, 1};
inline constexpr FailureSite kBindFunction = {kInitFunction, 1735, 1};
inline constexpr FailureSite kTestDict = {kInitFunction, 1737, 1};
inline constexpr FailureSite kBindTestDict = {kInitFunction, 1739, 1};

// fun_hello's body: `if s == 1` on line 2, `if s == 2` on line 4.
inline constexpr FailureSite kCompareWith1 = {kFunHelloFunction, 1298, 2};
inline constexpr FailureSite kTruthOfCompareWith1 = {kFunHelloFunction, 1300, 2};
inline constexpr FailureSite kCompareWith2 = {kFunHelloFunction, 1330, 4};
inline constexpr FailureSite kTruthOfCompareWith2 = {kFunHelloFunction, 1332, 4};

}  // namespace site

}  // namespace velmo

#endif  // VELMO_MODULE_FAILURE_SITES_H
