// fun_hello, the module's one Python-level function, and the equality and
// truth tests that let it answer common arguments without rich comparison.
#include "module/module.h"

#include <longintrepr.h>  // after Python.h, which it relies on

namespace velmo {

static_assert(PyLong_SHIFT == 30, "the int fast path reads 30-bit digits");

PyMethodDef fun_hello_method = {"fun_hello", fun_hello_wrapper, METH_O, nullptr};

namespace {

PyObject *fail(const FailureSite &site) noexcept {
    add_site_traceback(site);
    return nullptr;
}

PyObject *new_bool(bool value) noexcept { return Py_NewRef(value ? Py_True : Py_False); }

}  // namespace

PyObject *int_equals_constant(PyObject *object, PyObject *constant, uint32_t value) noexcept {
    if (object == constant) {
        return new_bool(true);
    }
    if (Py_IS_TYPE(object, &PyLong_Type)) {
        const auto *number = reinterpret_cast<const PyLongObject *>(object);
        Py_ssize_t size = Py_SIZE(object);
        constexpr uint32_t kDigitMask = (1u << PyLong_SHIFT) - 1;
        if (size <= 0) {
            return new_bool(false);
        }
        if (value < (1u << PyLong_SHIFT)) {
            return new_bool(size == 1 && number->ob_digit[0] == value);
        }
        return new_bool(size == 2 && number->ob_digit[0] == (value & kDigitMask) &&
                        number->ob_digit[1] == (value >> PyLong_SHIFT));
    }
    if (Py_IS_TYPE(object, &PyFloat_Type)) {
        // NaN compares unequal, as Python's == has it.
        return new_bool(PyFloat_AS_DOUBLE(object) == static_cast<double>(static_cast<int32_t>(value)));
    }
    return PyObject_RichCompare(object, constant, Py_EQ);
}

int object_is_true(PyObject *object) noexcept {
    if (object == Py_True) {
        return 1;
    }
    if (object == Py_False || object == Py_None) {
        return 0;
    }
    return PyObject_IsTrue(object);
}

PyObject *fun_hello_wrapper(PyObject *self, PyObject *s) noexcept { return fun_hello_impl(self, s); }

PyObject *fun_hello_impl(PyObject * /*self*/, PyObject *s) noexcept {
    PyObject *r = int_equals_constant(s, module_state.int_1, 1);
    if (r == nullptr) {
        return fail(site::kCompareWith1);
    }
    int t = object_is_true(r);
    Py_DECREF(r);
    if (t < 0) {
        return fail(site::kTruthOfCompareWith1);
    }
    if (t != 0) {
        return Py_NewRef(module_state.str_hello_world);
    }

    r = int_equals_constant(s, module_state.int_2, 2);
    if (r == nullptr) {
        return fail(site::kCompareWith2);
    }
    t = object_is_true(r);
    Py_DECREF(r);
    if (t < 0) {
        return fail(site::kTruthOfCompareWith2);
    }
    if (t != 0) {
        return Py_NewRef(module_state.str_222222222);
    }
    Py_RETURN_NONE;
}

}  // namespace velmo
