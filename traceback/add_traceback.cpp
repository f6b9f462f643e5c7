// add_traceback: one synthetic traceback entry for a failure site, with a
// frame in the module's globals and a cached code object standing for the site.
#include "common/python_compat.h"
#include "module/module_state.h"
#include "traceback/traceback.h"

#include <frameobject.h>  // after Python.h, which it relies on

namespace velmo {

namespace {

// New code object for the site, or NULL with the error of the failing step
// current (the caller has moved the reported exception aside).
PyCodeObject *make_site_code(const char *funcname, int c_line, int py_line, const char *filename) noexcept {
    if (c_line == 0) {
        return PyCode_NewEmpty(filename, funcname, py_line);
    }
    PyObject *name = PyUnicode_FromFormat("%s (%s:%d)", funcname, kImplementationFileName, c_line);
    if (name == nullptr) {
        return nullptr;
    }
    PyCodeObject *code = nullptr;
    const char *text = PyUnicode_AsUTF8(name);
    if (text != nullptr) {
        code = PyCode_NewEmpty(filename, text, py_line);
    }
    Py_DECREF(name);
    return code;
}

}  // namespace

void add_traceback(const char *funcname, int c_line, int py_line, const char *filename) noexcept {
    // Every entry's frame runs in the module's globals; without them there is
    // nothing to attach, and the failure is reported without an entry.
    if (module_state.globals == nullptr) {
        return;
    }
    PyThreadState *tstate = compat::thread_state_get_unchecked();
    if (c_line != 0) {
        c_line = implementation_line_for_traceback(tstate, c_line);
    }
    int key = c_line != 0 ? -c_line : py_line;

    // The failure is moved aside until the frame exists: PyFrame_New looks
    // `__builtins__` up in the globals and gives up when the key is missing
    // while an exception is pending, which is exactly the case for import
    // failures before `__builtins__` is set; the entry would be lost.
    compat::SavedException reported = compat::save_exception();
    PyCodeObject *code = find_code_object(key);
    if (code == nullptr) {
        code = make_site_code(funcname, c_line, py_line, filename);
        if (code == nullptr) {
            // The out-of-memory error (or whatever made the step fail) now
            // stands in place of the failure being reported.
            compat::discard_exception(reported);
            return;
        }
        insert_code_object(key, code);
    }
    PyFrameObject *frame = PyFrame_New(tstate, code, module_state.globals, nullptr);
    if (frame == nullptr) {
        // No entry then; the reported failure matters more than this one.
        PyErr_Clear();
    }
    compat::restore_exception(reported);
    if (frame != nullptr) {
        compat::frame_set_lineno(frame, py_line);
        PyTraceBack_Here(frame);
    }
    Py_DECREF(code);
    Py_XDECREF(frame);
}

}  // namespace velmo
