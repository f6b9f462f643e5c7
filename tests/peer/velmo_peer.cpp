// velmo_peer: a test-only extension that follows velmo's registry conventions
// and builds function objects velmo itself never makes (other calling
// conventions, flags, closures, class objects, defaults, cleared objects).
#include <cstdint>
#include <cstring>

#include "function_type/cyfunction.h"

namespace {

using velmo::CyFunction;

// A NULL argument (METH_NOARGS, no keywords) is reported as None.
PyObject *or_none(PyObject *value) noexcept { return value != nullptr ? value : Py_None; }

// The underlying operation of METH_O, METH_NOARGS and METH_VARARGS records:
// returns (self, argument) so that tests see what the dispatch passed.
PyObject *echo(PyObject *self, PyObject *arg) noexcept { return PyTuple_Pack(2, self, or_none(arg)); }

// The underlying operation of keyword-taking records: returns (self, args, kw).
PyObject *echo_keywords(PyObject *self, PyObject *args, PyObject *kw) noexcept {
    return PyTuple_Pack(3, self, args, or_none(kw));
}

// The cast through void (*)(void) tells the compiler the signature change is intended.
PyCFunction as_cfunction(PyCFunctionWithKeywords entry) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(entry));
}

// Method records that make() can wrap, chosen by ml_name. Conventions 0, 2 and
// 5 are not valid: calls through them must be refused before the entry runs.
PyMethodDef records[] = {
    {"echo_o", echo, METH_O, nullptr},
    {"echo_noargs", echo, METH_NOARGS, nullptr},
    {"echo_varargs", echo, METH_VARARGS, nullptr},
    {"echo_varargs_kw", as_cfunction(echo_keywords), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"echo_conv0", echo, 0, nullptr},
    {"echo_conv2", as_cfunction(echo_keywords), METH_KEYWORDS, nullptr},
    {"echo_conv5", echo, METH_VARARGS | METH_NOARGS, nullptr},
    {"echo_o_coexist", echo, METH_O | METH_COEXIST, nullptr},  // a bit above the convention mask
    {"echo_doc", echo, METH_O, "Echo the argument."},
    {"echo_bad_doc", echo, METH_O, "\xff\xfe"},  // not valid UTF-8
    {nullptr, nullptr, 0, nullptr},
};

// id(func) -> [callable, number of calls], for the functions given a defaults
// getter. Entries outlive their function: an address reused by a later
// function only matters once set_defaults_getter replaces the entry.
PyObject *defaults_getters = nullptr;

CyFunction *as_cyfunction(PyObject *func) noexcept { return reinterpret_cast<CyFunction *>(func); }

// The function type of the process (velmo's, when velmo was imported first),
// fetched once at import; a new reference kept for the life of the process.
PyTypeObject *shared_type = nullptr;

PyTypeObject *function_type() noexcept { return shared_type; }

// Borrowed [callable, calls] entry of func, or NULL with an exception set.
PyObject *getter_entry(PyObject *func) noexcept {
    PyObject *key = PyLong_FromVoidPtr(func);
    if (key == nullptr) {
        return nullptr;
    }
    PyObject *entry = PyDict_GetItemWithError(defaults_getters, key);
    Py_DECREF(key);
    if (entry == nullptr && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_LookupError, "no defaults getter registered for this function");
    }
    return entry;
}

// The installed defaults getter: counts the call, then returns whatever the
// registered callable returns for func, even when that breaks the contract.
PyObject *call_registered_getter(PyObject *func) noexcept {
    PyObject *entry = getter_entry(func);
    if (entry == nullptr) {
        return nullptr;
    }
    PyObject *calls = PyLong_FromSsize_t(PyLong_AsSsize_t(PyList_GET_ITEM(entry, 1)) + 1);
    if (calls == nullptr || PyList_SetItem(entry, 1, calls) < 0) {
        return nullptr;
    }
    // The callable is held across the call: it may replace its own entry.
    PyObject *callable = Py_NewRef(PyList_GET_ITEM(entry, 0));
    PyObject *result = PyObject_CallOneArg(callable, func);
    Py_DECREF(callable);
    return result;
}

// Releases the leading object entries of a defaults block and frees it.
void free_defaults_block(void *block, int32_t count) noexcept {
    if (block == nullptr) {
        return;
    }
    auto **entries = static_cast<PyObject **>(block);
    for (int32_t i = 0; i < count; ++i) {
        Py_XDECREF(entries[i]);
    }
    PyObject_Free(block);
}

// make(record, flags=0, qualname=None, closure=None, module=None, globals=None, code=None):
// a new function object; None leaves closure, module and code NULL, makes the
// qualname the record's name and the globals a fresh dict.
PyObject *peer_make(PyObject * /*module*/, PyObject *args, PyObject *kw) noexcept {
    static const char *keywords[] = {"record", "flags",   "qualname", "closure",
                                     "module", "globals", "code",     nullptr};
    const char *record_name = nullptr;
    unsigned int flags = 0;
    PyObject *qualname = Py_None;
    PyObject *closure = Py_None;
    PyObject *module = Py_None;
    PyObject *globals = Py_None;
    PyObject *code = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "s|IOOOOO:make", const_cast<char **>(keywords), &record_name,
                                     &flags, &qualname, &closure, &module, &globals, &code)) {
        return nullptr;
    }
    PyMethodDef *record = records;
    while (record->ml_name != nullptr && std::strcmp(record->ml_name, record_name) != 0) {
        ++record;
    }
    if (record->ml_name == nullptr) {
        PyErr_Format(PyExc_ValueError, "no method record named %.200s", record_name);
        return nullptr;
    }
    if (qualname != Py_None && !PyUnicode_Check(qualname)) {
        PyErr_SetString(PyExc_TypeError, "qualname must be a str");
        return nullptr;
    }
    if (globals != Py_None && !PyDict_Check(globals)) {
        PyErr_SetString(PyExc_TypeError, "globals must be a dict");
        return nullptr;
    }
    if (code != Py_None && !PyCode_Check(code)) {
        PyErr_SetString(PyExc_TypeError, "code must be a code object");
        return nullptr;
    }

    PyObject *own_qualname =
        qualname != Py_None ? Py_NewRef(qualname) : PyUnicode_FromString(record->ml_name);
    PyObject *own_globals = globals != Py_None ? Py_NewRef(globals) : PyDict_New();
    PyObject *func = nullptr;
    if (own_qualname != nullptr && own_globals != nullptr) {
        func = velmo::cyfunction_new(
            function_type(), record, flags, own_qualname, closure != Py_None ? closure : nullptr,
            module != Py_None ? module : nullptr, own_globals, code != Py_None ? code : nullptr);
    }
    Py_XDECREF(own_qualname);
    Py_XDECREF(own_globals);
    return func;
}

// clear(func): runs the collector's clear operation on func, as when it breaks a cycle.
PyObject *peer_clear(PyObject * /*module*/, PyObject *args) noexcept {
    PyObject *func;
    if (!PyArg_ParseTuple(args, "O!:clear", function_type(), &func)) {
        return nullptr;
    }
    velmo::cyfunction_clear(func);
    Py_RETURN_NONE;
}

// function_type(): the function type this module's objects use.
PyObject *peer_function_type(PyObject * /*module*/, PyObject * /*unused*/) noexcept {
    return Py_NewRef(reinterpret_cast<PyObject *>(function_type()));
}

// set_class_object(func, obj): stores obj in the class-object field; None empties it.
PyObject *peer_set_class_object(PyObject * /*module*/, PyObject *args) noexcept {
    PyObject *func;
    PyObject *value;
    if (!PyArg_ParseTuple(args, "O!O:set_class_object", function_type(), &func, &value)) {
        return nullptr;
    }
    Py_XSETREF(as_cyfunction(func)->class_object, value != Py_None ? Py_NewRef(value) : nullptr);
    Py_RETURN_NONE;
}

// set_defaults_block(func, entries): replaces the defaults block by a new one
// holding the items of the tuple entries, None stored as NULL.
PyObject *peer_set_defaults_block(PyObject * /*module*/, PyObject *args) noexcept {
    PyObject *func;
    PyObject *entries;
    if (!PyArg_ParseTuple(args, "O!O!:set_defaults_block", function_type(), &func, &PyTuple_Type, &entries)) {
        return nullptr;
    }
    Py_ssize_t count = PyTuple_GET_SIZE(entries);
    if (count > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "too many defaults");
        return nullptr;
    }
    // One spare byte past the entries stands for the creator's own data,
    // which the function type must leave alone.
    size_t size = static_cast<size_t>(count) * sizeof(PyObject *) + 1;
    auto **block = static_cast<PyObject **>(PyObject_Malloc(size));
    if (block == nullptr) {
        return PyErr_NoMemory();
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *item = PyTuple_GET_ITEM(entries, i);
        block[i] = item != Py_None ? Py_NewRef(item) : nullptr;
    }
    CyFunction *op = as_cyfunction(func);
    // Install the new block before releasing the old one: a release may run
    // code that looks at the function.
    void *old_block = op->defaults_block;
    int32_t old_count = op->defaults_count;
    op->defaults_block = block;
    op->defaults_count = static_cast<int32_t>(count);
    op->defaults_size = size;
    free_defaults_block(old_block, old_count);
    Py_RETURN_NONE;
}

// set_defaults_getter(func, callable): installs a defaults getter returning callable(func).
PyObject *peer_set_defaults_getter(PyObject * /*module*/, PyObject *args) noexcept {
    PyObject *func;
    PyObject *callable;
    if (!PyArg_ParseTuple(args, "O!O:set_defaults_getter", function_type(), &func, &callable)) {
        return nullptr;
    }
    PyObject *key = PyLong_FromVoidPtr(func);
    PyObject *entry = Py_BuildValue("[Oi]", callable, 0);
    int status = -1;
    if (key != nullptr && entry != nullptr) {
        status = PyDict_SetItem(defaults_getters, key, entry);
    }
    Py_XDECREF(key);
    Py_XDECREF(entry);
    if (status < 0) {
        return nullptr;
    }
    as_cyfunction(func)->defaults_getter = call_registered_getter;
    Py_RETURN_NONE;
}

// defaults_getter_calls(func): how often the defaults getter of func has run.
PyObject *peer_defaults_getter_calls(PyObject * /*module*/, PyObject *args) noexcept {
    PyObject *func;
    if (!PyArg_ParseTuple(args, "O!:defaults_getter_calls", function_type(), &func)) {
        return nullptr;
    }
    PyObject *entry = getter_entry(func);
    return entry != nullptr ? Py_NewRef(PyList_GET_ITEM(entry, 1)) : nullptr;
}

// SilentFailure(in_truth): an object of a faulty extension type that fails
// without setting an exception. Its == (against anything) returns NULL, or,
// with in_truth, another such object, whose truth test returns -1.
struct SilentFailure {
    PyObject ob_base;
    int in_truth;  // == succeeds and the truth test of its result fails
};

PyObject *silent_failure_new(PyTypeObject *type, PyObject *args, PyObject *kw) noexcept {
    int in_truth = 0;
    static const char *keywords[] = {"in_truth", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kw, "|p:SilentFailure", const_cast<char **>(keywords),
                                     &in_truth)) {
        return nullptr;
    }
    PyObject *self = type->tp_alloc(type, 0);
    if (self != nullptr) {
        reinterpret_cast<SilentFailure *>(self)->in_truth = in_truth;
    }
    return self;
}

PyObject *silent_failure_richcompare(PyObject *self, PyObject * /*other*/, int /*op*/) noexcept {
    if (!reinterpret_cast<SilentFailure *>(self)->in_truth) {
        return nullptr;  // the fault: no exception set
    }
    return PyObject_CallNoArgs(reinterpret_cast<PyObject *>(Py_TYPE(self)));
}

int silent_failure_bool(PyObject * /*self*/) noexcept { return -1; }  // the fault: no exception set

PyType_Slot silent_failure_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(silent_failure_new)},
    {Py_tp_richcompare, reinterpret_cast<void *>(silent_failure_richcompare)},
    {Py_nb_bool, reinterpret_cast<void *>(silent_failure_bool)},
    {Py_tp_hash, reinterpret_cast<void *>(PyObject_HashNotImplemented)},
    {0, nullptr},
};

PyType_Spec silent_failure_spec = {"velmo_peer.SilentFailure", sizeof(SilentFailure), 0, Py_TPFLAGS_DEFAULT,
                                   silent_failure_slots};

PyMethodDef peer_methods[] = {
    {"make", as_cfunction(peer_make), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"clear", peer_clear, METH_VARARGS, nullptr},
    {"function_type", peer_function_type, METH_NOARGS, nullptr},
    {"set_class_object", peer_set_class_object, METH_VARARGS, nullptr},
    {"set_defaults_block", peer_set_defaults_block, METH_VARARGS, nullptr},
    {"set_defaults_getter", peer_set_defaults_getter, METH_VARARGS, nullptr},
    {"defaults_getter_calls", peer_defaults_getter_calls, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef peer_def = {
    PyModuleDef_HEAD_INIT, "velmo_peer", nullptr, -1, peer_methods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_velmo_peer(void) noexcept {
    // The type velmo registered when it was imported first, otherwise this
    // library's own type, now registered.
    Py_XSETREF(shared_type, velmo::fetch_shared_function_type());
    if (shared_type == nullptr) {
        return nullptr;
    }
    if (defaults_getters == nullptr) {
        defaults_getters = PyDict_New();
        if (defaults_getters == nullptr) {
            return nullptr;
        }
    }
    PyObject *module = PyModule_Create(&peer_def);
    if (module == nullptr) {
        return nullptr;
    }
    PyObject *silent_failure = PyType_FromSpec(&silent_failure_spec);
    if (silent_failure == nullptr || PyModule_AddObject(module, "SilentFailure", silent_failure) < 0) {
        Py_XDECREF(silent_failure);
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
