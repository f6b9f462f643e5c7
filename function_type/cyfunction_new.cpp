// cyfunction_new: construction of a function object of the shared function type.
#include <cstring>

#include "function_type/cyfunction.h"

namespace velmo {

PyObject *cyfunction_new(PyTypeObject *type, PyMethodDef *method, uint32_t flags, PyObject *qualname,
                         PyObject *closure, PyObject *module, PyObject *globals, PyObject *code) noexcept {
    // The fetch has established that `type` allocates records of our size.
    CyFunction *op = PyObject_GC_New(CyFunction, type);
    if (op == nullptr) {
        return nullptr;
    }
    // No failures from here on: every field gets its value before the
    // collector can see the object. Zeroing also covers the vectorcall slot
    // and the alignment gaps, which nothing reads.
    std::memset(reinterpret_cast<char *>(op) + sizeof(PyObject), 0, sizeof(CyFunction) - sizeof(PyObject));
    op->flags = flags;
    op->method = method;
    op->self = reinterpret_cast<PyObject *>(op);  // not counted: it is the object itself
    op->closure = Py_XNewRef(closure);
    op->module = Py_XNewRef(module);
    op->qualname = Py_NewRef(qualname);
    op->globals = Py_NewRef(globals);
    op->code = Py_XNewRef(code);
    PyObject_GC_Track(op);
    return reinterpret_cast<PyObject *>(op);
}

}  // namespace velmo
