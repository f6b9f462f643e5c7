// module_exec: the execution slot that fills ModuleState and the module's
// namespace, with the failure path that reports where an import broke.
#include "common/python_compat.h"
#include "common/ref.h"
#include "function_type/cyfunction.h"
#include "module/module.h"

namespace velmo {

namespace {

// Whether this execution entered the module in sys.modules under "velmo".
// Only that entry is taken back on failure: one the import system made is
// its own to drop, and looking "velmo" up again could run user code.
bool entered_in_sys_modules = false;

// Takes back the "velmo" entry that a failed execution made. The import
// system only drops the name it imported under; left behind under "velmo",
// the half-built module would be handed out by every later `import velmo`.
void withdraw_sys_modules_entry(PyObject *module) noexcept {
    if (!entered_in_sys_modules) {
        return;
    }
    entered_in_sys_modules = false;
    // The failure being reported matters more than one of the withdrawal.
    SavedException reported;
    PyObject *modules = PyImport_GetModuleDict();  // borrowed
    if (compat::dict_get_item_string_quiet(modules, "velmo") == module) {
        PyDict_DelItemString(modules, "velmo");
    }
}

// The failure path. Entries are added only once the globals exist, since
// every entry's frame runs in them.
int fail_exec(const FailureSite &site) noexcept {
    if (module_state.module != nullptr) {
        ModuleState &state = module_state;
        add_traceback(state.traceback_cache, site, state.globals, state.runtime_module,
                      state.str_cline_in_traceback);
        withdraw_sys_modules_entry(module_state.module);
        // Unclaim the module so that the next import starts afresh.
        Py_CLEAR(module_state.module);
    } else if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_ImportError, "init velmo");
    }
    return -1;
}

PyObject *make_fun_hello_code() noexcept {
    ModuleState &s = module_state;
    return reinterpret_cast<PyObject *>(PyUnstable_Code_New(1,  // argcount
                                                            0,  // kwonlyargcount
                                                            1,  // nlocals
                                                            0,  // stacksize
                                                            CO_OPTIMIZED | CO_NEWLOCALS,
                                                            s.empty_bytes,    // code
                                                            s.empty_tuple,    // consts
                                                            s.empty_tuple,    // names
                                                            s.argnames,       // varnames
                                                            s.empty_tuple,    // freevars
                                                            s.empty_tuple,    // cellvars
                                                            s.str_velmo_py,   // filename
                                                            s.str_fun_hello,  // name
                                                            s.str_fun_hello,  // qualname
                                                            1,                // firstlineno
                                                            s.empty_bytes,    // linetable
                                                            s.empty_bytes));  // exceptiontable
}

}  // namespace

int module_exec(PyObject *module) noexcept {
    ModuleState &s = module_state;

    if (s.module != nullptr) {
        if (s.module == module) {
            return 0;  // a reload: the executed module is already complete
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'velmo' has already been imported. Re-initialisation is not supported.");
        return -1;
    }

    if (check_binary_version() < 0) {
        return fail_exec(site::kVersionCheck);
    }
    // Each step stores its result before testing it; Py_XSETREF also releases
    // what a previous, failed execution had left in the field.
    Py_XSETREF(s.empty_tuple, PyTuple_New(0));
    if (s.empty_tuple == nullptr) {
        return fail_exec(site::kEmptyTuple);
    }
    Py_XSETREF(s.empty_bytes, PyBytes_FromStringAndSize("", 0));
    if (s.empty_bytes == nullptr) {
        return fail_exec(site::kEmptyBytes);
    }
    Py_XSETREF(s.function_type, fetch_shared_function_type());
    if (s.function_type == nullptr) {
        return fail_exec(site::kFunctionType);
    }

    s.module = Py_NewRef(module);

    Py_XSETREF(s.globals, Py_XNewRef(PyModule_GetDict(module)));
    if (s.globals == nullptr) {
        return fail_exec(site::kGlobals);
    }
    Py_XSETREF(s.builtins_module, PyImport_AddModuleRef("builtins"));
    if (s.builtins_module == nullptr) {
        return fail_exec(site::kBuiltinsModule);
    }
    Py_XSETREF(s.runtime_module, PyImport_AddModuleRef("cython_runtime"));
    if (s.runtime_module == nullptr) {
        return fail_exec(site::kRuntimeModule);
    }
    if (PyObject_SetAttrString(s.module, "__builtins__", s.builtins_module) < 0) {
        return fail_exec(site::kSetBuiltins);
    }
    if (init_string_constants(kStringConstantTable) < 0) {
        return fail_exec(site::kConstants);
    }
    Py_XSETREF(s.int_1, PyLong_FromLong(1));
    if (s.int_1 == nullptr) {
        return fail_exec(site::kConstants);
    }
    Py_XSETREF(s.int_2, PyLong_FromLong(2));
    if (s.int_2 == nullptr) {
        return fail_exec(site::kConstants);
    }

    PyObject *modules = PyImport_GetModuleDict();  // borrowed
    if (modules == nullptr) {
        return fail_exec(site::kModulesDict);
    }
    // The fixed key, whatever name the import gave the module; an existing
    // entry (a package's, say) is left alone.
    entered_in_sys_modules = false;
    if (compat::dict_get_item_string_quiet(modules, "velmo") == nullptr) {
        if (PyDict_SetItemString(modules, "velmo", s.module) < 0) {
            return fail_exec(site::kModulesEntry);
        }
        entered_in_sys_modules = true;
    }

    Py_XSETREF(s.argnames, PyTuple_Pack(1, s.str_s));
    if (s.argnames == nullptr) {
        return fail_exec(site::kCodeObject);
    }
    Py_XSETREF(s.fun_hello_code, make_fun_hello_code());
    if (s.fun_hello_code == nullptr) {
        return fail_exec(site::kCodeObject);
    }

    // The globals own the function and the test dict once they are bound; a
    // failed binding releases them before the entry is added.
    Ref function = Ref::steal(cyfunction_new(s.function_type, &fun_hello_method, 0, s.str_fun_hello, nullptr,
                                             s.str_velmo, s.globals, s.fun_hello_code));
    if (!function) {
        return fail_exec(site::kFunction);
    }
    if (PyDict_SetItem(s.globals, s.str_fun_hello, function.get()) < 0) {
        function.reset();
        return fail_exec(site::kBindFunction);
    }

    Ref test_dict = Ref::steal(PyDict_New());
    if (!test_dict) {
        return fail_exec(site::kTestDict);
    }
    if (PyDict_SetItem(s.globals, s.str_test, test_dict.get()) < 0) {
        test_dict.reset();
        return fail_exec(site::kBindTestDict);
    }
    return 0;
}

}  // namespace velmo
