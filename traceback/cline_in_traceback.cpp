// The process-wide `cline_in_traceback` switch on the module "cython_runtime":
// whether traceback entries also name the implementation file and line.
#include "common/python_compat.h"
#include "module/module_state.h"
#include "traceback/traceback.h"

namespace velmo {

namespace {

// Borrowed value of the switch from the runtime module's dict, or NULL when
// absent. An unchanged dict is answered from DictVersionCache, where the
// interpreter offers a version tag to tell.
PyObject *lookup_switch_in_dict(PyObject *dict) noexcept {
    DictVersionCache &cache = module_state.cline_cache;
    uint64_t version = compat::dict_version_tag(dict);  // 0: none to trust, look up every time
    if (version != 0 && version == cache.version) {
        return cache.value;
    }
    PyObject *key = module_state.str_cline_in_traceback;
    Py_hash_t hash = reinterpret_cast<PyASCIIObject *>(key)->hash;
    PyObject *value = _PyDict_GetItem_KnownHash(dict, key, hash);
    if (value == nullptr && PyErr_Occurred()) {
        // A failed lookup counts as absent; the store of the default that
        // follows must not run with this error pending.
        PyErr_Clear();
    }
    cache.value = value;
    cache.version = version;
    return value;
}

}  // namespace

// The calling thread's exception is saved and restored through the error
// API, which acts on that same thread; `tstate` is not needed for it.
int implementation_line_for_traceback(PyThreadState * /*tstate*/, int c_line) noexcept {
    PyObject *runtime = module_state.runtime_module;
    // Before execution has the runtime module, or before it has made the key
    // string, there is no switch to consult: show the line, which is what a
    // failing import most needs.
    if (runtime == nullptr || module_state.str_cline_in_traceback == nullptr) {
        return c_line;
    }

    compat::SavedException saved = compat::save_exception();

    PyObject *value = nullptr;  // owned for the rest of the decision
    PyObject **dict_ptr = _PyObject_GetDictPtr(runtime);
    if (dict_ptr != nullptr && *dict_ptr != nullptr) {
        value = lookup_switch_in_dict(*dict_ptr);
        // The truth test below may run arbitrary code that drops the dict's
        // reference; hold our own while we look at it.
        Py_XINCREF(value);
    } else {
        getattrofunc getattro = Py_TYPE(runtime)->tp_getattro;
        PyObject *fetched = getattro != nullptr
                                ? getattro(runtime, module_state.str_cline_in_traceback)
                                : PyObject_GetAttr(runtime, module_state.str_cline_in_traceback);
        if (fetched == nullptr) {
            PyErr_Clear();
        } else {
            value = PyObject_Not(fetched) != 0 ? Py_False : Py_True;
            Py_INCREF(value);
            Py_DECREF(fetched);
        }
    }

    int result;
    if (value == nullptr) {
        result = 0;
        // Record the default so that users find the switch where it lives.
        PyObject_SetAttr(runtime, module_state.str_cline_in_traceback, Py_False);
    } else if (value == Py_False) {
        result = 0;
    } else if (value == Py_True) {
        result = c_line;
    } else {
        result = PyObject_Not(value) == 0 ? c_line : 0;
    }
    Py_XDECREF(value);

    // Errors of the lookup, the truth test or the store are dropped here: the
    // failure being reported is the one that must stay current.
    compat::restore_exception(saved);
    return result;
}

}  // namespace velmo
