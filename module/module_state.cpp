// The process-wide ModuleState, the table of the module's string constants
// and init_string_constants, which builds them; and add_site_traceback, which
// hands the traceback layer what it needs of that state.
#include "module/module.h"

namespace velmo {

// Static storage: the interpreter id starts at -1, every object field NULL
// and both caches empty.
ModuleState module_state{};

#define STRING_CONSTANT(field, text, intern) \
    { &module_state.field, text, sizeof(text), nullptr, 0, 1, intern }

const StringConstantEntry kStringConstantTable[] = {
    STRING_CONSTANT(str_222222222, "222222222", 0),
    STRING_CONSTANT(str_cline_in_traceback, "cline_in_traceback", 1),
    STRING_CONSTANT(str_fun_hello, "fun_hello", 1),
    STRING_CONSTANT(str_hello_world, "hello world", 0),
    STRING_CONSTANT(str_s, "s", 1),
    STRING_CONSTANT(str_test, "__test__", 1),
    STRING_CONSTANT(str_velmo, "velmo", 1),
    STRING_CONSTANT(str_velmo_py, "velmo.py", 0),
    {nullptr, nullptr, 0, nullptr, 0, 0, 0},
};

#undef STRING_CONSTANT

int init_string_constants(const StringConstantEntry *table) noexcept {
    for (const StringConstantEntry *row = table; row->target != nullptr; ++row) {
        PyObject *object;
        if (row->unicode_flag == 0 && row->str_flag == 0) {
            object = PyBytes_FromStringAndSize(row->text, row->size - 1);
        } else if (row->intern_flag != 0) {
            object = PyUnicode_InternFromString(row->text);
        } else if (row->encoding != nullptr) {
            object = PyUnicode_Decode(row->text, row->size - 1, row->encoding, nullptr);
        } else {
            object = PyUnicode_FromStringAndSize(row->text, row->size - 1);
        }
        // A re-run after a failed import replaces what the earlier run made.
        Py_XSETREF(*row->target, object);
        if (object == nullptr) {
            return -1;
        }
        // Computed now so that lookups with the stored hash (the traceback
        // switch) never find it missing.
        if (PyObject_Hash(object) == -1) {
            return -1;
        }
    }
    return 0;
}

// Where this module keeps what its traceback entries need; one context for
// the life of the process, read afresh at every failure.
constexpr TracebackContext kTracebackContext = {
    &module_state.globals,   &module_state.runtime_module, &module_state.str_cline_in_traceback,
    kImplementationFileName, &module_state.code_cache,     &module_state.cline_cache};

void add_site_traceback(const FailureSite &site) noexcept {
    add_traceback(kTracebackContext, site.function, site.implementation_line, site.python_line,
                  kSourceFileName);
}

}  // namespace velmo
