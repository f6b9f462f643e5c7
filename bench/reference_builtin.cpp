// reference_builtin: fun_hello as a plain C-API module with one METH_O
// built-in, the interpreter's own fastest way to call a C function (it has
// vectorcall, so no argument tuple is made).
#include "bench/reference_body.h"

namespace {

velmo_bench::BodyConstants constants;

PyObject *builtin_fun_hello(PyObject * /*module*/, PyObject *s) noexcept {
    return velmo_bench::fun_hello_body(constants, s);
}

int builtin_exec(PyObject * /*module*/) noexcept { return velmo_bench::init_body_constants(constants); }

PyObject *builtin_set_answers(PyObject * /*module*/, PyObject *args) noexcept {
    return velmo_bench::set_answers(constants, args);
}

PyMethodDef builtin_methods[] = {
    {"fun_hello", builtin_fun_hello, METH_O, nullptr},
    {"set_answers", builtin_set_answers, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot builtin_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(builtin_exec)},
    {0, nullptr},
};

PyModuleDef builtin_module_def = {
    PyModuleDef_HEAD_INIT,
    "reference_builtin",  // m_name
    nullptr,              // m_doc
    0,                    // m_size: the constants are process-wide
    builtin_methods,      // m_methods
    builtin_slots,        // m_slots
    nullptr,              // m_traverse
    nullptr,              // m_clear
    nullptr,              // m_free
};

}  // namespace

PyMODINIT_FUNC PyInit_reference_builtin() { return PyModuleDef_Init(&builtin_module_def); }
