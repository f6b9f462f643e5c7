// The process-wide `cline_in_traceback` switch on the runtime module:
// whether traceback entries also name the implementation file and line.
#include "common/python_compat.h"
#include "common/ref.h"
#include "traceback/traceback.h"

namespace velmo {

namespace {

// Borrowed value of the switch from the runtime module's dict, or NULL when
// absent. An unchanged dict (same `version`, the dict's tag) is answered from
// the DictVersionCache; version 0 means the interpreter offers no tag to tell.
PyObject *lookup_switch_in_dict(const TracebackContext &context, PyObject *dict, uint64_t version) noexcept {
    DictVersionCache &cache = *context.switch_cache;
    if (version != 0 && version == cache.version) {
        return cache.value;
    }
    PyObject *key = *context.switch_name;
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

// Where `object` keeps its instance dict, or NULL. A module (what the runtime
// module is) keeps it at a fixed offset, read here without a call on every
// failure; anything else asks the interpreter.
PyObject **instance_dict_slot(PyObject *object) noexcept {
    Py_ssize_t offset = Py_TYPE(object)->tp_dictoffset;
    if (offset > 0) {
        return reinterpret_cast<PyObject **>(reinterpret_cast<char *>(object) + offset);
    }
    return _PyObject_GetDictPtr(object);
}

}  // namespace

int implementation_line_for_traceback(const TracebackContext &context, int c_line) noexcept {
    PyObject *runtime = *context.runtime_module;
    PyObject *switch_name = *context.switch_name;
    // Before the module has its runtime module, or before it has made the key
    // string, there is no switch to consult: show the line, which is what a
    // failing import most needs.
    if (runtime == nullptr || switch_name == nullptr) {
        return c_line;
    }

    PyObject **dict_ptr = instance_dict_slot(runtime);
    PyObject *dict = dict_ptr != nullptr ? *dict_ptr : nullptr;
    uint64_t version = dict != nullptr ? compat::dict_version_tag(dict) : 0;  // 0: none to trust
    // The common case: an unchanged dict whose switch was a plain True or
    // False. Nothing here can run code or fail, so the failure being reported
    // need not be moved aside.
    if (version != 0) {
        const DictVersionCache &cache = *context.switch_cache;
        if (version == cache.version && (cache.value == Py_True || cache.value == Py_False)) {
            return cache.value == Py_True ? c_line : 0;
        }
    }

    // Errors of the lookup, the truth test or the store are dropped when the
    // guard goes: the failure being reported is the one that must stay current.
    SavedException reported;

    Ref value;
    if (dict != nullptr) {
        // The truth test below may run arbitrary code that drops the dict's
        // reference; hold our own while we look at it.
        value = Ref::borrow(lookup_switch_in_dict(context, dict, version));
    } else {
        getattrofunc getattro = Py_TYPE(runtime)->tp_getattro;
        Ref fetched = Ref::steal(getattro != nullptr ? getattro(runtime, switch_name)
                                                     : PyObject_GetAttr(runtime, switch_name));
        if (!fetched) {
            PyErr_Clear();
        } else {
            value = Ref::borrow(PyObject_Not(fetched.get()) != 0 ? Py_False : Py_True);
        }
    }

    if (!value) {
        // Record the default so that users find the switch where it lives.
        PyObject_SetAttr(runtime, switch_name, Py_False);
        return 0;
    }
    if (value.get() == Py_False) {
        return 0;
    }
    if (value.get() == Py_True) {
        return c_line;
    }
    return PyObject_Not(value.get()) == 0 ? c_line : 0;
}

}  // namespace velmo
