// The module's own operations, private to module/: the import lifecycle
// (entry point, creation and execution slots, constants, version check) and
// the body of `fun_hello`.
#ifndef VELMO_MODULE_MODULE_H
#define VELMO_MODULE_MODULE_H

#include "common/python_compat.h"

#include <cstdint>

#include "module/failure_sites.h"
#include "module/module_state.h"

namespace velmo {

PyObject *module_create(PyObject *spec, PyModuleDef *definition) noexcept;
int module_exec(PyObject *module) noexcept;

// Warns (RuntimeWarning) when the run-time interpreter is not the major.minor
// the module was built for; -1 when the warnings filter made that an error.
int check_binary_version() noexcept;
// The same check against an explicit run-time version text; the seam that
// lets tests try versions this interpreter does not have.
int check_binary_version_against(int built_major, int built_minor, const char *runtime_version) noexcept;

int init_string_constants(const StringConstantEntry *table) noexcept;

// Adds the traceback entry of `site` to the failure being reported, with what
// the module's state holds (globals, runtime module, switch key, cache); -1,
// for the caller to return.
[[gnu::cold]] int report_failure(const FailureSite &site) noexcept;

PyObject *fun_hello_wrapper(PyObject *self, PyObject *s) noexcept;
PyObject *fun_hello_impl(PyObject *self, PyObject *s) noexcept;
int object_is_true(PyObject *object) noexcept;

extern PyMethodDef fun_hello_method;
extern PyModuleDef velmo_module_def;

}  // namespace velmo

#endif  // VELMO_MODULE_MODULE_H
