// The process-wide `cline_in_traceback` switch on the runtime module:
// whether traceback entries also name the implementation file and line.
#include "common/ref.h"
#include "traceback/traceback.h"

namespace velmo {

namespace {

// Borrowed value of the switch from the runtime module's dict, or NULL when
// absent. An unchanged dict is answered from the DictVersionCache.
PyObject *lookup_switch_in_dict(const TracebackContext &context, PyObject *dict) noexcept {
    DictVersionCache &cache = *context.switch_cache;
    uint64_t version = reinterpret_cast<PyDictObject *>(dict)->ma_version_tag;
    if (version == cache.version) {
        return cache.value;
    }
    PyObject *key = context.switch_name;
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

int implementation_line_for_traceback(const TracebackContext &context, int c_line) noexcept {
    PyObject *runtime = context.runtime_module;
    // Before the module has its runtime module, or before it has made the key
    // string, there is no switch to consult: show the line, which is what a
    // failing import most needs.
    if (runtime == nullptr || context.switch_name == nullptr) {
        return c_line;
    }

    PyObject **dict_ptr = _PyObject_GetDictPtr(runtime);
    PyObject *dict = dict_ptr != nullptr ? *dict_ptr : nullptr;
    // The common case: an unchanged dict whose switch was a plain True or
    // False. Nothing here can run code or fail, so the failure being reported
    // need not be moved aside.
    if (dict != nullptr) {
        const DictVersionCache &cache = *context.switch_cache;
        if (reinterpret_cast<PyDictObject *>(dict)->ma_version_tag == cache.version &&
            (cache.value == Py_True || cache.value == Py_False)) {
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
        value = Ref::borrow(lookup_switch_in_dict(context, dict));
    } else {
        getattrofunc getattro = Py_TYPE(runtime)->tp_getattro;
        Ref fetched = Ref::steal(getattro != nullptr ? getattro(runtime, context.switch_name)
                                                     : PyObject_GetAttr(runtime, context.switch_name));
        if (!fetched) {
            PyErr_Clear();
        } else {
            value = Ref::borrow(PyObject_Not(fetched.get()) != 0 ? Py_False : Py_True);
        }
    }

    if (!value) {
        // Record the default so that users find the switch where it lives.
        PyObject_SetAttr(runtime, context.switch_name, Py_False);
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
