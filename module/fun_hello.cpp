// fun_hello, the module's one Python-level function, and the equality and
// truth tests that let it answer common arguments without rich comparison.
#include "common/python_compat.h"
#include "module/module_state.h"

namespace velmo {

PyMethodDef fun_hello_method = {"fun_hello", fun_hello_wrapper, METH_O, nullptr};

namespace {

constexpr const char kFunctionName[] = "velmo.fun_hello";

PyObject *fail(int c_line, int py_line) noexcept {
    add_traceback(kFunctionName, c_line, py_line, kSourceFileName);
    return nullptr;
}

PyObject *new_bool(bool value) noexcept {
    PyObject *result = value ? Py_True : Py_False;
    Py_INCREF(result);
    return result;
}

}  // namespace

PyObject *int_equals_constant(PyObject *object, PyObject *constant, uint32_t value) noexcept {
    if (object == constant) {
        return new_bool(true);
    }
    if (Py_IS_TYPE(object, &PyLong_Type)) {
        if (compat::long_is_compact(object)) {
            return new_bool(compat::long_compact_value(object) == static_cast<Py_ssize_t>(value));
        }
        // More than one digit: too large for a one-digit constant.
        if (value < (1u << PyLong_SHIFT)) {
            return new_bool(false);
        }
        int overflow = 0;
        long number = PyLong_AsLongAndOverflow(object, &overflow);  // cannot fail on an exact int
        return new_bool(overflow == 0 && number == static_cast<long>(value));
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
        return fail(1298, 2);
    }
    int t = object_is_true(r);
    Py_DECREF(r);
    if (t < 0) {
        return fail(1300, 2);
    }
    if (t != 0) {
        Py_INCREF(module_state.str_hello_world);
        return module_state.str_hello_world;
    }

    r = int_equals_constant(s, module_state.int_2, 2);
    if (r == nullptr) {
        return fail(1330, 4);
    }
    t = object_is_true(r);
    Py_DECREF(r);
    if (t < 0) {
        return fail(1332, 4);
    }
    if (t != 0) {
        Py_INCREF(module_state.str_222222222);
        return module_state.str_222222222;
    }
    Py_RETURN_NONE;
}

}  // namespace velmo
