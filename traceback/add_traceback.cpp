// add_traceback: one synthetic traceback entry for a failure site, with a
// frame in the module's globals and a cached code object standing for the site.
#include "common/python_compat.h"
#include "common/ref.h"
#include "traceback/traceback.h"

#include <frameobject.h>  // after Python.h, which it relies on

namespace velmo {

namespace {

// New code object for the site, or NULL with the error of the failing step
// current (the caller has moved the reported exception aside).
PyCodeObject *make_site_code(const TracebackContext &context, const char *funcname, int c_line, int py_line,
                             const char *filename) noexcept {
    if (c_line == 0) {
        return PyCode_NewEmpty(filename, funcname, py_line);
    }
    Ref name = Ref::steal(PyUnicode_FromFormat("%s (%s:%d)", funcname, context.implementation_file, c_line));
    if (!name) {
        return nullptr;
    }
    const char *text = PyUnicode_AsUTF8(name.get());
    return text != nullptr ? PyCode_NewEmpty(filename, text, py_line) : nullptr;
}

}  // namespace

void add_traceback(const TracebackContext &context, const char *funcname, int c_line, int py_line,
                   const char *filename) noexcept {
    // Every entry's frame runs in the module's globals; without them there is
    // nothing to attach, and the failure is reported without an entry.
    PyObject *globals = *context.globals;
    if (globals == nullptr) {
        return;
    }
    if (c_line != 0) {
        c_line = implementation_line_for_traceback(context, c_line);
    }
    int key = c_line != 0 ? -c_line : py_line;

    PyFrameObject *frame = nullptr;
    {
        // Making the code object and the frame can run Python code (a
        // function watcher sees the function object PyFrame_New makes, a
        // globals key's __eq__ runs in its lookup of `__builtins__`), which
        // must not find the failure being reported pending: it is moved
        // aside meanwhile, and whatever those calls raise is dropped when it
        // comes back.
        SavedException reported;
        PyCodeObject *code = find_code_object(*context.code_cache, key);
        if (code == nullptr) {
            code = make_site_code(context, funcname, c_line, py_line, filename);
            if (code == nullptr) {
                // The out-of-memory error (or whatever made the step fail)
                // now stands in place of the failure being reported.
                reported.discard();
                return;
            }
            insert_code_object(*context.code_cache, key, code);
        }
        frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
        Py_DECREF(code);
        if (frame == nullptr) {
            return;  // no entry; the failure comes back as it was
        }
    }
    compat::frame_set_lineno(frame, py_line);
    if (PyTraceBack_Here(frame) < 0) {
        // Only out of memory: the frame, not held by any traceback, goes
        // now, and what its release runs must not find an error pending.
        SavedException pending;
        Py_DECREF(frame);
        return;
    }
    Py_DECREF(frame);  // the traceback holds it
}

}  // namespace velmo
