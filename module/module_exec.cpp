// module_exec: the execution slot that fills ModuleState and the module's
// namespace, with the failure path that reports where an import broke.
#include "common/python_compat.h"
#include "function_type/cyfunction.h"
#include "module/module_state.h"

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
    compat::SavedException saved = compat::save_exception();
    PyObject *modules = PyImport_GetModuleDict();  // borrowed
    if (compat::dict_get_item_string_quiet(modules, "velmo") == module &&
        PyDict_DelItemString(modules, "velmo") < 0) {
        PyErr_Clear();  // the failure being reported matters more
    }
    compat::restore_exception(saved);
}

// The failure path. Entries are added only once the globals exist, since
// every entry's frame runs in them.
int fail_exec(int c_line) noexcept {
    if (module_state.module != nullptr) {
        if (module_state.globals != nullptr) {
            add_traceback("init velmo", c_line, 1, kSourceFileName);
        }
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
    return reinterpret_cast<PyObject *>(compat::code_new(1,  // argcount
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
        return fail_exec(1646);
    }
    // Each step stores its result before testing it; Py_XSETREF also releases
    // what a previous, failed execution had left in the field.
    Py_XSETREF(s.empty_tuple, PyTuple_New(0));
    if (s.empty_tuple == nullptr) {
        return fail_exec(1650);
    }
    Py_XSETREF(s.empty_bytes, PyBytes_FromStringAndSize("", 0));
    if (s.empty_bytes == nullptr) {
        return fail_exec(1651);
    }
    Py_XSETREF(s.function_type, fetch_shared_function_type());
    if (s.function_type == nullptr) {
        return fail_exec(1654);
    }

    s.module = Py_NewRef(module);

    Py_XSETREF(s.globals, Py_XNewRef(PyModule_GetDict(module)));
    if (s.globals == nullptr) {
        return fail_exec(1688);
    }
    Py_XSETREF(s.builtins_module, compat::import_add_module_ref("builtins"));
    if (s.builtins_module == nullptr) {
        return fail_exec(1690);
    }
    Py_XSETREF(s.runtime_module, compat::import_add_module_ref("cython_runtime"));
    if (s.runtime_module == nullptr) {
        return fail_exec(1692);
    }
    if (PyObject_SetAttrString(s.module, "__builtins__", s.builtins_module) < 0) {
        return fail_exec(1694);
    }
    if (init_string_constants(kStringConstantTable) < 0) {
        return fail_exec(1696);
    }
    Py_XSETREF(s.int_1, PyLong_FromLong(1));
    if (s.int_1 == nullptr) {
        return fail_exec(1696);
    }
    Py_XSETREF(s.int_2, PyLong_FromLong(2));
    if (s.int_2 == nullptr) {
        return fail_exec(1696);
    }

    PyObject *modules = PyImport_GetModuleDict();  // borrowed
    if (modules == nullptr) {
        return fail_exec(1705);
    }
    // The fixed key, whatever name the import gave the module; an existing
    // entry (a package's, say) is left alone.
    entered_in_sys_modules = false;
    if (compat::dict_get_item_string_quiet(modules, "velmo") == nullptr) {
        if (PyDict_SetItemString(modules, "velmo", s.module) < 0) {
            return fail_exec(1707);
        }
        entered_in_sys_modules = true;
    }

    Py_XSETREF(s.argnames, PyTuple_Pack(1, s.str_s));
    if (s.argnames == nullptr) {
        return fail_exec(1714);
    }
    Py_XSETREF(s.fun_hello_code, make_fun_hello_code());
    if (s.fun_hello_code == nullptr) {
        return fail_exec(1714);
    }

    PyObject *function = cyfunction_new(&fun_hello_method, 0, s.str_fun_hello, nullptr, s.str_velmo,
                                        s.globals, s.fun_hello_code);
    if (function == nullptr) {
        return fail_exec(1733);
    }
    int stored = PyDict_SetItem(s.globals, s.str_fun_hello, function);
    Py_DECREF(function);  // the globals own it now, or it is gone
    if (stored < 0) {
        return fail_exec(1735);
    }

    PyObject *test_dict = PyDict_New();
    if (test_dict == nullptr) {
        return fail_exec(1737);
    }
    stored = PyDict_SetItem(s.globals, s.str_test, test_dict);
    Py_DECREF(test_dict);
    if (stored < 0) {
        return fail_exec(1739);
    }
    return 0;
}

}  // namespace velmo
