// Starts the embedded interpreter that the C++ tests and the benchmarks
// run in, with velmo linked in as a built-in module, so that `import velmo`
// runs the binary's own copy of the module.
#ifndef VELMO_TESTS_EMBEDDED_PYTHON_H
#define VELMO_TESTS_EMBEDDED_PYTHON_H

#include "common/python_compat.h"

PyMODINIT_FUNC PyInit_velmo(void);

namespace velmo_test {

// Exits the process with the interpreter's message when start-up fails.
inline void start_embedded_python(const char *home) {
    if (PyImport_AppendInittab("velmo", PyInit_velmo) < 0) {
        Py_FatalError("cannot register velmo as a built-in module");
    }
#if defined(__SANITIZE_ADDRESS__)
    // Every object from malloc, as PYTHONMALLOC=malloc does for a Python
    // process: leak detection does not scan the small-object arenas, which are
    // mapped memory, and would take whatever only they point to as leaked.
    PyPreConfig preconfig;
    PyPreConfig_InitPythonConfig(&preconfig);
    preconfig.allocator = PYMEM_ALLOCATOR_MALLOC;
    PyStatus prestatus = Py_PreInitialize(&preconfig);
    if (PyStatus_Exception(prestatus)) {
        Py_ExitStatusException(prestatus);
    }
#endif
    PyConfig config;
    PyConfig_InitPythonConfig(&config);
    // Runs must not pick up a site-packages velmo or the user's startup files.
    config.user_site_directory = 0;
    config.install_signal_handlers = 0;
    PyStatus status = PyConfig_SetBytesString(&config, &config.home, home);
    if (!PyStatus_Exception(status)) {
        status = Py_InitializeFromConfig(&config);
    }
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) {
        Py_ExitStatusException(status);
    }
}

}  // namespace velmo_test

#endif  // VELMO_TESTS_EMBEDDED_PYTHON_H
