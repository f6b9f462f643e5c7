// reference_ideal: the least a function type shaped like velmo's needs to make
// a call. Like velmo's type it has tp_call and no vectorcall, and dispatches
// through a METH_O method record; it does nothing else, so its cost is what
// velmo's call path could come down to without changing its shape. A failing
// call gets the traceback entry velmo makes, with the same public calls and
// nothing more: the switch read as cheaply as the interpreter allows, a code
// object made once per name, PyFrame_New in the module's globals with the
// failure moved aside, and PyTraceBack_Here.
#include "bench/reference_body.h"
#include "common/python_compat.h"

#include <frameobject.h>  // after Python.h, which it relies on

namespace {

struct IdealFunction {
    PyObject ob_base;
    PyMethodDef *method;  // borrowed, static; always METH_O
    PyObject *self;       // not counted; first argument of the method, NULL here
};

velmo_bench::BodyConstants constants;
PyObject *ideal_function_type;   // owned, made by the first execution; never released
PyObject *entry_globals;         // owned: the module's dict, where entries' frames run
PyCodeObject *entry_code;        // owned: the entry's code object, made by the first execution
PyCodeObject *entry_code_shown;  // owned: the same, named with its implementation line
PyObject *switch_dict;           // owned: the dict of the runtime module that holds the switch
PyObject *switch_key;            // owned: "cline_in_traceback", interned

// Whether the switch shows implementation lines. Where the dict keeps a
// version tag (3.10, 3.11) an unchanged dict needs no lookup, which velmo's
// cache also answers by a comparison; elsewhere a conforming entry costs at
// least one lookup of the interned key and the value's truth test.
bool switch_is_on() noexcept {
    if (velmo::compat::dict_version_tag(switch_dict) != 0) {
        return false;
    }
    PyObject *value = nullptr;
    int found = PyDict_GetItemRef(switch_dict, switch_key, &value);
    if (found < 0) {
        PyErr_Clear();
    }
    if (found <= 0) {
        // As velmo does, so that both find the same dict whichever runs first.
        if (PyDict_SetItem(switch_dict, switch_key, Py_False) < 0) {
            PyErr_Clear();
        }
        return false;
    }
    int truth = PyObject_IsTrue(value);
    Py_DECREF(value);
    if (truth < 0) {
        PyErr_Clear();
    }
    return truth > 0;
}

// The entry of a failing call. The benchmark's failing argument fails the
// first comparison, on line 2, which is the one entry made here.
void add_entry() noexcept {
    velmo::compat::RaisedException reported = velmo::compat::save_exception();
    PyCodeObject *code = switch_is_on() ? entry_code_shown : entry_code;
    PyFrameObject *frame = PyFrame_New(PyThreadState_Get(), code, entry_globals, nullptr);
    if (frame == nullptr) {
        velmo::compat::restore_exception(reported);
        return;
    }
    velmo::compat::frame_set_lineno(frame, 2);
    velmo::compat::restore_exception(reported);
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

PyObject *ideal_fun_hello(PyObject * /*self*/, PyObject *s) noexcept {
    PyObject *result = velmo_bench::fun_hello_body(constants, s);
    if (result == nullptr) {
        add_entry();
    }
    return result;
}

PyMethodDef ideal_fun_hello_method = {"fun_hello", ideal_fun_hello, METH_O, nullptr};

PyObject *ideal_call(PyObject *callable, PyObject *args, PyObject *kwargs) noexcept {
    auto *func = reinterpret_cast<IdealFunction *>(callable);
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", func->method->ml_name);
        return nullptr;
    }
    Py_ssize_t size = PyTuple_GET_SIZE(args);
    if (size != 1) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes exactly one argument (%zd given)",
                     func->method->ml_name, size);
        return nullptr;
    }
    return func->method->ml_meth(func->self, PyTuple_GET_ITEM(args, 0));
}

void ideal_dealloc(PyObject *self) noexcept {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_Free(self);
    Py_DECREF(type);  // instances of a heap type own a reference to it
}

// A heap type, so that the one definition holds whatever PyTypeObject looks
// like in the interpreter built against; calls read tp_call from a heap type
// exactly as from a static one.
PyType_Slot ideal_type_slots[] = {
    {Py_tp_call, reinterpret_cast<void *>(ideal_call)},
    {Py_tp_dealloc, reinterpret_cast<void *>(ideal_dealloc)},
    {0, nullptr},
};

PyType_Spec ideal_type_spec = {
    "reference_ideal.ideal_function",                        // name
    static_cast<int>(sizeof(IdealFunction)),                 // basicsize
    0,                                                       // itemsize
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,  // flags: no vectorcall
    ideal_type_slots,                                        // slots
};

int ideal_exec(PyObject *module) noexcept {
    if (velmo_bench::init_body_constants(constants) < 0) {
        return -1;
    }
    if (ideal_function_type == nullptr &&
        (ideal_function_type = PyType_FromSpec(&ideal_type_spec)) == nullptr) {
        return -1;
    }
    if (entry_code == nullptr &&
        (entry_code = PyCode_NewEmpty("reference_ideal.py", "reference_ideal.fun_hello", 2)) == nullptr) {
        return -1;
    }
    if (entry_code_shown == nullptr &&
        (entry_code_shown = PyCode_NewEmpty("reference_ideal.py", "reference_ideal.fun_hello (ideal.cpp:1)",
                                            2)) == nullptr) {
        return -1;
    }
    if (switch_key == nullptr && (switch_key = PyUnicode_InternFromString("cline_in_traceback")) == nullptr) {
        return -1;
    }
    // The runtime module velmo shares, made here when velmo is not loaded.
    PyObject *runtime = PyImport_AddModuleRef("cython_runtime");
    if (runtime == nullptr) {
        return -1;
    }
    Py_XSETREF(switch_dict, Py_NewRef(PyModule_GetDict(runtime)));
    Py_DECREF(runtime);
    Py_XSETREF(entry_globals, Py_NewRef(PyModule_GetDict(module)));
    // As in velmo's globals, so that the frame finds its builtins alike.
    PyObject *builtins = PyImport_ImportModule("builtins");
    if (builtins == nullptr) {
        return -1;
    }
    int stored = PyDict_SetItemString(entry_globals, "__builtins__", builtins);
    Py_DECREF(builtins);
    if (stored < 0) {
        return -1;
    }
    IdealFunction *func = PyObject_New(IdealFunction, reinterpret_cast<PyTypeObject *>(ideal_function_type));
    if (func == nullptr) {
        return -1;
    }
    func->method = &ideal_fun_hello_method;
    func->self = nullptr;
    int added = PyModule_AddObject(module, "fun_hello", reinterpret_cast<PyObject *>(func));
    if (added < 0) {
        Py_DECREF(func);  // PyModule_AddObject steals only on success
    }
    return added;
}

PyObject *ideal_set_answers(PyObject * /*module*/, PyObject *args) noexcept {
    return velmo_bench::set_answers(constants, args);
}

PyMethodDef ideal_module_methods[] = {
    {"set_answers", ideal_set_answers, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot ideal_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(ideal_exec)},
    {0, nullptr},
};

PyModuleDef ideal_module_def = {
    PyModuleDef_HEAD_INIT,
    "reference_ideal",     // m_name
    nullptr,               // m_doc
    0,                     // m_size: the constants and the type are process-wide
    ideal_module_methods,  // m_methods
    ideal_slots,           // m_slots
    nullptr,               // m_traverse
    nullptr,               // m_clear
    nullptr,               // m_free
};

}  // namespace

PyMODINIT_FUNC PyInit_reference_ideal() { return PyModuleDef_Init(&ideal_module_def); }
