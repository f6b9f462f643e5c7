// reference_floor: an object whose type has only tp_call, and that call
// returns None at once. No call through tp_call can cost less; whatever velmo
// costs above it is its dispatch and its body.
#include "common/python_compat.h"

namespace {

PyObject *floor_function_type;  // owned, made by the first execution; never released

PyObject *floor_call(PyObject * /*callable*/, PyObject * /*args*/, PyObject * /*kwargs*/) noexcept {
    Py_RETURN_NONE;
}

void floor_dealloc(PyObject *self) noexcept {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_Free(self);
    Py_DECREF(type);  // instances of a heap type own a reference to it
}

// A heap type, like the ideal one beside it, for the same reason.
PyType_Slot floor_type_slots[] = {
    {Py_tp_call, reinterpret_cast<void *>(floor_call)},
    {Py_tp_dealloc, reinterpret_cast<void *>(floor_dealloc)},
    {0, nullptr},
};

PyType_Spec floor_type_spec = {
    "reference_floor.floor_function",                        // name
    static_cast<int>(sizeof(PyObject)),                      // basicsize
    0,                                                       // itemsize
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,  // flags: no vectorcall
    floor_type_slots,                                        // slots
};

int floor_exec(PyObject *module) noexcept {
    if (floor_function_type == nullptr &&
        (floor_function_type = PyType_FromSpec(&floor_type_spec)) == nullptr) {
        return -1;
    }
    PyObject *func = PyObject_New(PyObject, reinterpret_cast<PyTypeObject *>(floor_function_type));
    if (func == nullptr) {
        return -1;
    }
    int added = PyModule_AddObject(module, "fun_hello", func);
    if (added < 0) {
        Py_DECREF(func);  // PyModule_AddObject steals only on success
    }
    return added;
}

PyModuleDef_Slot floor_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(floor_exec)},
    {0, nullptr},
};

PyModuleDef floor_module_def = {
    PyModuleDef_HEAD_INIT,
    "reference_floor",  // m_name
    nullptr,            // m_doc
    0,                  // m_size: the type is process-wide
    nullptr,            // m_methods
    floor_slots,        // m_slots
    nullptr,            // m_traverse
    nullptr,            // m_clear
    nullptr,            // m_free
};

}  // namespace

PyMODINIT_FUNC PyInit_reference_floor() { return PyModuleDef_Init(&floor_module_def); }
