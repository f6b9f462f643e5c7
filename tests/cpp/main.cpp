// Entry point of velmo's C++ tests: one embedded interpreter for the process,
// with velmo linked in as a built-in module so that `import velmo` fills this
// binary's own velmo::module_state.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <gtest/gtest.h>

PyMODINIT_FUNC PyInit_velmo(void);

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);

    if (PyImport_AppendInittab("velmo", PyInit_velmo) < 0) {
        return 2;
    }
    PyConfig config;
    PyConfig_InitPythonConfig(&config);
    // Tests must not pick up a site-packages velmo or the user's startup files.
    config.user_site_directory = 0;
    config.install_signal_handlers = 0;
    PyStatus status = PyConfig_SetBytesString(&config, &config.home, VELMO_PYTHON_HOME);
    if (!PyStatus_Exception(status)) {
        status = Py_InitializeFromConfig(&config);
    }
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) {
        Py_ExitStatusException(status);
    }

    // The interpreter is never finalised: velmo's state is process-wide and
    // outlives it by design, and tests leave allocators and registries in
    // states a finalisation need not cope with.
    return RUN_ALL_TESTS();
}
