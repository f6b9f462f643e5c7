// The process-wide ModuleState, the table of the module's string constants
// and init_string_constants, which builds them; report_failure, which every
// failure site reports through.
#include "module/module_state.h"

namespace velmo {

// Static storage: the interpreter id starts at -1, every object field NULL
// and the traceback cache empty.
ModuleState module_state{};

#define VELMO_STRING_ROW(field, text, intern) {&module_state.field, text, intern},
const StringConstantEntry kStringConstantTable[] = {
    VELMO_STRING_CONSTANTS(VELMO_STRING_ROW){nullptr, nullptr, false},
};
#undef VELMO_STRING_ROW

int init_string_constants(const StringConstantEntry *table) noexcept {
    for (const StringConstantEntry *row = table; row->target != nullptr; ++row) {
        PyObject *object =
            row->intern ? PyUnicode_InternFromString(row->text) : PyUnicode_FromString(row->text);
        // A re-run after a failed import replaces what the earlier run made.
        Py_XSETREF(*row->target, object);
        if (object == nullptr) {
            return -1;
        }
        // Computed now so that lookups of the switch find its hash stored.
        if (PyObject_Hash(object) == -1) {
            return -1;
        }
    }
    return 0;
}

// Out of line: every failure site calls it, and none of them is hot.
[[gnu::noinline]] int report_failure(const FailureSite &site) noexcept {
    ModuleState &state = module_state;
    add_traceback(state.traceback_cache, site, state.globals, state.runtime_module, state.str_switch_name);
    return -1;
}

}  // namespace velmo
