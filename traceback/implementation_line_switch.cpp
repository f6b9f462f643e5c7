// The implementation line switch: the runtime module's process-wide
// `cline_in_traceback` attribute, which decides whether traceback entries
// also name the implementation file and line.
#include "common/python_compat.h"
#include "common/ref.h"
#include "traceback/traceback.h"

namespace velmo {

namespace {

// Borrowed instance dict of `object`, or NULL when it has none (yet); never
// makes one. A type that keeps it at a fixed offset (a module does) is read
// without a call. Anything else asks the interpreter, which from 3.11 on may
// build a managed dict from the inline attribute values then, so call it with
// no exception pending. No public call reads the dict without making one
// (PyObject_GenericGetDict makes it); _PyObject_GetDictPtr is private, and a
// version that drops it needs a shim in the compatibility header.
PyObject *instance_dict(PyObject *object) noexcept {
    Py_ssize_t offset = Py_TYPE(object)->tp_dictoffset;
    PyObject **slot = offset > 0 ? reinterpret_cast<PyObject **>(reinterpret_cast<char *>(object) + offset)
                                 : _PyObject_GetDictPtr(object);
    return slot != nullptr ? *slot : nullptr;
}

// The switch's value in the runtime module's dict, looked up, or an empty
// Ref when it is absent; remembered under the dict's `version` tag (0 from
// 3.12 on, which no later failure trusts).
Ref lookup_switch_in_dict(DictVersionCache &cache, PyObject *dict, PyObject *key, uint64_t version) noexcept {
    PyObject *found = nullptr;
    if (PyDict_GetItemRef(dict, key, &found) < 0) {
        PyErr_Clear();  // a failed lookup counts as absent
    }
    cache.value = found;  // the dict keeps it while the tag stays
    cache.version = version;
    return Ref::steal(found);
}

// Whether `value` is true, an error counting as false.
bool switch_is_on(PyObject *value) noexcept {
    int is_false = PyObject_Not(value);
    if (is_false < 0) {
        PyErr_Clear();
    }
    return is_false == 0;
}

// The switch fetched as an attribute, for a runtime module without an
// instance dict, reduced to True or False; empty when the fetch fails.
[[gnu::noinline]] Ref fetch_switch(PyObject *runtime_module, PyObject *switch_name) noexcept {
    Ref fetched = Ref::steal(PyObject_GetAttr(runtime_module, switch_name));
    if (!fetched) {
        PyErr_Clear();  // a failed fetch of any kind counts as absent
        return {};
    }
    return Ref::borrow(switch_is_on(fetched.get()) ? Py_True : Py_False);
}

// The decision for a switch that is absent (`value` NULL) or not a plain
// bool, which runs code: the store of the default, or the value's truth
// test. `value` is borrowed; the caller holds it while that code runs. Out
// of line: failures mostly find True or False.
[[gnu::noinline]] int decide_slowly(PyObject *runtime_module, PyObject *switch_name, PyObject *value,
                                    int implementation_line) noexcept {
    if (value == nullptr) {
        // Record the default so that users find the switch where it lives.
        if (PyObject_SetAttr(runtime_module, switch_name, Py_False) < 0) {
            PyErr_Clear();
        }
        return 0;
    }
    return switch_is_on(value) ? implementation_line : 0;
}

}  // namespace

int implementation_line_for_traceback(DictVersionCache &cache, PyObject *runtime_module,
                                      PyObject *switch_name, int implementation_line) noexcept {
    // Before the module has its runtime module, or before it has made the key
    // string, there is no switch to consult: show the line, which is what a
    // failing import most needs.
    if (runtime_module == nullptr || switch_name == nullptr) {
        return implementation_line;
    }
    PyObject *dict = instance_dict(runtime_module);
    // Held while the decision runs code that may drop the dict's reference.
    Ref value;
    if (dict != nullptr) {
        // Taken before any lookup: a change that the lookup itself makes (a
        // colliding key's __eq__) leaves the cache behind the dict, never
        // ahead.
        uint64_t version = compat::dict_version_tag(dict);
        if (version != 0 && version == cache.version) {
            // The common case on 3.10 and 3.11, decided by reads alone: a
            // dict unchanged since its switch read a plain True or False.
            if (cache.value == Py_True || cache.value == Py_False) {
                return cache.value == Py_True ? implementation_line : 0;
            }
            value = Ref::borrow(cache.value);
        } else {
            value = lookup_switch_in_dict(cache, dict, switch_name, version);
        }
    } else {
        value = fetch_switch(runtime_module, switch_name);
    }
    // The common case from 3.12 on: one lookup that finds True or False.
    if (value.get() == Py_True || value.get() == Py_False) {
        return value.get() == Py_True ? implementation_line : 0;
    }
    return decide_slowly(runtime_module, switch_name, value.get(), implementation_line);
}

}  // namespace velmo
