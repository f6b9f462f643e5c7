// module_exec: the execution slot that fills ModuleState and the module's
// namespace, with the failure path that reports where an import broke.
#include "common/python_compat.h"
#include "common/ref.h"
#include "function_type/cyfunction.h"
#include "module/failure_sites.h"
#include "module/module.h"
#include "module/module_state.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace velmo {

namespace {

// New reference to sys.modules["velmo"], or an empty Ref when it is absent
// or the lookup fails (a colliding key whose comparison raises), which counts
// as absent; no error is left pending.
Ref lookup_velmo_entry(PyObject *modules) noexcept {
    PyObject *entry = nullptr;
    if (PyDict_GetItemStringRef(modules, "velmo", &entry) < 0) {
        PyErr_Clear();
    }
    return Ref::steal(entry);
}

// Takes back the "velmo" entry that a failed execution made. The import
// system only drops the name it imported under; left behind under "velmo",
// the half-built module would be handed out by every later `import velmo`.
void withdraw_sys_modules_entry(PyObject *module) noexcept {
    if (!module_state.entered_in_sys_modules) {
        return;
    }
    module_state.entered_in_sys_modules = false;
    // The failure being reported matters more than one of the withdrawal.
    SavedException reported;
    PyObject *modules = PyImport_GetModuleDict();  // borrowed
    if (lookup_velmo_entry(modules).get() == module) {
        PyDict_DelItemString(modules, "velmo");
    }
}

// The failure path. Entries are added only once the globals exist, since
// every entry's frame runs in them.
int fail_exec(const FailureSite &site) noexcept {
    if (module_state.module != nullptr) {
        report_failure(site);
        withdraw_sys_modules_entry(module_state.module);
        // Unclaim the module so that the next import starts afresh.
        Py_CLEAR(module_state.module);
    } else if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_ImportError, "init velmo");
    }
    Py_CLEAR(module_state.created);
    return -1;
}

// fun_hello's code object: what introspection reads (names, file, first
// line, arguments, flags) is fun_hello's own; the instructions, stack size and
// line table are those of an empty code object the interpreter makes, so that
// code which runs it (types.FunctionType(fun_hello.__code__, ...)) meets the
// interpreter's own stub body. From 3.11 on that body raises AssertionError;
// an empty one would make the evaluation loop run whatever memory follows.
// On 3.10 the interpreter's empty code object has no body either, and
// running one is a SystemError. Its exception table is empty on every
// version, as fun_hello's stays.
PyObject *make_fun_hello_code() noexcept {
    ModuleState &state = module_state;
    Ref stub = Ref::steal(reinterpret_cast<PyObject *>(PyCode_NewEmpty(kSourceFileName, "fun_hello", 1)));
    if (!stub) {
        return nullptr;
    }
    Ref body = Ref::steal(PyObject_GetAttrString(stub.get(), "co_code"));
    if (!body) {
        return nullptr;
    }
    Ref linetable = Ref::steal(PyObject_GetAttrString(stub.get(), "co_linetable"));
    if (!linetable) {
        return nullptr;
    }
    int stacksize = reinterpret_cast<PyCodeObject *>(stub.get())->co_stacksize;
    return reinterpret_cast<PyObject *>(PyUnstable_Code_New(1,          // argcount
                                                            0,          // kwonlyargcount
                                                            1,          // nlocals
                                                            stacksize,  // the stub's
                                                            CO_OPTIMIZED | CO_NEWLOCALS,
                                                            body.get(),                  // code
                                                            state.empty_tuple,           // consts
                                                            state.empty_tuple,           // names
                                                            state.argnames,              // varnames
                                                            state.empty_tuple,           // freevars
                                                            state.empty_tuple,           // cellvars
                                                            state.str_source_file_name,  // filename
                                                            state.str_function_name,     // name
                                                            state.str_function_name,     // qualname
                                                            1,                           // firstlineno
                                                            linetable.get(),             // linetable
                                                            state.empty_bytes));         // exceptiontable
}

// The process that runs this code: an execution found running in another
// thread belongs to it, or to the parent of a fork. Windows has no fork.
int64_t current_process() noexcept {
#ifdef _WIN32
    return 0;
#else
    return static_cast<int64_t>(getpid());
#endif
}

// The execution itself, once no other thread runs one.
int execute(PyObject *module) noexcept {
    ModuleState &state = module_state;

    if (state.module != nullptr) {
        if (state.module == module) {
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
    Py_XSETREF(state.empty_tuple, PyTuple_New(0));
    if (state.empty_tuple == nullptr) {
        return fail_exec(site::kEmptyTuple);
    }
    Py_XSETREF(state.empty_bytes, PyBytes_FromStringAndSize("", 0));
    if (state.empty_bytes == nullptr) {
        return fail_exec(site::kEmptyBytes);
    }
    Py_XSETREF(state.function_type, fetch_shared_function_type());
    if (state.function_type == nullptr) {
        return fail_exec(site::kFunctionType);
    }

    state.module = Py_NewRef(module);

    Py_XSETREF(state.globals, Py_XNewRef(PyModule_GetDict(module)));
    if (state.globals == nullptr) {
        return fail_exec(site::kGlobals);
    }
    Py_XSETREF(state.builtins_module, PyImport_AddModuleRef("builtins"));
    if (state.builtins_module == nullptr) {
        return fail_exec(site::kBuiltinsModule);
    }
    Py_XSETREF(state.runtime_module, PyImport_AddModuleRef("cython_runtime"));
    if (state.runtime_module == nullptr) {
        return fail_exec(site::kRuntimeModule);
    }
    if (PyObject_SetAttrString(state.module, "__builtins__", state.builtins_module) < 0) {
        return fail_exec(site::kSetBuiltins);
    }
    if (init_string_constants(kStringConstantTable) < 0) {
        return fail_exec(site::kConstants);
    }
    Py_XSETREF(state.int_1, PyLong_FromLong(1));
    if (state.int_1 == nullptr) {
        return fail_exec(site::kConstants);
    }
    Py_XSETREF(state.int_2, PyLong_FromLong(2));
    if (state.int_2 == nullptr) {
        return fail_exec(site::kConstants);
    }

    PyObject *modules = PyImport_GetModuleDict();  // borrowed
    if (modules == nullptr) {
        return fail_exec(site::kModulesDict);
    }
    // The fixed key, whatever name the import gave the module; an existing
    // entry (a package's, say) is left alone.
    state.entered_in_sys_modules = false;
    if (!lookup_velmo_entry(modules)) {
        if (PyDict_SetItemString(modules, "velmo", state.module) < 0) {
            return fail_exec(site::kModulesEntry);
        }
        state.entered_in_sys_modules = true;
    }

    Py_XSETREF(state.argnames, PyTuple_Pack(1, state.str_argument_name));
    if (state.argnames == nullptr) {
        return fail_exec(site::kCodeObject);
    }
    Py_XSETREF(state.fun_hello_code, make_fun_hello_code());
    if (state.fun_hello_code == nullptr) {
        return fail_exec(site::kCodeObject);
    }

    // The globals own the function and the test dict once they are bound; a
    // failed binding releases them before the entry is added.
    Ref function =
        Ref::steal(cyfunction_new(state.function_type, &fun_hello_method, 0, state.str_function_name, nullptr,
                                  state.str_module_name, state.globals, state.fun_hello_code));
    if (!function) {
        return fail_exec(site::kFunction);
    }
    if (PyDict_SetItem(state.globals, state.str_function_name, function.get()) < 0) {
        function.reset();
        return fail_exec(site::kBindFunction);
    }

    Ref test_dict = Ref::steal(PyDict_New());
    if (!test_dict) {
        return fail_exec(site::kTestDict);
    }
    if (PyDict_SetItem(state.globals, state.str_test_dict_key, test_dict.get()) < 0) {
        test_dict.reset();
        return fail_exec(site::kBindTestDict);
    }
    return 0;
}

}  // namespace

// Execution can let go of the GIL halfway (Python code that a warning, a
// collection or a sys.modules key's comparison runs), and another thread's
// import may then execute the same module, which its creation handed back.
// That one waits for the first to end and then finds the module complete, or
// executes it afresh after a failure. An execution that the running one
// causes in its own thread cannot wait for it and goes ahead as before.
int module_exec(PyObject *module) noexcept {
    ModuleState &state = module_state;
    uint64_t thread = PyThread_get_thread_ident();
    if (state.executing_thread != 0 && state.executing_thread != thread &&
        state.executing_process != current_process()) {
        // A fork made while another thread was executing: that thread does
        // not exist in this process, and the lock it holds would never be
        // released. Its half-done execution counts as failed, and this one
        // starts afresh on a lock of its own (the old one is left as it is).
        state.executing_thread = 0;
        state.execution_lock = nullptr;
        if (state.module != nullptr) {
            withdraw_sys_modules_entry(state.module);
            Py_CLEAR(state.module);
        }
    }
    while (state.executing_thread != 0 && state.executing_thread != thread) {
        Py_BEGIN_ALLOW_THREADS;
        PyThread_acquire_lock(state.execution_lock, WAIT_LOCK);
        PyThread_release_lock(state.execution_lock);
        Py_END_ALLOW_THREADS;
    }
    if (state.executing_thread == thread) {
        return execute(module);
    }
    if (state.execution_lock == nullptr) {
        state.execution_lock = PyThread_allocate_lock();
        if (state.execution_lock == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
    }
    // Free, or held for an instant by a waiter, which lets go of it without
    // needing the GIL.
    PyThread_acquire_lock(state.execution_lock, WAIT_LOCK);
    state.executing_thread = thread;
    state.executing_process = current_process();
    int result = execute(module);
    state.executing_thread = 0;
    PyThread_release_lock(state.execution_lock);
    return result;
}

}  // namespace velmo
