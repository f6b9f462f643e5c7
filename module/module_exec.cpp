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

constexpr const char kReinitialisationMessage[] =
    "Module 'velmo' has already been imported. Re-initialisation is not supported.";

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
    auto *stub_code = reinterpret_cast<PyCodeObject *>(stub.get());
    Ref body = Ref::steal(PyCode_GetCode(stub_code));
    if (!body) {
        return nullptr;
    }
    PyObject *linetable = stub_code->co_linetable;  // borrowed from the stub
    int stacksize = stub_code->co_stacksize;
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
                                                            linetable,                   // linetable
                                                            state.empty_bytes));         // exceptiontable
}

// The execution itself, with no other thread running one.
int execute(PyObject *module) noexcept {
    ModuleState &state = module_state;

    if (state.module != nullptr) {
        if (state.module == module) {
            return 0;  // a reload: the executed module is already complete
        }
        PyErr_SetString(PyExc_RuntimeError, kReinitialisationMessage);
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

    Py_XSETREF(state.module, Py_NewRef(module));

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

    // Entered last, once the module is complete: whoever finds it under
    // "velmo" may use it at once, and an `import velmo` that does not find it
    // meets the import system's lock for "velmo", which this execution holds.
    // The fixed key, whatever name the import gave the module; an existing
    // entry (a package's, say) is left alone.
    PyObject *modules = PyImport_GetModuleDict();  // borrowed
    if (modules == nullptr) {
        return fail_exec(site::kModulesDict);
    }
    state.entered_in_sys_modules = false;
    if (!lookup_velmo_entry(modules)) {
        if (PyDict_SetItemString(modules, "velmo", state.module) < 0) {
            return fail_exec(site::kModulesEntry);
        }
        state.entered_in_sys_modules = true;
    }
    return 0;
}

// The process that runs this code: an execution recorded in another process
// is the parent's, copied by a fork. Windows has no fork.
int64_t current_process() noexcept {
#ifdef _WIN32
    return 0;
#else
    return static_cast<int64_t>(getpid());
#endif
}

// The import system's lock for the name "velmo" (importlib's per-module lock),
// as bound methods. It is re-entrant, gives way to Ctrl-C, and detects cycles
// among every thread that waits on such a lock: a load that waits on it for
// another thread's execution is part of the picture that the imports see.
struct VelmoImportLock {
    Ref acquire;
    Ref release;
    Ref deadlock_error;  // the class of error by which a wait reports a cycle
};

// New reference to importlib's bootstrap module, which keeps those locks, or
// NULL with an error set. Read from sys.modules as it stands, where
// PyImport_GetModule would first ask whether it is still being imported.
PyObject *import_bootstrap() noexcept {
    PyObject *bootstrap = nullptr;
    if (PyDict_GetItemStringRef(PyImport_GetModuleDict(), "_frozen_importlib", &bootstrap) != 0) {
        return bootstrap;
    }
    // Taken out of sys.modules by hand; importlib still holds it.
    return PyImport_ImportModule("importlib._bootstrap");
}

// Whether this thread holds the lock for "velmo" already, as `import velmo`
// does while it executes the module: taking it again would only count up and
// down, at many times the cost of this look. A lock that cannot be looked at
// counts as not held, and is taken the usual way.
bool holds_velmo_import_lock(PyObject *bootstrap, uint64_t thread) noexcept {
    Ref locks = Ref::steal(PyObject_GetAttrString(bootstrap, "_module_locks"));
    PyObject *reference = nullptr;  // a weak reference to the lock
    if (!locks || !PyDict_Check(locks.get()) ||
        PyDict_GetItemStringRef(locks.get(), "velmo", &reference) <= 0) {
        PyErr_Clear();
        return false;
    }
    Ref lock = Ref::steal(PyObject_CallNoArgs(reference));
    Py_DECREF(reference);
    Ref owner = Ref::steal(lock ? PyObject_GetAttrString(lock.get(), "owner") : nullptr);
    if (!owner || !PyLong_CheckExact(owner.get())) {
        PyErr_Clear();
        return false;
    }
    uint64_t owner_id = PyLong_AsUnsignedLongLong(owner.get());
    if (owner_id == UINT64_MAX && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return owner_id == thread;
}

int get_velmo_import_lock(PyObject *bootstrap, VelmoImportLock &lock) noexcept {
    Ref module_lock = Ref::steal(PyObject_CallMethod(bootstrap, "_get_module_lock", "s", "velmo"));
    if (!module_lock) {
        return -1;
    }
    lock.deadlock_error = Ref::steal(PyObject_GetAttrString(bootstrap, "_DeadlockError"));
    if (!lock.deadlock_error) {
        return -1;
    }
    lock.acquire = Ref::steal(PyObject_GetAttrString(module_lock.get(), "acquire"));
    if (!lock.acquire) {
        return -1;
    }
    lock.release = Ref::steal(PyObject_GetAttrString(module_lock.get(), "release"));
    return lock.release ? 0 : -1;
}

// Lets go of the lock once the execution is over; its failure, if any, stays
// the one the caller gets. Taken before anything was executed, the lock is
// released with the memory that taking it needed, so this does not fail but
// for a fault of the import system, which is reported as unraisable: retried,
// a release that failed halfway could let go of an import's hold as well.
void release_velmo_import_lock(const VelmoImportLock &lock) noexcept {
    SavedException reported;
    Ref released = Ref::steal(PyObject_CallNoArgs(lock.release.get()));
    if (!released) {
        PyErr_WriteUnraisable(lock.release.get());
    }
}

// Runs the execution with its record in place, for loads in other threads to
// wait for and for loads that it causes itself to recognise.
int run_execution(PyObject *module, uint64_t thread, int64_t process) noexcept {
    ModuleState &state = module_state;
    state.executing_thread = thread;
    state.executing_process = process;
    state.executing_module = module;
    int result = execute(module);
    state.executing_thread = 0;
    state.executing_module = nullptr;
    return result;
}

// A fork made while another thread was executing: that thread does not exist
// in this process, its half-done execution counts as failed, and the lock it
// held, the import system's for "velmo", stays held for good here.
void abandon_forked_execution(int64_t process) noexcept {
    ModuleState &state = module_state;
    state.executing_thread = 0;
    state.executing_module = nullptr;
    state.lockless_process = process;
    if (state.module != nullptr) {
        withdraw_sys_modules_entry(state.module);
        Py_CLEAR(state.module);
    }
}

// Where that lock is lost: waits for another thread's execution by looking
// again every millisecond, then executes. time.sleep releases the GIL and
// answers Ctrl-C on every platform, without a thread library of the C++
// runtime's (MinGW's would make the Windows module import winpthread).
int execute_without_lock(PyObject *module, uint64_t thread, int64_t process) noexcept {
    if (module_state.executing_thread != 0) {
        Ref time = Ref::steal(PyImport_ImportModule("time"));
        if (!time) {
            return -1;
        }
        while (module_state.executing_thread != 0) {
            Ref slept = Ref::steal(PyObject_CallMethod(time.get(), "sleep", "d", 0.001));
            if (!slept) {
                return -1;
            }
        }
    }
    return run_execution(module, thread, process);
}

}  // namespace

// Execution can let go of the GIL halfway (Python code that a warning, a
// collection or a sys.modules key's comparison runs), and another thread's
// import may then execute the same module, which its creation handed back.
// That one waits for the first to end, on the import system's lock for
// "velmo", which the executing thread holds, and then finds the module
// complete, or executes it afresh after a failure. Waiting there, rather than
// on a lock of velmo's own, lets the import system see a wait that would
// close a cycle among its locks; the load that would close it gets the module
// as far as it is built, as an import does in such a cycle. A load that the
// running execution causes in its own thread gets the same, as in a circular
// import.
int module_exec(PyObject *module) noexcept {
    ModuleState &state = module_state;
    uint64_t thread = PyThread_get_thread_ident();
    int64_t process = current_process();
    if (state.executing_thread != 0 && state.executing_process != process) {
        abandon_forked_execution(process);
    }
    if (state.executing_thread == thread) {
        if (module == state.executing_module) {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError, kReinitialisationMessage);
        return -1;
    }
    if (state.executing_thread == 0 && state.module != nullptr) {
        return execute(module);  // complete: this module, or a second one, refused
    }
    if (state.lockless_process == process) {
        return execute_without_lock(module, thread, process);
    }

    Ref bootstrap = Ref::steal(import_bootstrap());
    if (!bootstrap) {
        return -1;
    }
    if (holds_velmo_import_lock(bootstrap.get(), thread)) {
        return run_execution(module, thread, process);
    }
    VelmoImportLock lock;
    if (get_velmo_import_lock(bootstrap.get(), lock) < 0) {
        return -1;
    }
    Ref acquired = Ref::steal(PyObject_CallNoArgs(lock.acquire.get()));
    if (!acquired) {
        // A cycle through the execution in progress: the load that would
        // close it goes on with the module that execution is building.
        if (state.executing_thread != 0 && PyErr_ExceptionMatches(lock.deadlock_error.get())) {
            PyErr_Clear();
            return 0;
        }
        return -1;  // Ctrl-C, say: the execution in progress goes on
    }
    int result = run_execution(module, thread, process);
    release_velmo_import_lock(lock);
    return result;
}

}  // namespace velmo
