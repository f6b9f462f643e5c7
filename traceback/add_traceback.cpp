// add_traceback: one synthetic traceback entry for a failure site, with a
// frame in the module's globals and a cached code object standing for the site.
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
    if (context.globals == nullptr) {
        return;
    }
    if (c_line != 0) {
        c_line = implementation_line_for_traceback(context, c_line);
    }
    int key = c_line != 0 ? -c_line : py_line;

    PyCodeObject *code = find_code_object(*context.code_cache, key);
    if (code == nullptr) {
        // Making the code object may fail or run code: the failure being
        // reported is moved aside meanwhile.
        SavedException reported;
        code = make_site_code(context, funcname, c_line, py_line, filename);
        if (code == nullptr) {
            // The out-of-memory error (or whatever made the step fail) now
            // stands in place of the failure being reported.
            reported.discard();
            return;
        }
        insert_code_object(*context.code_cache, key, code);
    }

    // The failure is moved aside until the frame exists: PyFrame_New looks
    // `__builtins__` up in the globals and gives up when the key is missing
    // while an exception is pending, which is exactly the case for import
    // failures before `__builtins__` is set; the entry would be lost. Without
    // a frame there is no entry; the error of PyFrame_New goes with the guard
    // and the reported failure comes back.
    PyFrameObject *frame;
    {
        SavedException reported;
        frame = PyFrame_New(PyThreadState_Get(), code, context.globals, nullptr);
    }
    Py_DECREF(code);
    if (frame != nullptr) {
        frame->f_lineno = py_line;
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

}  // namespace velmo
