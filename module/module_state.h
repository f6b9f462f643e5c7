// The module-wide state of velmo: one process-wide record that the
// execution slot fills, and the table of its string constants.
#ifndef VELMO_MODULE_MODULE_STATE_H
#define VELMO_MODULE_MODULE_STATE_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "traceback/traceback.h"

namespace velmo {

// One process-wide record, never released: the module has no free function,
// and neither the module object nor interpreter shutdown tears it down.
// Every execution step stores its result here before testing it, so a failed
// step leaves NULL in its field. All object fields are owned.
struct ModuleState {
    int64_t interpreter_id = -1;  // until the first creation obtains an id
    PyObject *module;             // the executed module; NULL until claimed, NULL again after a failed exec
    PyTypeObject *function_type;  // ours or the one another module registered
    PyObject *empty_tuple;
    PyObject *empty_bytes;
    PyObject *globals;  // the module's __dict__
    PyObject *builtins_module;
    PyObject *runtime_module;  // sys.modules["cython_runtime"]

    // String constants, built from kStringConstantTable; each carries its hash.
    PyObject *str_222222222;
    PyObject *str_cline_in_traceback;  // interned
    PyObject *str_fun_hello;           // interned
    PyObject *str_hello_world;
    PyObject *str_s;      // interned
    PyObject *str_test;   // interned "__test__"
    PyObject *str_velmo;  // interned
    PyObject *str_velmo_py;

    PyObject *int_1;
    PyObject *int_2;
    PyObject *argnames;        // ("s",)
    PyObject *fun_hello_code;  // code object of fun_hello, for introspection

    // Belong to the library, not to a module object: a second execution after
    // a failed import finds them as the first one left them.
    CodeObjectCache code_cache;
    DictVersionCache cline_cache;
};

extern ModuleState module_state;

// One row of a string constant table; a row with a NULL target ends the table.
struct StringConstantEntry {
    PyObject **target;     // ModuleState field that receives the object
    const char *text;      // NUL-terminated
    Py_ssize_t size;       // bytes of text including the NUL
    const char *encoding;  // codec for text, NULL for UTF-8
    char unicode_flag;     // with str_flag: both 0 makes a bytes object
    char str_flag;
    char intern_flag;  // non-zero interns a str constant
};

extern const StringConstantEntry kStringConstantTable[];

}  // namespace velmo

#endif  // VELMO_MODULE_MODULE_STATE_H
