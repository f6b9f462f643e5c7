// Synthetic traceback entries for failures inside an extension module, the
// cache of the code objects behind them, and the process-wide implementation
// line switch (the runtime module's `cline_in_traceback`). A failure site is a value of this layer; the
// module that reports a failure hands in the site, its globals, its runtime
// module and the switch's key string, and one TracebackCache it keeps.
#ifndef VELMO_TRACEBACK_TRACEBACK_H
#define VELMO_TRACEBACK_TRACEBACK_H

#include "common/python_compat.h"

#include <cstdint>

namespace velmo {

// Where a failure happened, as its traceback entry names it. All texts are
// static, NUL-terminated UTF-8.
struct FailureSite {
    const char *filename;             // the Python source file the entry names
    const char *implementation_file;  // named beside the implementation line
    const char *function;             // the entry's function name
    int implementation_line;          // stable identifier of the site; 0 for none
    int python_line;                  // line of `filename`
};

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

// The last dictionary lookup of the switch, so that an unchanged dict of the
// runtime module costs one comparison of version tags. Only 3.10 and 3.11
// keep a tag (compat::dict_version_tag); from 3.12 on `version` stays 0 and
// every failure looks the switch up.
struct DictVersionCache {
    uint64_t version;  // the dict's version tag at that lookup; 0 (none to trust) matches no dict
    PyObject *value;   // borrowed: what that lookup found, NULL when absent
};

// Everything this layer remembers between failures, in one object that the
// reporting module keeps for the life of the process (all fields zero at
// first).
struct TracebackCache {
    CodeObjectCache code_objects;
    DictVersionCache switch_value;
};

// Growth step of the code-object cache, in entries.
inline constexpr int32_t kCodeCacheStep = 64;

// Appends the entry of `site` to the pending exception's traceback, with a
// frame in `globals`; the exception stays pending. A failure that left none
// pending is reported as SystemError("error return without exception set"),
// as the evaluation loop reports it. Without globals no entry is added.
// `runtime_module` holds the switch and `switch_name` is its key string, hash
// computed; either NULL (a module not yet complete) shows the implementation
// line. Reports nothing to the caller.
void add_traceback(TracebackCache &cache, const FailureSite &site, PyObject *globals,
                   PyObject *runtime_module, PyObject *switch_name) noexcept;

// `implementation_line` when the switch on `runtime_module` says
// implementation lines are shown, else 0. Called with no exception pending;
// errors met while reading, testing or setting the switch are cleared.
int implementation_line_for_traceback(DictVersionCache &cache, PyObject *runtime_module,
                                      PyObject *switch_name, int implementation_line) noexcept;

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
