// The module's operations that its files share, private to module/: the
// execution slot, the version check and fun_hello's method record.
#ifndef VELMO_MODULE_MODULE_H
#define VELMO_MODULE_MODULE_H

#include "common/python_compat.h"

namespace velmo {

int module_exec(PyObject *module) noexcept;

// Warns (RuntimeWarning) when the run-time interpreter is not the major.minor
// the module was built for; -1 when the warnings filter made that an error.
int check_binary_version() noexcept;
// The same check against an explicit run-time version text; the seam that
// lets tests try versions this interpreter does not have.
int check_binary_version_against(int built_major, int built_minor, const char *runtime_version) noexcept;

extern PyMethodDef fun_hello_method;

}  // namespace velmo

#endif  // VELMO_MODULE_MODULE_H
