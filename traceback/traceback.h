// Synthetic traceback entries for failures inside an extension module, the
// cache of the code objects behind them, and the process-wide
// `cline_in_traceback` switch. This layer keeps no state of its own: the
// module that reports a failure hands in its globals, its switch and caches.
#ifndef VELMO_TRACEBACK_TRACEBACK_H
#define VELMO_TRACEBACK_TRACEBACK_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace velmo {

struct CodeCacheEntry {
    PyCodeObject *code;  // owned; replaced only by an insertion under the same key
    int32_t key;         // -implementation line when one is shown, else Python line; never 0
};

// Sorted array of code objects, one per key, kept for the life of the process.
// Invariants while `entries` is set: 1 <= count <= capacity, capacity is a
// multiple of 64, the first `count` keys are strictly ascending and non-zero.
struct CodeObjectCache {
    int32_t count;            // entries in use
    int32_t capacity;         // entries the array has room for
    CodeCacheEntry *entries;  // PyMem_Malloc'd; NULL until the first insertion
};

// Remembers the last dictionary lookup of `cline_in_traceback`, so that an
// unchanged runtime-module dict costs one version-tag comparison. Where the
// interpreter offers no usable tag, every failure looks the switch up: one
// lookup on a path that builds a frame and a traceback entry anyway, where a
// dict watcher would take one of the interpreter's few watcher slots and run
// on every write to the runtime module's dict.
struct DictVersionCache {
    uint64_t version;  // compat::dict_version_tag at the last lookup; 0 (no tag) matches no dict
    PyObject *value;   // borrowed: what that lookup found, NULL when absent
};

// Growth step of the code-object cache, in entries.
inline constexpr int32_t kCodeCacheStep = 64;

// Everything add_traceback needs of the module that reports a failure: where
// that module keeps its globals, runtime module and switch name (read at
// each failure, so one context serves the module's whole life while those
// fields are filled and refilled), and its caches. All borrowed from the
// module, which keeps them alive.
struct TracebackContext {
    PyObject *const *globals;         // every entry's frame runs in them; NULL there: no entry is added
    PyObject *const *runtime_module;  // holds the switch; NULL there: implementation lines are shown
    PyObject *const *switch_name;     // "cline_in_traceback", hash computed; NULL there: lines shown
    const char *implementation_file;  // named beside the implementation line
    CodeObjectCache *code_cache;
    DictVersionCache *switch_cache;
};

// Appends an entry naming `filename`, `funcname` and `py_line` to the pending
// exception's traceback; the exception stays pending. `c_line` is the failure
// site's implementation line, 0 for none. Reports nothing to the caller.
void add_traceback(const TracebackContext &context, const char *funcname, int c_line, int py_line,
                   const char *filename) noexcept;

// `c_line` when the switch says implementation lines are shown, else 0. Leaves
// the pending exception exactly as it found it.
int implementation_line_for_traceback(const TracebackContext &context, int c_line) noexcept;

// New reference to the code object cached under `key`, or NULL (no exception).
PyCodeObject *find_code_object(const CodeObjectCache &cache, int key) noexcept;

// Caches `code` under `key` (the cache takes its own reference). Key 0 and
// memory exhaustion leave the cache unchanged without raising.
void insert_code_object(CodeObjectCache &cache, int key, PyCodeObject *code) noexcept;

// Index of `key` among the first `count` entries, or where it would be
// inserted. `count` must be at least 1.
int bisect_code_objects(const CodeCacheEntry *entries, int count, int key) noexcept;

}  // namespace velmo

#endif  // VELMO_TRACEBACK_TRACEBACK_H
