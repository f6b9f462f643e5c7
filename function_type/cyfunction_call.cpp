// Calling a function object (cyfunction_call and the dispatch on the method
// record's calling convention) and binding it to an instance.
#include "function_type/cyfunction.h"

namespace velmo {

namespace {

// The convention bits of ml_flags; higher bits (METH_CLASS, METH_COEXIST...)
// do not change how the call is made.
constexpr int kConventionMask = 0xF;

// True unless kw is NULL or an empty dict. A failing size (-1) counts as
// keywords given, so the call is refused rather than silently dropping them.
bool has_keywords(PyObject *kw) noexcept {
    if (kw == nullptr) {
        return false;
    }
    Py_ssize_t size = PyDict_Size(kw);
    if (size < 0) {
        PyErr_Clear();  // the caller raises its own TypeError instead
    }
    return size != 0;
}

// Calls the method record's operation with `self`, by its calling convention.
PyObject *cyfunction_call_method(PyObject *func, PyObject *self, PyObject *args, PyObject *kw) noexcept {
    PyMethodDef *method = reinterpret_cast<CyFunction *>(func)->method;
    PyCFunction meth = method->ml_meth;
    switch (method->ml_flags & kConventionMask) {
        case METH_VARARGS:
            if (!has_keywords(kw)) {
                return meth(self, args);
            }
            break;
        case METH_VARARGS | METH_KEYWORDS:
            return reinterpret_cast<PyCFunctionWithKeywords>(reinterpret_cast<void (*)(void)>(meth))(
                self, args, kw);
        case METH_NOARGS:
            if (!has_keywords(kw)) {
                Py_ssize_t size = PyTuple_GET_SIZE(args);
                if (size == 0) {
                    return meth(self, nullptr);
                }
                PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", method->ml_name,
                             size);
                return nullptr;
            }
            break;
        case METH_O:
            if (!has_keywords(kw)) {
                Py_ssize_t size = PyTuple_GET_SIZE(args);
                if (size == 1) {
                    return meth(self, PyTuple_GET_ITEM(args, 0));
                }
                PyErr_Format(PyExc_TypeError, "%.200s() takes exactly one argument (%zd given)",
                             method->ml_name, size);
                return nullptr;
            }
            break;
        default:
            PyErr_SetString(PyExc_SystemError,
                            "Bad call flags in __Pyx_CyFunction_Call. METH_OLDARGS is no longer supported!");
            return nullptr;
    }
    // Only the conventions that refuse keywords get here.
    PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", method->ml_name);
    return nullptr;
}

// Every call but the common one. Kept out of line, so that the common call
// needs no saved registers and ends in a jump to the underlying operation.
[[gnu::noinline]] PyObject *call_other(PyObject *func, PyObject *args, PyObject *kw) noexcept {
    auto *op = reinterpret_cast<CyFunction *>(func);
    if ((op->flags & (CYFUNC_STATIC | CYFUNC_MEMBER)) != CYFUNC_MEMBER) {
        return cyfunction_call_method(func, op->self, args, kw);
    }

    // Unbound member: the first positional argument is the call's self.
    PyObject *rest = PyTuple_GetSlice(args, 1, PyTuple_GET_SIZE(args));
    if (rest == nullptr) {
        return nullptr;
    }
    if (PyTuple_GET_SIZE(args) < 1) {
        Py_DECREF(rest);
        // A cleared object has no qualname; its method record's name stands
        // in, as in the repr.
        if (op->qualname == nullptr) {
            PyErr_Format(PyExc_TypeError, "unbound method %.200s() needs an argument", op->method->ml_name);
        } else {
            PyErr_Format(PyExc_TypeError, "unbound method %.200S() needs an argument", op->qualname);
        }
        return nullptr;
    }
    PyObject *result = cyfunction_call_method(func, PyTuple_GET_ITEM(args, 0), rest, kw);
    Py_DECREF(rest);
    return result;
}

}  // namespace

PyObject *cyfunction_call(PyObject *func, PyObject *args, PyObject *kw) noexcept {
    auto *op = reinterpret_cast<CyFunction *>(func);
    PyMethodDef *method = op->method;
    // The common call, one positional argument to a METH_O function without
    // CYFUNC_MEMBER, goes straight to the underlying operation: the dispatch
    // would take the same decisions, one function call later. (A member that
    // is also static takes the long way to the same ordinary call.)
    if ((op->flags & CYFUNC_MEMBER) == 0 && (method->ml_flags & kConventionMask) == METH_O && kw == nullptr &&
        PyTuple_GET_SIZE(args) == 1) {
        return method->ml_meth(op->self, PyTuple_GET_ITEM(args, 0));
    }
    return call_other(func, args, kw);
}

PyObject *cyfunction_descr_get(PyObject *func, PyObject *instance, PyObject * /*owner*/) noexcept {
    if (instance == nullptr) {
        Py_INCREF(func);
        return func;
    }
    return PyMethod_New(func, instance);
}

}  // namespace velmo
