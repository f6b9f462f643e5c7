// The one place where the CPython versions velmo supports (python_versions.txt,
// standard builds) differ, and the one header through which the tree includes
// Python.h, so that a shim written here is seen everywhere.
//
// Backports come first: a call of a newer version under its own public name,
// defined here for the versions before it, so that the rest of the tree is
// written once as the newest version spells it. Each names the release that
// added the call and goes once the oldest supported version has it. After
// them come the few differences that no public call can paper over without
// changing behaviour; each says why it is not a backport and when it goes.
#ifndef VELMO_COMMON_PYTHON_COMPAT_H
#define VELMO_COMMON_PYTHON_COMPAT_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#if PY_VERSION_HEX < 0x030B0000
// 3.10 only: the int internals and the frame record are separate headers;
// from 3.11 on Python.h brings the former and the latter is opaque.
#include <frameobject.h>
#include <longintrepr.h>
#endif

// ---------------------------------------------------------------------------
// Backports.

#if PY_VERSION_HEX < 0x030C0000
// PyUnstable_Long_IsCompact and PyUnstable_Long_CompactValue, added in 3.12,
// here for 3.10 and 3.11. 3.12 changed the int record: the sign and digit
// count moved into a tag, and Py_SIZE on an int still compiles but reads that
// tag, silently giving a wrong size; these two calls are the way to read small
// ints from 3.12 on. Compact: one digit, |n| < 2**30 with the 30-bit digits of
// every supported 64-bit build.
static inline int PyUnstable_Long_IsCompact(const PyLongObject *number) {
    Py_ssize_t size = Py_SIZE(number);
    return -1 <= size && size <= 1;
}

static inline Py_ssize_t PyUnstable_Long_CompactValue(const PyLongObject *number) {
    Py_ssize_t size = Py_SIZE(number);
    // 3.10 allocates no digit at all for zero.
    return size == 0 ? 0 : size * static_cast<Py_ssize_t>(number->ob_digit[0]);
}

// PyUnstable_Code_New, added in 3.12 (where PyCode_New becomes its deprecated
// alias), here for 3.10 and 3.11: the constructor of a code object from its
// parts, with the list of them 3.11 has (3.11 added the qualified name and the
// exception table, which 3.10 has no use for and drops). No stable
// constructor takes the parts.
static inline PyCodeObject *PyUnstable_Code_New(int argcount, int kwonlyargcount, int nlocals, int stacksize,
                                                int flags, PyObject *code, PyObject *consts, PyObject *names,
                                                PyObject *varnames, PyObject *freevars, PyObject *cellvars,
                                                PyObject *filename, PyObject *name, PyObject *qualname,
                                                int firstlineno, PyObject *linetable,
                                                PyObject *exceptiontable) {
#if PY_VERSION_HEX >= 0x030B0000
    return PyCode_New(argcount, kwonlyargcount, nlocals, stacksize, flags, code, consts, names, varnames,
                      freevars, cellvars, filename, name, qualname, firstlineno, linetable, exceptiontable);
#else
    (void)qualname;
    (void)exceptiontable;
    return PyCode_New(argcount, kwonlyargcount, nlocals, stacksize, flags, code, consts, names, varnames,
                      freevars, cellvars, filename, name, firstlineno, linetable);
#endif
}
#endif

#if PY_VERSION_HEX < 0x030B0000
// PyCode_GetCode, added in 3.11, here for 3.10: a new reference to a code
// object's instructions as bytes (what co_code reads). 3.10 keeps them as
// that bytes object itself; 3.11 and later make the bytes from the
// instructions they keep in the code object.
static inline PyObject *PyCode_GetCode(PyCodeObject *code) { return Py_NewRef(code->co_code); }
#endif

#if PY_VERSION_HEX < 0x030D0000
// PyDict_GetItemRef, added in 3.13, here for 3.10 to 3.12: 1 with a new
// reference to the value, 0 with NULL when the key is absent, -1 with NULL and
// an exception set when the lookup fails (a key whose comparison raises);
// built from PyDict_GetItemWithError, which hands out a borrowed reference.
static inline int PyDict_GetItemRef(PyObject *dict, PyObject *key, PyObject **result) {
    PyObject *value = PyDict_GetItemWithError(dict, key);
    *result = Py_XNewRef(value);
    if (value != nullptr) {
        return 1;
    }
    return PyErr_Occurred() != nullptr ? -1 : 0;
}

// PyDict_GetItemStringRef, added in 3.13, here for 3.10 to 3.12: the same with
// the key given as UTF-8 text (-1 also when the key's str cannot be made).
static inline int PyDict_GetItemStringRef(PyObject *dict, const char *key, PyObject **result) {
    PyObject *key_object = PyUnicode_FromString(key);
    if (key_object == nullptr) {
        *result = nullptr;
        return -1;
    }
    int found = PyDict_GetItemRef(dict, key_object, result);
    Py_DECREF(key_object);
    return found;
}

// PyImport_AddModuleRef, added in 3.13, here for 3.10 to 3.12: a new reference
// to sys.modules[name], created as an empty module when absent;
// PyImport_AddModule, which 3.13 deprecates, hands out a borrowed one.
static inline PyObject *PyImport_AddModuleRef(const char *name) {
    return Py_XNewRef(PyImport_AddModule(name));
}
#endif

// ---------------------------------------------------------------------------
// Differences that are not backports.

namespace velmo::compat {

// The pending exception, moved aside and put back as it was. 3.12 keeps one
// exception object (PyErr_GetRaisedException); 3.10 and 3.11 keep the (type,
// value, traceback) triple of PyErr_Fetch, whose value may not be normalised
// yet. A backport of PyErr_GetRaisedException would have to normalise it on
// 3.10 and 3.11, which can run the exception class's __init__, allocate, and
// raise something else in place of the failure being kept aside; the triple
// is put back untouched instead. (PyErr_Fetch and PyErr_Restore are
// deprecated from 3.12 on, and 3.12's PyErr_Restore normalises at once.) Once
// 3.12 is the oldest version, RaisedException becomes the bare exception
// object and these three calls the public ones.
#if PY_VERSION_HEX >= 0x030C0000
struct RaisedException {
    PyObject *exception;  // owned; NULL when nothing was pending
};

// Takes the pending exception out of the thread state (none left pending).
inline RaisedException save_exception() noexcept { return {PyErr_GetRaisedException()}; }

// Makes `saved` the pending exception again, replacing whatever is pending
// now; consumes `saved`.
inline void restore_exception(RaisedException saved) noexcept { PyErr_SetRaisedException(saved.exception); }

// Releases `saved` without raising it again.
inline void discard_exception(RaisedException saved) noexcept { Py_XDECREF(saved.exception); }

// Whether an exception was pending when `saved` was taken.
inline bool holds_exception(const RaisedException &saved) noexcept { return saved.exception != nullptr; }
#else
struct RaisedException {
    PyObject *type;       // owned; all three NULL when nothing was pending
    PyObject *value;      // owned or NULL; possibly not an instance of type yet
    PyObject *traceback;  // owned or NULL
};

inline RaisedException save_exception() noexcept {
    RaisedException saved;
    PyErr_Fetch(&saved.type, &saved.value, &saved.traceback);
    return saved;
}

inline void restore_exception(RaisedException saved) noexcept {
    PyErr_Restore(saved.type, saved.value, saved.traceback);
}

inline void discard_exception(RaisedException saved) noexcept {
    Py_XDECREF(saved.type);
    Py_XDECREF(saved.value);
    Py_XDECREF(saved.traceback);
}

inline bool holds_exception(const RaisedException &saved) noexcept { return saved.type != nullptr; }
#endif

// Records `line` as the line a new frame object stands at. Only 3.10 has the
// field; from 3.11 on the frame record is opaque and no call sets it, so there
// is nothing to backport. Nothing is lost there: a frame that has not run
// reports its code object's first line, and the code object behind every
// traceback entry starts at the entry's line, so on 3.10 the store only
// repeats it. Goes once 3.11 is the oldest version.
inline void frame_set_lineno(PyFrameObject *frame, int line) noexcept {
#if PY_VERSION_HEX < 0x030B0000
    frame->f_lineno = line;
#else
    (void)frame;
    (void)line;
#endif
}

// The dict's version tag (PEP 509) on 3.10 and 3.11: unique across dicts and
// bumped by every change, so two equal non-zero tags mean the same dict,
// unchanged in between, and a lookup cached under one needs no repeating.
// Only reads; it may run with an exception pending. From 3.12 on the tag is
// deprecated (its bits serve dict watchers) and 0 is returned: there is no
// tag to trust, and callers look up afresh. No public call replaces the tag
// (watching the dict instead would take one of the interpreter's few
// dict-watcher ids for the life of the process). Goes once 3.12 is the oldest
// version, and with it the cache it serves.
inline uint64_t dict_version_tag(PyObject *dict) noexcept {
#if PY_VERSION_HEX < 0x030C0000
    return reinterpret_cast<PyDictObject *>(dict)->ma_version_tag;
#else
    (void)dict;
    return 0;
#endif
}

}  // namespace velmo::compat

#endif  // VELMO_COMMON_PYTHON_COMPAT_H
