// The function attributes of a function object (the getset, member and method
// tables of its type), its repr and its pickling hook.
#include "function_type/cyfunction.h"

#include <structmember.h>  // after Python.h, which it relies on

namespace velmo {

namespace {

CyFunction *as_cyfunction(PyObject *func) noexcept { return reinterpret_cast<CyFunction *>(func); }

// New reference to `value`, or to None when the field is empty.
PyObject *field_or_none(PyObject *value) noexcept { return Py_NewRef(value != nullptr ? value : Py_None); }

// A field filled on its first read: a new reference to what it holds, else
// to what `make()` returns (a new reference, or NULL with an exception set),
// which is stored. The allocation that made it may have run the collector,
// and a finaliser may have filled the field meanwhile: that value is kept and
// the one made dropped.
template <typename Make>
PyObject *lazy_field(PyObject *&field, Make make) noexcept {
    if (field == nullptr) {
        PyObject *made = make();
        if (made == nullptr) {
            return nullptr;
        }
        if (field != nullptr) {
            Py_DECREF(made);
        } else {
            field = made;
        }
    }
    return Py_NewRef(field);
}

// Every replacement below goes through Py_XSETREF, which stores the new
// value before it releases the old one: a finaliser run by the release
// already reads the new value.

// Fills both defaults fields from the installed getter's result: 0, or -1
// with an exception set.
int cyfunction_init_defaults(CyFunction *func) noexcept {
    PyObject *result = func->defaults_getter(reinterpret_cast<PyObject *>(func));
    if (result == nullptr) {
        return -1;
    }
    // Both items are read straight from the tuple; a getter that breaks its
    // contract gets an error instead of a read past the end of its result.
    if (!PyTuple_Check(result)) {
        PyErr_Format(PyExc_TypeError,
                     "defaults getter of %.200s() must return a tuple of two items, not %.200s",
                     func->method->ml_name, Py_TYPE(result)->tp_name);
        Py_DECREF(result);
        return -1;
    }
    if (PyTuple_GET_SIZE(result) < 2) {
        Py_ssize_t size = PyTuple_GET_SIZE(result);
        PyErr_Format(
            PyExc_TypeError,
            "defaults getter of %.200s() must return a tuple of two items, not a tuple of %zd item%s",
            func->method->ml_name, size, size == 1 ? "" : "s");
        Py_DECREF(result);
        return -1;
    }
    Py_XSETREF(func->defaults_tuple, Py_NewRef(PyTuple_GET_ITEM(result, 0)));
    Py_XSETREF(func->kwdefaults, Py_NewRef(PyTuple_GET_ITEM(result, 1)));
    Py_DECREF(result);
    return 0;
}

// Reads the defaults tuple or the keyword-defaults dict; the first read of
// either, with a defaults getter installed, fills both.
PyObject *get_defaults_field(PyObject *func, PyObject *CyFunction::*field) noexcept {
    CyFunction *op = as_cyfunction(func);
    if (op->*field == nullptr) {
        if (op->defaults_getter == nullptr) {
            Py_RETURN_NONE;
        }
        if (cyfunction_init_defaults(op) < 0) {
            return nullptr;
        }
    }
    // Releasing the values that the getter's results replaced may have run
    // code that cleared the object again.
    return field_or_none(op->*field);
}

PyObject *cyfunction_get_doc(PyObject *func, void * /*context*/) noexcept {
    CyFunction *op = as_cyfunction(func);
    if (op->doc == nullptr && op->method->ml_doc == nullptr) {
        Py_RETURN_NONE;  // nothing to cache: a later read looks again
    }
    return lazy_field(op->doc, [op] { return PyUnicode_FromString(op->method->ml_doc); });
}

int cyfunction_set_doc(PyObject *func, PyObject *value, void * /*context*/) noexcept {
    Py_XSETREF(as_cyfunction(func)->doc, Py_NewRef(value != nullptr ? value : Py_None));
    return 0;
}

PyObject *cyfunction_get_name(PyObject *func, void * /*context*/) noexcept {
    CyFunction *op = as_cyfunction(func);
    return lazy_field(op->name, [op] { return PyUnicode_InternFromString(op->method->ml_name); });
}

int cyfunction_set_name(PyObject *func, PyObject *value, void * /*context*/) noexcept {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(as_cyfunction(func)->name, Py_NewRef(value));
    return 0;
}

// A cleared object (the collector broke a cycle through it) has no qualname;
// it then reads None rather than crashing or failing without an exception.
PyObject *cyfunction_get_qualname(PyObject *func, void * /*context*/) noexcept {
    return field_or_none(as_cyfunction(func)->qualname);
}

int cyfunction_set_qualname(PyObject *func, PyObject *value, void * /*context*/) noexcept {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(as_cyfunction(func)->qualname, Py_NewRef(value));
    return 0;
}

PyObject *cyfunction_get_self(PyObject *func, void * /*context*/) noexcept {
    return field_or_none(as_cyfunction(func)->closure);
}

PyObject *cyfunction_get_dict(PyObject *func, void * /*context*/) noexcept {
    return lazy_field(as_cyfunction(func)->dict, PyDict_New);
}

int cyfunction_set_dict(PyObject *func, PyObject *value, void * /*context*/) noexcept {
    if (value == nullptr) {
        PyErr_SetString(PyExc_TypeError, "function's dictionary may not be deleted");
        return -1;
    }
    if (!PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "setting function's dictionary to a non-dict");
        return -1;
    }
    Py_XSETREF(as_cyfunction(func)->dict, Py_NewRef(value));
    return 0;
}

// Like the qualname, the globals are gone only from a cleared object.
PyObject *cyfunction_get_globals(PyObject *func, void * /*context*/) noexcept {
    return field_or_none(as_cyfunction(func)->globals);
}

PyObject *cyfunction_get_closure(PyObject * /*func*/, void * /*context*/) noexcept { Py_RETURN_NONE; }

PyObject *cyfunction_get_code(PyObject *func, void * /*context*/) noexcept {
    return field_or_none(as_cyfunction(func)->code);
}

PyObject *cyfunction_get_defaults(PyObject *func, void * /*context*/) noexcept {
    return get_defaults_field(func, &CyFunction::defaults_tuple);
}

int cyfunction_set_defaults(PyObject *func, PyObject *value, void * /*context*/) noexcept {
    if (value == nullptr) {
        value = Py_None;
    } else if (value != Py_None && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XSETREF(as_cyfunction(func)->defaults_tuple, Py_NewRef(value));
    return 0;
}

PyObject *cyfunction_get_kwdefaults(PyObject *func, void * /*context*/) noexcept {
    return get_defaults_field(func, &CyFunction::kwdefaults);
}

int cyfunction_set_kwdefaults(PyObject *func, PyObject *value, void * /*context*/) noexcept {
    if (value == nullptr) {
        value = Py_None;
    } else if (value != Py_None && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_cyfunction(func)->kwdefaults, Py_NewRef(value));
    return 0;
}

PyObject *cyfunction_get_annotations(PyObject *func, void * /*context*/) noexcept {
    return lazy_field(as_cyfunction(func)->annotations, PyDict_New);
}

int cyfunction_set_annotations(PyObject *func, PyObject *value, void * /*context*/) noexcept {
    if (value == Py_None) {
        value = nullptr;  // None empties the field, like a deletion
    } else if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_cyfunction(func)->annotations, Py_XNewRef(value));
    return 0;
}

PyObject *cyfunction_reduce(PyObject *func, PyObject * /*args*/) noexcept {
    return cyfunction_get_qualname(func, nullptr);
}

}  // namespace

PyObject *cyfunction_repr(PyObject *func) noexcept {
    CyFunction *op = as_cyfunction(func);
    // A cleared object still has its method record, whose name stands in.
    if (op->qualname == nullptr) {
        return PyUnicode_FromFormat("<cyfunction %s at %p>", op->method->ml_name, func);
    }
    return PyUnicode_FromFormat("<cyfunction %U at %p>", op->qualname, func);
}

PyGetSetDef cyfunction_getsets[] = {
    {"func_doc", cyfunction_get_doc, cyfunction_set_doc, nullptr, nullptr},
    {"__doc__", cyfunction_get_doc, cyfunction_set_doc, nullptr, nullptr},
    {"func_name", cyfunction_get_name, cyfunction_set_name, nullptr, nullptr},
    {"__name__", cyfunction_get_name, cyfunction_set_name, nullptr, nullptr},
    {"__qualname__", cyfunction_get_qualname, cyfunction_set_qualname, nullptr, nullptr},
    {"__self__", cyfunction_get_self, nullptr, nullptr, nullptr},
    {"func_dict", cyfunction_get_dict, cyfunction_set_dict, nullptr, nullptr},
    {"__dict__", cyfunction_get_dict, cyfunction_set_dict, nullptr, nullptr},
    {"func_globals", cyfunction_get_globals, nullptr, nullptr, nullptr},
    {"__globals__", cyfunction_get_globals, nullptr, nullptr, nullptr},
    {"func_closure", cyfunction_get_closure, nullptr, nullptr, nullptr},
    {"__closure__", cyfunction_get_closure, nullptr, nullptr, nullptr},
    {"func_code", cyfunction_get_code, nullptr, nullptr, nullptr},
    {"__code__", cyfunction_get_code, nullptr, nullptr, nullptr},
    {"func_defaults", cyfunction_get_defaults, cyfunction_set_defaults, nullptr, nullptr},
    {"__defaults__", cyfunction_get_defaults, cyfunction_set_defaults, nullptr, nullptr},
    {"__kwdefaults__", cyfunction_get_kwdefaults, cyfunction_set_kwdefaults, nullptr, nullptr},
    {"__annotations__", cyfunction_get_annotations, cyfunction_set_annotations, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef cyfunction_members[] = {
    {"__module__", T_OBJECT, offsetof(CyFunction, module), PY_WRITE_RESTRICTED, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef cyfunction_methods[] = {
    {"__reduce__", cyfunction_reduce, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace velmo
