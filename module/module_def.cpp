// The module as the interpreter sees it: the entry point PyInit_velmo, the
// multi-phase module definition and the creation slot module_create.
#include "common/ref.h"
#include "module/module.h"
#include "module/module_state.h"

namespace velmo {

namespace {

PyObject *module_create(PyObject *spec, PyModuleDef *definition) noexcept;

PyMethodDef module_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(module_create)},
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    {0, nullptr},
};

struct SpecAttribute {
    const char *attribute;  // on the import spec
    const char *key;        // in the module's dict
    bool store_none;        // a None value is stored, or silently skipped
};

constexpr SpecAttribute kSpecAttributes[] = {
    {"loader", "__loader__", true},
    {"origin", "__file__", true},
    {"parent", "__package__", true},
    {"submodule_search_locations", "__path__", false},
};

// Copies one spec attribute into `dict`. A missing attribute is no error.
int copy_spec_attribute(PyObject *spec, PyObject *dict, const SpecAttribute &row) noexcept {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, row.attribute));
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return 0;
        }
        return -1;
    }
    if (!row.store_none && value.get() == Py_None) {
        return 0;
    }
    return PyDict_SetItemString(dict, row.key, value.get()) < 0 ? -1 : 0;
}

// The module object an earlier creation made, for a load that overlaps the
// one it was made for. The interpreter marks a module object as executed when
// its execution starts, and skips the execution of a load whose creation
// handed it back before that: such a load would end with the module half
// built, without waiting for it. So a module that no load has begun to
// execute is executed here first (or waited for, should another thread begin
// meanwhile). One that an execution is building goes back as it is: the
// interpreter unmarks it, and this load's execution waits for that one, or,
// nested in it, gets the module as far as it is built.
PyObject *hand_back_created() noexcept {
    Ref created = Ref::borrow(module_state.created);
    if (module_state.executing_thread == 0 && module_exec(created.get()) < 0) {
        return nullptr;
    }
    return created.release();
}

PyModuleDef velmo_module_def = {
    PyModuleDef_HEAD_INIT,
    "velmo",         // m_name
    nullptr,         // m_doc
    0,               // m_size: all state is the process-wide ModuleState
    module_methods,  // m_methods: fun_hello is bound by execution instead
    module_slots,    // m_slots
    nullptr,         // m_traverse
    nullptr,         // m_clear
    nullptr,         // m_free: ModuleState outlives every module object
};

PyObject *module_create(PyObject *spec, PyModuleDef * /*definition*/) noexcept {
    // The state is process-wide, so only the first interpreter may own it.
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (module_state.interpreter_id == -1) {
        module_state.interpreter_id = id;
        if (id == -1) {
            return nullptr;
        }
    } else if (module_state.interpreter_id != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter "
                        "per process.");
        return nullptr;
    }

    if (module_state.module != nullptr) {
        return Py_NewRef(module_state.module);
    }
    if (module_state.created != nullptr) {
        return hand_back_created();
    }

    Ref module;
    {
        Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
        if (!name) {
            return nullptr;
        }
        module = Ref::steal(PyModule_NewObject(name.get()));
    }
    if (!module) {
        return nullptr;
    }
    PyObject *dict = PyModule_GetDict(module.get());  // borrowed
    if (dict == nullptr) {
        return nullptr;
    }
    // Claimed before the ModuleSpec's attributes are copied: a property among
    // them runs Python code, during which another thread may create the
    // module. (Reading the name of a ModuleSpec-like object may run some too.)
    if (module_state.created != nullptr) {
        return hand_back_created();
    }
    module_state.created = Py_NewRef(module.get());
    for (const SpecAttribute &row : kSpecAttributes) {
        if (copy_spec_attribute(spec, dict, row) < 0) {
            if (module_state.created == module.get()) {
                Py_CLEAR(module_state.created);
            }
            return nullptr;
        }
    }
    return module.release();
}

}  // namespace

}  // namespace velmo

PyMODINIT_FUNC PyInit_velmo(void) { return PyModuleDef_Init(&velmo::velmo_module_def); }
