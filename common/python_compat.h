// Every difference between the CPython versions velmo supports (those that
// python_versions.txt lists, standard builds) and nothing else: the rest of
// the tree is written once against these shims and never tests a version
// itself. Each shim offers the newest spelling of a call to the older
// versions, says which versions need it, and what replaces it once the oldest
// supported version moves past them.
#ifndef VELMO_COMMON_PYTHON_COMPAT_H
#define VELMO_COMMON_PYTHON_COMPAT_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

// The build refuses any other version when it is configured; this refuses
// it again when a source is compiled, with the bounds that the build takes
// from python_versions.txt.
#ifndef VELMO_SUPPORTED_PYTHONS
#error "velmo's sources are compiled by its CMake project, which defines the supported versions"
#elif PY_VERSION_HEX < VELMO_PYTHON_OLDEST_HEX || PY_VERSION_HEX >= VELMO_PYTHON_PAST_NEWEST_HEX
static_assert(false, "velmo supports " VELMO_SUPPORTED_PYTHONS);
#endif

// The shared 184-byte function record, the process-wide module state and the
// caches behind traceback entries are all guarded by the GIL alone, and the
// free-threaded object header is larger than the one the frozen layout
// starts with.
#ifdef Py_GIL_DISABLED
#error "velmo needs the standard build of CPython, with the GIL; this one is free-threaded"
#endif

// A debug interpreter's objects and reference totals follow Py_DEBUG's rules,
// which the inline API compiles into velmo; a build for one that missed them
// would count references wrongly and skip the interpreter's checks. The build
// asks the interpreter (VELMO_PYTHON_DEBUG); this stops a compile whose
// headers say otherwise, either way.
#if defined(VELMO_PYTHON_DEBUG) != defined(Py_DEBUG)
#error "the interpreter's build (debug or release) and the Py_DEBUG of its headers disagree"
#endif

#if PY_VERSION_HEX < 0x030B0000
// 3.10 only: the int internals and the frame record are separate headers;
// from 3.11 on Python.h brings the former and the latter is opaque.
#include <frameobject.h>
#include <longintrepr.h>
#endif

// ---------------------------------------------------------------------------
// Backports: calls of the newer versions under their own names, defined here
// for the older ones. The rest of the tree calls them as the newest version
// spells them; once the oldest supported version has a call, its block goes.

#if PY_VERSION_HEX < 0x030C0000
// 3.10 and 3.11. 3.12 changed the int record: the sign and digit count moved
// into a tag, and Py_SIZE on an int still compiles but reads that tag,
// silently giving a wrong size; these two calls are the way to read small
// ints from 3.12 on. Compact: one digit, |n| < 2**30 with the 30-bit digits
// of every supported 64-bit build.
static inline int PyUnstable_Long_IsCompact(const PyLongObject *number) {
    Py_ssize_t size = Py_SIZE(number);
    return -1 <= size && size <= 1;
}

static inline Py_ssize_t PyUnstable_Long_CompactValue(const PyLongObject *number) {
    Py_ssize_t size = Py_SIZE(number);
    // 3.10 allocates no digit at all for zero.
    return size == 0 ? 0 : size * static_cast<Py_ssize_t>(number->ob_digit[0]);
}

// 3.10 and 3.11: the constructor of a code object from its parts, with the
// list of them 3.11 has (3.11 added the qualified name and the exception
// table, which 3.10 has no use for and drops). From 3.12 on PyCode_New is a
// deprecated alias of this name; no stable constructor takes the parts.
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

#if PY_VERSION_HEX < 0x030D0000
// 3.10 to 3.12. 1 with a new reference to the value, 0 with NULL when the key
// is absent, -1 with NULL and an exception set when the lookup fails (a key
// whose comparison raises); built from PyDict_GetItemWithError, which hands
// out a borrowed reference.
static inline int PyDict_GetItemRef(PyObject *dict, PyObject *key, PyObject **result) {
    PyObject *value = PyDict_GetItemWithError(dict, key);
    *result = Py_XNewRef(value);
    if (value != nullptr) {
        return 1;
    }
    return PyErr_Occurred() != nullptr ? -1 : 0;
}

// 3.10 to 3.12. New reference to sys.modules[name], created as an empty module
// when absent; PyImport_AddModule, which 3.13 deprecates, hands out a
// borrowed one.
static inline PyObject *PyImport_AddModuleRef(const char *name) {
    return Py_XNewRef(PyImport_AddModule(name));
}
#endif

namespace velmo::compat {

// ---------------------------------------------------------------------------
// The pending exception, moved aside and put back.
//
// 3.12+ keep one exception object (PyErr_GetRaisedException); 3.10 and 3.11
// keep the (type, value, traceback) triple of PyErr_Fetch, whose value may
// not be normalised yet, and it is put back as it was. PyErr_Fetch and
// PyErr_Restore are deprecated from 3.12 on, and 3.12's PyErr_Restore
// normalises at once. Once 3.12 is the oldest version, SavedException becomes
// the bare exception object.

#if PY_VERSION_HEX >= 0x030C0000
struct SavedException {
    PyObject *exception;  // owned; NULL when nothing was pending
};

// Takes the pending exception out of the thread state (none left pending).
inline SavedException save_exception() noexcept { return {PyErr_GetRaisedException()}; }

// Makes `saved` the pending exception again, replacing whatever is pending
// now; consumes `saved`.
inline void restore_exception(SavedException saved) noexcept { PyErr_SetRaisedException(saved.exception); }

// Releases `saved` without raising it again.
inline void discard_exception(SavedException saved) noexcept { Py_XDECREF(saved.exception); }
#else
struct SavedException {
    PyObject *type;       // owned; all three NULL when nothing was pending
    PyObject *value;      // owned or NULL; possibly not an instance of type yet
    PyObject *traceback;  // owned or NULL
};

inline SavedException save_exception() noexcept {
    SavedException saved;
    PyErr_Fetch(&saved.type, &saved.value, &saved.traceback);
    return saved;
}

inline void restore_exception(SavedException saved) noexcept {
    PyErr_Restore(saved.type, saved.value, saved.traceback);
}

inline void discard_exception(SavedException saved) noexcept {
    Py_XDECREF(saved.type);
    Py_XDECREF(saved.value);
    Py_XDECREF(saved.traceback);
}
#endif

// ---------------------------------------------------------------------------
// Frames.

// Records `line` as the line a new frame object stands at. Only 3.10 has the
// field; from 3.11 on the frame record is opaque. Nothing is lost there: a
// frame that has not run reports its code object's first line, and the code
// object behind every traceback entry starts at the entry's line, so on 3.10
// the store only repeats it. Goes once 3.11 is the oldest version.
inline void frame_set_lineno(PyFrameObject *frame, int line) noexcept {
#if PY_VERSION_HEX < 0x030B0000
    frame->f_lineno = line;
#else
    (void)frame;
    (void)line;
#endif
}

// ---------------------------------------------------------------------------
// Dicts.

// Version stamps of a dict, for caches of a lookup in it: two equal non-zero
// stamps mean the same dict, unchanged in between; 0 means there is none to
// trust, and the caller looks up afresh. dict_version_tag only reads (it may
// run with an exception pending); dict_track_version, called before a lookup
// whose result is cached, makes the dict's later stamps non-zero where it can.
//
// 3.10 and 3.11: the dict's version tag (PEP 509), unique across dicts and
// bumped by every change; tracking is needless. From 3.12 on the tag is
// deprecated (its bits serve dict watchers), and a dict watcher
// (PyDict_AddWatcher) keeps the stamp instead: one dict at a time is tracked,
// and every event on it (an insertion, change, deletion, clear, clone or its
// deallocation) and every switch to another dict bumps one counter. When no
// watcher slot is free, stamps stay 0. The watcher belongs to the
// interpreter, which forgets its watchers when it is finalised; a Py_AtExit
// hook then forgets the watcher's id too, so an embedding that starts the
// interpreter again registers afresh. Until then the watcher lives with the
// interpreter: the module has no free function, and velmo's state lives as
// long. The 3.12 branch is what stays once 3.12 is the oldest version.
#if PY_VERSION_HEX >= 0x030C0000
namespace dict_watch {
inline int watcher_id = -1;          // ours in the running interpreter; -1 before registration
inline bool unavailable = false;     // no slot was free (or no exit hook): stamps stay 0
inline bool exit_hook_set = false;   // the Py_AtExit hook is registered once per process
inline PyObject *tracked = nullptr;  // identity only, never dereferenced; NULL once it goes
inline uint64_t stamp = 1;           // the tracked dict's current stamp; never 0

inline int on_event(PyDict_WatchEvent event, PyObject *dict, PyObject * /*key*/,
                    PyObject * /*new_value*/) noexcept {
    // Dicts tracked earlier stay watched; their events no longer matter.
    if (dict == tracked) {
        ++stamp;
        if (event == PyDict_EVENT_DEALLOCATED) {
            tracked = nullptr;  // a new dict at the same address is not this one
        }
    }
    return 0;
}

// Runs after the interpreter is gone (no C API call is allowed there).
inline void forget() noexcept {
    watcher_id = -1;
    unavailable = false;
    tracked = nullptr;
    ++stamp;
}
}  // namespace dict_watch

inline uint64_t dict_version_tag(PyObject *dict) noexcept {
    return dict == dict_watch::tracked ? dict_watch::stamp : 0;
}

// Never raises; call it with no exception pending.
inline void dict_track_version(PyObject *dict) noexcept {
    namespace w = dict_watch;
    if (dict == w::tracked || w::unavailable) {
        return;
    }
    if (w::watcher_id < 0) {
        if (!w::exit_hook_set) {
            if (Py_AtExit(w::forget) < 0) {
                w::unavailable = true;
                return;
            }
            w::exit_hook_set = true;
        }
        w::watcher_id = PyDict_AddWatcher(w::on_event);
        if (w::watcher_id < 0) {
            PyErr_Clear();  // every slot is taken: look up afresh each time
            w::unavailable = true;
            return;
        }
    }
    if (PyDict_Watch(w::watcher_id, dict) < 0) {
        PyErr_Clear();
        return;
    }
    w::tracked = dict;
    ++w::stamp;
}
#else
inline uint64_t dict_version_tag(PyObject *dict) noexcept {
    return reinterpret_cast<PyDictObject *>(dict)->ma_version_tag;
}

inline void dict_track_version(PyObject * /*dict*/) noexcept {}
#endif

// Borrowed instance dict of `object`, or NULL when it has none (yet); never
// makes one. A type that keeps it at a fixed offset (a module does) is read
// without a call. Anything else asks the interpreter, which from 3.11 on may
// build a managed dict from the inline attribute values then, so call it with
// no exception pending. No public call reads the dict without making one
// (PyObject_GenericGetDict makes it), and 3.14 and 3.15 still export
// _PyObject_GetDictPtr.
inline PyObject *instance_dict(PyObject *object) noexcept {
    Py_ssize_t offset = Py_TYPE(object)->tp_dictoffset;
    PyObject **slot = offset > 0 ? reinterpret_cast<PyObject **>(reinterpret_cast<char *>(object) + offset)
                                 : _PyObject_GetDictPtr(object);
    return slot != nullptr ? *slot : nullptr;
}

// Borrowed value of `key` in `dict`, or NULL when absent or when the lookup
// fails (a key whose comparison raises), leaving any pending exception as it
// was, and saying nothing either way: PyDict_GetItemString as 3.10 to 3.12
// have it. 3.13's PyDict_GetItemString reports each error it swallows to
// sys.unraisablehook, so an import would print "Exception ignored ..."; the
// same quiet lookup is spelled out there. Goes with its callers' move to
// lookups that report errors (PyDict_GetItemStringRef, 3.13+).
inline PyObject *dict_get_item_string_quiet(PyObject *dict, const char *key) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    SavedException saved = save_exception();
    PyObject *value = nullptr;
    PyObject *key_object = PyUnicode_FromString(key);
    if (key_object != nullptr) {
        value = PyDict_GetItemWithError(dict, key_object);  // borrowed; the dict keeps it
        Py_DECREF(key_object);
    }
    restore_exception(saved);  // replaces whatever the lookup raised
    return value;
#else
    return PyDict_GetItemString(dict, key);
#endif
}

}  // namespace velmo::compat

// ---------------------------------------------------------------------------
// Static type objects.
//
// Initialisers for the PyTypeObject fields after tp_vectorcall, for a type
// object spelled out field by field: 3.12 added tp_watched, 3.13
// tp_versions_used and 3.15 _tp_iteritem (the interpreter's own, always
// null in a static type), and leaving them out of the initialiser trips
// -Wmissing-field-initializers. Written last in the initialiser, after
// tp_vectorcall's trailing comma; a macro because it expands to initialisers,
// not to a value.
#if PY_VERSION_HEX >= 0x030F0000
#define VELMO_COMPAT_TYPE_TRAILING_FIELDS \
    0, /* tp_watched */ 0, /* tp_versions_used */ nullptr, /* _tp_iteritem */
#elif PY_VERSION_HEX >= 0x030D0000
#define VELMO_COMPAT_TYPE_TRAILING_FIELDS 0, /* tp_watched */ 0, /* tp_versions_used */
#elif PY_VERSION_HEX >= 0x030C0000
#define VELMO_COMPAT_TYPE_TRAILING_FIELDS 0, /* tp_watched */
#else
#define VELMO_COMPAT_TYPE_TRAILING_FIELDS
#endif

#endif  // VELMO_COMMON_PYTHON_COMPAT_H
