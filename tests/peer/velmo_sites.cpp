// velmo_sites: a test-only extension that hands the Python tests the failure
// sites as the module is built with them, from the rows of
// module/failure_sites.h, with what each row says the tests need. It imports
// nothing and registers nothing, so that the tests may import it before they
// decide when velmo, or the shared function type, is first loaded.
#include "module/failure_sites.h"

namespace {

// The last column of a row: what the tests need of the site.
struct SiteTests {
    const char *sweep;  // an execution site: "reaches", "cannot" or "no entry"; NULL for fun_hello's
    int argument;       // a site of fun_hello: the N whose comparison `s == N` fails there; else 0
    bool in_truth;      // whether the truth test of that comparison's answer fails, not the comparison
};

constexpr SiteTests sweep_reaches{"reaches", 0, false};
constexpr SiteTests sweep_cannot{"cannot", 0, false};
constexpr SiteTests sweep_no_entry{"no entry", 0, false};
constexpr SiteTests compare_fails(int argument) { return {nullptr, argument, false}; }
constexpr SiteTests truth_fails(int argument) { return {nullptr, argument, true}; }

struct Row {
    const char *name;                // the constant's name in velmo::site
    const velmo::FailureSite *site;  // the site the module reports
    SiteTests tests;
};

#define VELMO_SITE_ROW(name, function, implementation_line, python_line, tests) \
    {#name, &velmo::site::name, tests},
constexpr Row kRows[] = {VELMO_FAILURE_SITES(VELMO_SITE_ROW)};
#undef VELMO_SITE_ROW

// Whether each row's tests column fits its function: a sweep for an execution
// site, a failing argument for a site of fun_hello, and no argument twice.
constexpr bool tests_fit_their_sites() {
    for (const Row &row : kRows) {
        bool execution = velmo::detail::same_text(row.site->function, velmo::kInitFunction);
        if (execution != (row.tests.sweep != nullptr) || execution == (row.tests.argument != 0)) {
            return false;
        }
        for (const Row &other : kRows) {
            if (&other != &row && other.tests.argument == row.tests.argument && row.tests.argument != 0 &&
                other.tests.in_truth == row.tests.in_truth) {
                return false;
            }
        }
    }
    return true;
}
static_assert(tests_fit_their_sites(),
              "a failure site's tests column does not fit its function: sweep_* for a site of the module's "
              "execution, compare_fails(N) or truth_fails(N), each once, for a site of fun_hello");

// (name, function, implementation line, Python line, tests), tests being
// ("sweep", state) or ("argument", N, in_truth); a new reference or NULL.
PyObject *row_tuple(const Row &row) noexcept {
    const velmo::FailureSite &site = *row.site;
    if (row.tests.sweep != nullptr) {
        return Py_BuildValue("(ssii(ss))", row.name, site.function, site.implementation_line,
                             site.python_line, "sweep", row.tests.sweep);
    }
    return Py_BuildValue("(ssii(siN))", row.name, site.function, site.implementation_line, site.python_line,
                         "argument", row.tests.argument, PyBool_FromLong(row.tests.in_truth));
}

PyModuleDef sites_def = {
    PyModuleDef_HEAD_INIT, "velmo_sites", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Adds `value` (a new reference, or NULL after a failure) to `module` under
// `name`; -1 with the error set.
int add(PyObject *module, const char *name, PyObject *value) noexcept {
    int result = value != nullptr ? PyModule_AddObjectRef(module, name, value) : -1;
    Py_XDECREF(value);
    return result;
}

}  // namespace

PyMODINIT_FUNC PyInit_velmo_sites(void) noexcept {
    PyObject *module = PyModule_Create(&sites_def);
    if (module == nullptr) {
        return nullptr;
    }
    constexpr Py_ssize_t count = sizeof kRows / sizeof kRows[0];
    PyObject *rows = PyTuple_New(count);
    for (Py_ssize_t i = 0; rows != nullptr && i < count; ++i) {
        PyObject *row = row_tuple(kRows[i]);
        if (row == nullptr) {
            Py_CLEAR(rows);
            break;
        }
        PyTuple_SET_ITEM(rows, i, row);
    }
    if (add(module, "ROWS", rows) < 0 ||
        add(module, "SOURCE_FILE", PyUnicode_FromString(velmo::kSourceFileName)) < 0 ||
        add(module, "IMPLEMENTATION_FILE", PyUnicode_FromString(velmo::kImplementationFileName)) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
