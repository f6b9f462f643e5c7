// The static type object of `cython_function_or_method`, its shared
// registration (fetch_shared_function_type) and the object's lifetime slots:
// traversal, clearing and destruction.
#include "common/python_compat.h"
#include "function_type/cyfunction.h"

namespace velmo {

// One slot a line, in the order of PyTypeObject.
// clang-format off
PyTypeObject cyfunction_type = {
    PyVarObject_HEAD_INIT(nullptr, 0)
    "cython_function_or_method",  // tp_name: no dotted prefix, shared by name
    kCyFunctionBasicSize,         // tp_basicsize
    0,                            // tp_itemsize
    cyfunction_dealloc,           // tp_dealloc
    0,                            // tp_vectorcall_offset: every call goes through tp_call
    nullptr,                      // tp_getattr
    nullptr,                      // tp_setattr
    nullptr,                      // tp_as_async
    cyfunction_repr,              // tp_repr
    nullptr,                      // tp_as_number
    nullptr,                      // tp_as_sequence
    nullptr,                      // tp_as_mapping
    nullptr,                      // tp_hash
    cyfunction_call,              // tp_call
    nullptr,                      // tp_str
    nullptr,                      // tp_getattro
    nullptr,                      // tp_setattro
    nullptr,                      // tp_as_buffer
    Py_TPFLAGS_HAVE_GC,           // tp_flags: not subclassable, no vectorcall
    nullptr,                      // tp_doc
    cyfunction_traverse,          // tp_traverse
    cyfunction_clear,             // tp_clear
    nullptr,                      // tp_richcompare
    offsetof(CyFunction, weakreflist),  // tp_weaklistoffset
    nullptr,                      // tp_iter
    nullptr,                      // tp_iternext
    cyfunction_methods,           // tp_methods
    cyfunction_members,           // tp_members
    cyfunction_getsets,           // tp_getset
    nullptr,                      // tp_base
    nullptr,                      // tp_dict
    cyfunction_descr_get,         // tp_descr_get
    nullptr,                      // tp_descr_set
    offsetof(CyFunction, dict),   // tp_dictoffset
    nullptr,                      // tp_init
    nullptr,                      // tp_alloc
    nullptr,                      // tp_new: not instantiable from Python
    nullptr,                      // tp_free
    nullptr,                      // tp_is_gc
    nullptr,                      // tp_bases
    nullptr,                      // tp_mro
    nullptr,                      // tp_cache
    nullptr,                      // tp_subclasses
    nullptr,                      // tp_weaklist
    nullptr,                      // tp_del
    0,                            // tp_version_tag
    nullptr,                      // tp_finalize
    nullptr,                      // tp_vectorcall
    VELMO_COMPAT_TYPE_TRAILING_FIELDS
};
// clang-format on

PyTypeObject *fetch_shared_function_type() noexcept {
    PyObject *registry = compat::import_add_module_ref(kRegistryModuleName);
    if (registry == nullptr) {
        return nullptr;
    }

    PyTypeObject *result = nullptr;
    PyObject *found = PyObject_GetAttrString(registry, cyfunction_type.tp_name);
    if (found != nullptr) {
        // Objects are allocated with the registered type's size and read
        // with our layout, so a type of another size must never be used.
        if (!PyType_Check(found)) {
            PyErr_Format(PyExc_TypeError, "Shared Cython type %.200s is not a type object",
                         cyfunction_type.tp_name);
            Py_DECREF(found);
        } else if (reinterpret_cast<PyTypeObject *>(found)->tp_basicsize != cyfunction_type.tp_basicsize) {
            PyErr_Format(PyExc_TypeError, "Shared Cython type %.200s has the wrong size, try recompiling",
                         cyfunction_type.tp_name);
            Py_DECREF(found);
        } else {
            result = reinterpret_cast<PyTypeObject *>(found);
        }
    } else if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        if (PyType_Ready(&cyfunction_type) == 0 &&
            PyObject_SetAttrString(registry, cyfunction_type.tp_name,
                                   reinterpret_cast<PyObject *>(&cyfunction_type)) == 0) {
            Py_INCREF(&cyfunction_type);
            result = &cyfunction_type;
        }
    }

    Py_DECREF(registry);
    return result;
}

int cyfunction_traverse(PyObject *func, visitproc visit, void *arg) noexcept {
    auto *op = reinterpret_cast<CyFunction *>(func);
    Py_VISIT(op->closure);
    Py_VISIT(op->module);
    Py_VISIT(op->dict);
    Py_VISIT(op->name);
    Py_VISIT(op->qualname);
    Py_VISIT(op->doc);
    Py_VISIT(op->globals);
    Py_VISIT(op->code);
    Py_VISIT(op->class_object);
    Py_VISIT(op->defaults_tuple);
    Py_VISIT(op->kwdefaults);
    Py_VISIT(op->annotations);
    if (op->defaults_block != nullptr) {
        auto **entries = static_cast<PyObject **>(op->defaults_block);
        for (int32_t i = 0; i < op->defaults_count; ++i) {
            Py_VISIT(entries[i]);
        }
    }
    return 0;
}

int cyfunction_clear(PyObject *func) noexcept {
    auto *op = reinterpret_cast<CyFunction *>(func);
    // Py_CLEAR empties each field before releasing it, so code that a release
    // runs sees a consistent, partly cleared object.
    Py_CLEAR(op->closure);
    Py_CLEAR(op->module);
    Py_CLEAR(op->dict);
    Py_CLEAR(op->name);
    Py_CLEAR(op->qualname);
    Py_CLEAR(op->doc);
    Py_CLEAR(op->globals);
    Py_CLEAR(op->code);
    Py_CLEAR(op->class_object);
    Py_CLEAR(op->defaults_tuple);
    Py_CLEAR(op->kwdefaults);
    Py_CLEAR(op->annotations);
    if (op->defaults_block != nullptr) {
        // Detach the block before releasing its entries: a finaliser run by a
        // release may install a new block, which must not be freed unreleased
        // and must not pull this one from under the loop. The count keeps its
        // value; the NULL block alone marks the defaults as gone.
        auto **entries = static_cast<PyObject **>(op->defaults_block);
        int32_t count = op->defaults_count;
        op->defaults_block = nullptr;
        for (int32_t i = 0; i < count; ++i) {
            Py_CLEAR(entries[i]);
        }
        PyObject_Free(entries);
    }
    return 0;
}

void cyfunction_dealloc(PyObject *func) noexcept {
    auto *op = reinterpret_cast<CyFunction *>(func);
    PyObject_GC_UnTrack(func);
    // Weak-reference callbacks may look at the function: they run before any
    // field is released.
    if (op->weakreflist != nullptr) {
        PyObject_ClearWeakRefs(func);
    }
    cyfunction_clear(func);
    PyObject_GC_Del(func);
}

}  // namespace velmo
