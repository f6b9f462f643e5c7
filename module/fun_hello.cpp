// fun_hello, the module's one Python-level function, and the equality and
// truth tests that let it answer common arguments without rich comparison.
#include "common/python_compat.h"
#include "module/failure_sites.h"
#include "module/module.h"
#include "module/module_state.h"

namespace velmo {

namespace {

// The result of an equality test that the fast paths settle alone.
enum class Equality { kFalse = 0, kTrue = 1, kUndecided = 2 };

// `object == constant` for the arguments that need no comparison machinery:
// the cached constant itself, an exact int (its digits) and an exact float.
// `value` is the number `constant` holds, 1 <= value < 2**30: one digit, so
// an int of more digits is never equal.
inline Equality fast_equals(PyObject *object, PyObject *constant, uint32_t value) noexcept {
    if (object == constant) {
        return Equality::kTrue;
    }
    if (Py_IS_TYPE(object, &PyLong_Type)) {
        auto *number = reinterpret_cast<PyLongObject *>(object);
        return PyUnstable_Long_IsCompact(number) &&
                       PyUnstable_Long_CompactValue(number) == static_cast<Py_ssize_t>(value)
                   ? Equality::kTrue
                   : Equality::kFalse;
    }
    if (Py_IS_TYPE(object, &PyFloat_Type)) {
        // NaN compares unequal, as Python's == has it.
        return PyFloat_AS_DOUBLE(object) == static_cast<double>(value) ? Equality::kTrue : Equality::kFalse;
    }
    return Equality::kUndecided;
}

// The truth of a comparison's result, without a call for the common results.
int object_is_true(PyObject *object) noexcept {
    if (object == Py_True) {
        return 1;
    }
    if (object == Py_False || object == Py_None) {
        return 0;
    }
    return PyObject_IsTrue(object);
}

// One `if s == constant` of the body by rich comparison: 1 or 0, or -1 with
// the exception set and the entry of the failing site (the comparison or its
// truth test) added.
int compare_equals(PyObject *s, PyObject *constant, const FailureSite &compare_site,
                   const FailureSite &truth_site) noexcept {
    PyObject *r = PyObject_RichCompare(s, constant, Py_EQ);
    if (r == nullptr) {
        return report_failure(compare_site);
    }
    int t = object_is_true(r);
    Py_DECREF(r);
    return t < 0 ? report_failure(truth_site) : t;
}

// The body for an argument that the fast paths leave to rich comparison.
// What they leave undecided against 1 they leave undecided against 2: the
// int 2 itself, an exact int or float would have decided the first test.
// Kept out of line, so that the fast paths need no saved registers.
[[gnu::noinline]] PyObject *answer_by_comparison(PyObject *s) noexcept {
    const ModuleState &state = module_state;
    int t = compare_equals(s, state.int_1, site::kCompareWith1, site::kTruthOfCompareWith1);
    if (t != 0) {
        return t > 0 ? Py_NewRef(state.str_answer_for_1) : nullptr;
    }
    t = compare_equals(s, state.int_2, site::kCompareWith2, site::kTruthOfCompareWith2);
    if (t != 0) {
        return t > 0 ? Py_NewRef(state.str_answer_for_2) : nullptr;
    }
    Py_RETURN_NONE;
}

// The equality tests, written inline: the fast paths decide without making a
// True or False to test.
PyObject *fun_hello(PyObject * /*self*/, PyObject *s) noexcept {
    const ModuleState &state = module_state;
    switch (fast_equals(s, state.int_1, 1)) {
        case Equality::kTrue:
            return Py_NewRef(state.str_answer_for_1);
        case Equality::kUndecided:
            return answer_by_comparison(s);
        case Equality::kFalse:
            break;
    }
    // Decided by the fast paths too, since the first test was.
    return Py_NewRef(fast_equals(s, state.int_2, 2) == Equality::kTrue ? state.str_answer_for_2 : Py_None);
}

}  // namespace

// The record points straight at the body: METH_O hands it the one argument.
PyMethodDef fun_hello_method = {"fun_hello", fun_hello, METH_O, nullptr};

}  // namespace velmo
