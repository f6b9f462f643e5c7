// add_traceback: one synthetic traceback entry for a failure site, with a
// frame in the module's globals and a cached code object standing for the site.
#include "common/python_compat.h"
#include "common/ref.h"
#include "traceback/traceback.h"

#include <frameobject.h>  // after Python.h, which it relies on

namespace velmo {

namespace {

// New code object for the site, cached under `key`, or NULL with the error
// of the failing step pending. `implementation_line` is the one to show, 0
// for none. Out of line: each key meets it once.
[[gnu::cold, gnu::noinline]] PyCodeObject *make_site_code(CodeObjectCache &cache, const FailureSite &site,
                                                          int implementation_line, int key) noexcept {
    PyCodeObject *code;
    if (implementation_line == 0) {
        code = PyCode_NewEmpty(site.filename, site.function, site.python_line);
    } else {
        Ref name = Ref::steal(
            PyUnicode_FromFormat("%s (%s:%d)", site.function, site.implementation_file, implementation_line));
        const char *text = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
        code = text != nullptr ? PyCode_NewEmpty(site.filename, text, site.python_line) : nullptr;
    }
    if (code != nullptr) {
        insert_code_object(cache, key, code);
    }
    return code;
}

}  // namespace

void add_traceback(TracebackCache &cache, const FailureSite &site, PyObject *globals,
                   PyObject *runtime_module, PyObject *switch_name) noexcept {
    // Reading the switch, making the code object and making the frame can all
    // run Python code (the switch's __bool__, a function watcher that sees the
    // function object PyFrame_New makes, a globals key's __eq__ in its lookup
    // of `__builtins__`), which must not find the failure being reported
    // pending. As in the interpreter's own traceback helper, it is moved aside
    // once and put back before the entry is added to it; whatever those calls
    // raise is dropped then.
    SavedException reported;
    // A faulty extension type can fail (a NULL comparison result, a truth test
    // of -1) without setting an exception. The interpreter's evaluation loop
    // answers that with a SystemError, and so does the module's source here;
    // the entry then goes to that error.
    reported.fill_if_empty(PyExc_SystemError, "error return without exception set");
    // Every entry's frame runs in the module's globals; without them there is
    // nothing to attach, and the failure is reported without an entry.
    if (globals == nullptr) {
        return;
    }
    // The implementation line the entry shows: 0 for none.
    int implementation_line = site.implementation_line;
    if (implementation_line != 0) {
        implementation_line = implementation_line_for_traceback(cache.switch_value, runtime_module,
                                                                switch_name, implementation_line);
    }
    int key = implementation_line != 0 ? -implementation_line : site.python_line;
    PyCodeObject *code = find_code_object(cache.code_objects, key);
    if (code == nullptr) {
        code = make_site_code(cache.code_objects, site, implementation_line, key);
        if (code == nullptr) {
            // The out-of-memory error (or whatever made the step fail) now
            // stands in place of the failure being reported.
            reported.discard();
            return;
        }
    }
    PyFrameObject *frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
    // Released while the failure is still aside: a code object that the cache
    // had no room for goes here when no frame holds it, and from 3.12 on its
    // release runs code watchers.
    Py_DECREF(code);
    if (frame == nullptr) {
        return;  // no entry; the failure comes back as it was
    }
    compat::frame_set_lineno(frame, site.python_line);
    reported.restore();
    if (PyTraceBack_Here(frame) < 0) {
        // Only out of memory: the frame, held by no traceback, goes now, and
        // what its release runs (a function watcher, from 3.12 on) must not
        // find that error pending.
        SavedException out_of_memory;
        Py_DECREF(frame);
        return;
    }
    Py_DECREF(frame);  // the traceback holds it
}

}  // namespace velmo
