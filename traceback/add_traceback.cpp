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

// The entry's frame, or NULL (no entry then); either way the reported
// failure is pending afterwards, as it was. The frame is first made with the
// failure left pending, which costs nothing extra. PyFrame_New gives up then
// when `__builtins__` is missing from the globals (import failures before it
// is set), and an error of its own would replace the reported failure; so if
// it fails, the failure goes back and one more try is made with it moved
// aside.
PyFrameObject *new_entry_frame(PyCodeObject *code, PyObject *globals) noexcept {
    PyThreadState *tstate = PyThreadState_Get();
    compat::HeldException reported = compat::hold_exception(tstate);
    PyFrameObject *frame = PyFrame_New(tstate, code, globals, nullptr);
    if (frame != nullptr) {
        compat::release_held_exception(reported);
        return frame;
    }
    compat::restore_held_exception(reported);
    // The error of this try, if any, goes with the guard.
    SavedException aside;
    return PyFrame_New(tstate, code, globals, nullptr);
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

    PyFrameObject *frame = new_entry_frame(code, globals);
    Py_DECREF(code);
    if (frame != nullptr) {
        compat::frame_set_lineno(frame, py_line);
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

}  // namespace velmo
