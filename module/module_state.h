// The module-wide state of velmo: one process-wide record that the
// execution slot fills, the table of its string constants, and the two
// operations on that state: building the constants and reporting a failure.
#ifndef VELMO_MODULE_MODULE_STATE_H
#define VELMO_MODULE_MODULE_STATE_H

#include "common/python_compat.h"

#include <cstdint>

#include "traceback/traceback.h"

namespace velmo {

// The module's string constants, one row each: the ModuleState field, the
// text, and whether it is interned. A row here is the whole of adding one:
// it makes the field and the entry of kStringConstantTable. Every constant
// carries its hash from execution on.
#define VELMO_STRING_CONSTANTS(X)                                                         \
    X(str_answer_for_2, "222222222", false)        /* fun_hello(2) */                     \
    X(str_switch_name, "cline_in_traceback", true) /* the switch's key */                 \
    X(str_function_name, "fun_hello", true)        /* code name, qualname, globals key */ \
    X(str_answer_for_1, "hello world", false)      /* fun_hello(1) */                     \
    X(str_argument_name, "s", true)                /* fun_hello's one argument */         \
    X(str_test_dict_key, "__test__", true)         /* globals key */                      \
    X(str_module_name, "velmo", true)              /* the function's __module__ */        \
    X(str_source_file_name, "velmo.py", false)     /* the code object's file name */

// One process-wide record, never released: the module has no free function,
// and neither the module object nor interpreter shutdown tears it down.
// Every execution step stores its result here before testing it, so a failed
// step leaves NULL in its field. All object fields are owned.
struct ModuleState {
    int64_t interpreter_id = -1;  // until the first creation obtains an id
    PyObject *module;             // the executed module; NULL until claimed, NULL again after a failed exec
    // The module object the first creation made, which every later creation
    // hands back until its execution fails: imports that overlap (under two
    // names, from two threads) then end with one module, as imports one
    // after the other do. NULL again after a failed exec.
    PyObject *created;
    // The execution in progress, if any: the thread that runs it, 0 while
    // none does, with its process (a fork copies the record, not the thread)
    // and the module it executes (borrowed). Outside a forked child the
    // thread holds the import system's lock for the name "velmo" meanwhile,
    // and another thread's execution waits on that lock (see module_exec).
    uint64_t executing_thread;
    int64_t executing_process;
    PyObject *executing_module;
    // The process, if any, in which the lock for "velmo" may be held for
    // good by a thread that a fork left behind; -1 until then. There the
    // executions take no lock and wait for each other by polling.
    int64_t lockless_process = -1;
    // Whether the last execution entered the module in sys.modules under
    // "velmo". Only that entry is taken back on failure: one the import system
    // made is its own to drop, and looking "velmo" up again could run user code.
    bool entered_in_sys_modules;
    PyTypeObject *function_type;  // ours or the one another module registered
    PyObject *empty_tuple;
    PyObject *empty_bytes;
    PyObject *globals;  // the module's __dict__
    PyObject *builtins_module;
    PyObject *runtime_module;  // sys.modules["cython_runtime"]

#define VELMO_STRING_FIELD(field, text, intern) PyObject *field;
    VELMO_STRING_CONSTANTS(VELMO_STRING_FIELD)
#undef VELMO_STRING_FIELD

    PyObject *int_1;
    PyObject *int_2;
    PyObject *argnames;        // ("s",)
    PyObject *fun_hello_code;  // code object of fun_hello, for introspection

    // Belongs to the library, not to a module object: a second execution
    // after a failed import finds it as the first one left it.
    TracebackCache traceback_cache;
};

extern ModuleState module_state;

// One row of a string constant table; a row with a NULL target ends the table.
struct StringConstantEntry {
    PyObject **target;  // ModuleState field that receives the str
    const char *text;   // UTF-8, NUL-terminated
    bool intern;        // interned, or a plain str
};

extern const StringConstantEntry kStringConstantTable[];

// Makes the str of each row of `table`, its hash computed, and stores it in
// the row's target; -1 with the error set at the first row that fails.
int init_string_constants(const StringConstantEntry *table) noexcept;

// Adds the traceback entry of `site` to the failure being reported, with what
// the module's state holds (globals, runtime module, switch key, cache); -1,
// for the caller to return.
[[gnu::cold]] int report_failure(const FailureSite &site) noexcept;

}  // namespace velmo

#endif  // VELMO_MODULE_MODULE_STATE_H
