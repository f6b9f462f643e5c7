// callgrind_marker: a function that does nothing but stand at a known name,
// so that `valgrind --tool=callgrind --dump-before=callgrind_marker_boundary`
// cuts the profile into parts wherever Python code calls boundary().
#include "common/python_compat.h"

// A C name, so that callgrind's pattern needs no mangling; never inlined,
// since only a real entry into it triggers the dump.
extern "C" __attribute__((noinline)) PyObject *callgrind_marker_boundary(PyObject * /*module*/,
                                                                         PyObject * /*unused*/) noexcept {
    Py_RETURN_NONE;
}

namespace {

PyMethodDef marker_methods[] = {
    {"boundary", callgrind_marker_boundary, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef marker_module_def = {
    PyModuleDef_HEAD_INIT,
    "callgrind_marker",  // m_name
    nullptr,             // m_doc
    0,                   // m_size
    marker_methods,      // m_methods
    nullptr,             // m_slots
    nullptr,             // m_traverse
    nullptr,             // m_clear
    nullptr,             // m_free
};

}  // namespace

PyMODINIT_FUNC PyInit_callgrind_marker() { return PyModuleDef_Init(&marker_module_def); }
