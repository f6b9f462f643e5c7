// The implementation line switch (implementation_line_for_traceback) and
// add_traceback driven from C++, where Python code cannot reach: before the
// module is complete, with a runtime module that has no dict, with key 0 and
// out of memory, with a switch lookup that raises. Each case hands the
// traceback layer globals, a runtime module and a cache of its own. What
// fun_hello's failures show, and how each value of the switch decides, is
// tested from Python.
#include <string>

#include "test_support.h"
#include "traceback/traceback.h"

namespace {

using velmo::implementation_line_for_traceback;
using velmo_test::AllocatorFailure;
using velmo_test::eval;
using velmo_test::PendingError;
using velmo_test::Ref;
using velmo_test::refcount;
using velmo_test::run;
using velmo_test::take_error;
using velmo_test::text_of;

// What a module hands the traceback layer, owned by the test: globals with
// `__builtins__`, a runtime module, the key string and an empty cache.
struct Scope {
    Ref globals = Ref::steal(PyDict_New());
    Ref runtime = Ref::steal(PyModule_New("cython_runtime"));
    Ref key = Ref::steal(PyUnicode_InternFromString("cline_in_traceback"));
    velmo::TracebackCache cache{};

    Scope() {
        EXPECT_EQ(PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()), 0);
        EXPECT_NE(PyObject_Hash(key.get()), -1);
    }
    ~Scope() {
        for (int i = 0; i < cache.code_objects.count; ++i) {
            Py_DECREF(cache.code_objects.entries[i].code);
        }
        PyMem_Free(cache.code_objects.entries);
    }
    void add(const char *function, int implementation_line, int python_line, const char *file = "velmo.py") {
        velmo::add_traceback(cache, {file, "velmo.cpp", function, implementation_line, python_line},
                             globals.get(), runtime.get(), key.get());
    }
};

// The switch as the runtime module holds it: its value, or NULL when absent.
Ref switch_value(PyObject *runtime) {
    Ref value = Ref::steal(PyObject_GetAttrString(runtime, "cline_in_traceback"));
    if (!value) {
        PyErr_Clear();
    }
    return value;
}

// A pending exception with a real traceback, made from fresh objects so that
// identity checks mean something.
struct Reported {
    Ref type = Ref::borrow(PyExc_ValueError);
    Ref value = Ref::steal(PyObject_CallFunction(PyExc_ValueError, "s", "the reported failure"));
    Ref traceback;

    Reported() {
        run("try:\n    1 / 0\nexcept ZeroDivisionError as e:\n    _velmo_tb = e.__traceback__\n");
        traceback = eval("_velmo_tb");
    }
    void raise() const {
        PyErr_Restore(Py_XNewRef(type.get()), Py_XNewRef(value.get()), Py_XNewRef(traceback.get()));
    }
};

// What one traceback entry shows.
struct EntryView {
    std::string name;
    std::string file;
    int first_line;
    int line;
    PyObject *code;     // borrowed from the frame
    PyObject *globals;  // borrowed from the frame
};

// Read as Python code reads it: the frame record is opaque from 3.11 on, and
// tb_lineno is only computed when the attribute is first read from 3.12 on.
EntryView view(PyObject *traceback) {
    Ref frame = Ref::steal(PyObject_GetAttrString(traceback, "tb_frame"));
    Ref code = Ref::steal(PyObject_GetAttrString(frame.get(), "f_code"));
    Ref globals = Ref::steal(PyObject_GetAttrString(frame.get(), "f_globals"));
    Ref line = Ref::steal(PyObject_GetAttrString(traceback, "tb_lineno"));
    auto *code_record = reinterpret_cast<PyCodeObject *>(code.get());
    // The frame, which the traceback keeps, keeps the code and the globals.
    return {text_of(code_record->co_name),
            text_of(code_record->co_filename),
            code_record->co_firstlineno,
            static_cast<int>(PyLong_AsLong(line.get())),
            code.get(),
            globals.get()};
}

// What the dict slot of an exception holds, read without making a dict:
// NULL until its first attribute store.
PyObject *dict_slot(PyObject *exception) {
    return reinterpret_cast<PyBaseExceptionObject *>(exception)->dict;
}

PyObject *cached(const velmo::CodeObjectCache &cache, int key) {
    PyCodeObject *code = velmo::find_code_object(cache, key);
    Py_XDECREF(code);  // the cache keeps its own reference
    return reinterpret_cast<PyObject *>(code);
}

class ImplementationLineSwitch : public velmo_test::PythonTest {
  protected:
    // Decides with nothing pending, as add_traceback calls it, and checks
    // that every error met on the way was cleared.
    int decide(int implementation_line = 1298) {
        int shown = implementation_line_for_traceback(scope_.cache.switch_value, scope_.runtime.get(),
                                                      scope_.key.get(), implementation_line);
        EXPECT_EQ(PyErr_Occurred(), nullptr) << velmo_test::take_error_text();
        return shown;
    }
    Ref switch_value() { return ::switch_value(scope_.runtime.get()); }

    Scope scope_;
};

class AddTraceback : public ImplementationLineSwitch {};

TEST_F(ImplementationLineSwitch, BeforeTheRuntimeModuleExistsTheLineIsShown) {
    scope_.runtime.reset();
    EXPECT_EQ(decide(1690), 1690);
}

TEST_F(ImplementationLineSwitch, RuntimeModuleWithoutKeyStringShowsTheLineAndSetsNothing) {
    scope_.key.reset();
    EXPECT_EQ(decide(1694), 1694);
    EXPECT_FALSE(switch_value()) << "no switch may be recorded without its key string";
}

TEST_F(AddTraceback, ReportedFailureSurvivesASwitchLookupThatRaises) {
    // A key colliding with the switch's hash whose comparison fails makes the
    // dict lookup itself raise, and the store of False that follows fail.
    ASSERT_TRUE(
        run("class _VelmoCollider:\n"
            "    def __hash__(self):\n        return hash('cline_in_traceback')\n"
            "    def __eq__(self, other):\n        raise LookupError('compare')\n"));
    Ref collider = eval("_VelmoCollider()");
    ASSERT_EQ(PyDict_SetItem(PyModule_GetDict(scope_.runtime.get()), collider.get(), Py_True), 0);
    Reported reported;
    reported.raise();
    scope_.add("velmo.fun_hello", 1298, 2);

    PendingError error = take_error();
    ASSERT_EQ(error.value.get(), reported.value.get()) << error.message();
    EXPECT_EQ(view(error.traceback.get()).name, "velmo.fun_hello");
    EXPECT_EQ(
        reinterpret_cast<PyObject *>(reinterpret_cast<PyTracebackObject *>(error.traceback.get())->tb_next),
        reported.traceback.get())
        << "the reported failure's own entries follow";
}

TEST_F(ImplementationLineSwitch, RuntimeModuleWithoutDictIsAskedThroughGetattro) {
    // Stand-ins for a runtime module whose dict is not there yet: an exception
    // gets its dict on the first attribute store, on every version. Modules
    // no longer serve: from 3.11 on ModuleType.__new__ makes the dict at once
    // (and a module without one crashes the interpreter on a missing attribute).
    ASSERT_TRUE(
        run("class _VelmoNoDict(Exception): pass\n"
            "class _VelmoOn(_VelmoNoDict):\n    cline_in_traceback = True\n"
            "class _VelmoRaises(_VelmoNoDict):\n"
            "    @property\n    def cline_in_traceback(self):\n        raise KeyError('lookup')\n"
            "class _VelmoBadBool:\n    def __bool__(self):\n        raise RuntimeError('bool')\n"
            "class _VelmoBadTruth(_VelmoNoDict):\n    cline_in_traceback = _VelmoBadBool()\n"));
    struct Case {
        const char *module_type;
        int expected;
    };
    const Case cases[] = {
        {"_VelmoOn", 1298},     // fetched from the class, no dict needed
        {"_VelmoRaises", 0},    // a failed fetch of any kind means absent
        {"_VelmoBadTruth", 0},  // a failed truth test means False
    };
    for (const Case &c : cases) {
        scope_.runtime = eval((std::string(c.module_type) + "()").c_str());
        ASSERT_TRUE(scope_.runtime) << velmo_test::take_error_text();
        ASSERT_EQ(dict_slot(scope_.runtime.get()), nullptr) << c.module_type;
        EXPECT_EQ(decide(), c.expected) << c.module_type;
    }

    // Absent on a plain dict-less stand-in: hidden, and False is stored,
    // which gives the stand-in its dict.
    scope_.runtime = eval("_VelmoNoDict()");
    uint64_t version_before = scope_.cache.switch_value.version;
    EXPECT_EQ(decide(), 0);
    EXPECT_EQ(scope_.cache.switch_value.version, version_before) << "no dict lookup was made";
    PyObject *dict = dict_slot(scope_.runtime.get());
    ASSERT_NE(dict, nullptr);
    EXPECT_EQ(PyDict_GetItemString(dict, "cline_in_traceback"), Py_False);
}

TEST_F(AddTraceback, SitesOnOnePythonLineShareTheFirstCodeObject) {
    Reported reported;
    reported.raise();
    scope_.add("first", 0, 7);
    scope_.add("second", 0, 7, "other.py");
    scope_.add("at line zero", 0, 0);
    scope_.add("at line zero", 0, 0);
    PendingError error = take_error();
    auto *tb = reinterpret_cast<PyTracebackObject *>(error.traceback.get());
    EntryView zero_b = view(reinterpret_cast<PyObject *>(tb));
    EntryView zero_a = view(reinterpret_cast<PyObject *>(tb->tb_next));
    EntryView second = view(reinterpret_cast<PyObject *>(tb->tb_next->tb_next));
    EntryView first = view(reinterpret_cast<PyObject *>(tb->tb_next->tb_next->tb_next));
    EXPECT_EQ(second.code, first.code);
    EXPECT_EQ(second.name, "first");
    EXPECT_EQ(second.file, "velmo.py");
    // Key 0 is never cached: every such entry gets a code object of its own.
    EXPECT_NE(zero_a.code, zero_b.code);
    EXPECT_EQ(zero_a.line, 0);
    EXPECT_EQ(scope_.cache.code_objects.count, 1);
}

TEST_F(AddTraceback, GlobalsWithoutBuiltinsBeforeTheRuntimeModuleStillGetAnEntry) {
    // An import that failed between the globals and the runtime module: no
    // switch to consult, and `__builtins__` not yet in the globals.
    Ref globals = Ref::steal(PyDict_New());
    scope_.globals = globals;
    scope_.runtime.reset();
    Reported reported;
    reported.raise();
    scope_.add("init velmo", 1690, 1);

    PendingError error = take_error();
    ASSERT_TRUE(error.is(PyExc_ValueError));
    ASSERT_NE(error.traceback.get(), reported.traceback.get()) << "no entry was added";
    EntryView entry = view(error.traceback.get());
    EXPECT_EQ(entry.name, "init velmo (velmo.cpp:1690)");
    EXPECT_EQ(entry.line, 1);
    EXPECT_EQ(entry.globals, globals.get());
    EXPECT_EQ(PyDict_GetItemString(globals.get(), "__builtins__"), nullptr);
    EXPECT_EQ(cached(scope_.cache.code_objects, -1690), entry.code);
}

TEST_F(AddTraceback, NoMemoryForTheCodeObjectReplacesTheReportedFailure) {
    Ref earlier = Ref::steal(reinterpret_cast<PyObject *>(PyCode_NewEmpty("velmo.py", "earlier", 2)));
    velmo::insert_code_object(scope_.cache.code_objects, 2, reinterpret_cast<PyCodeObject *>(earlier.get()));
    Reported reported;
    Py_ssize_t value_count = refcount(reported.value.get());
    reported.raise();
    {
        AllocatorFailure failure({PYMEM_DOMAIN_RAW, PYMEM_DOMAIN_MEM, PYMEM_DOMAIN_OBJ});
        failure.set_failing(true);
        scope_.add("velmo.fun_hello", 0, 4);
        failure.set_failing(false);
        EXPECT_GT(failure.refused(), 0);
    }
    PendingError error = take_error();
    EXPECT_TRUE(error.is(PyExc_MemoryError)) << error.message();
    EXPECT_EQ(error.traceback.get(), nullptr) << "no entry may be added";
    EXPECT_EQ(refcount(reported.value.get()), value_count) << "the reported failure is released";
    EXPECT_EQ(scope_.cache.code_objects.count, 1);
    EXPECT_EQ(cached(scope_.cache.code_objects, 2), earlier.get());
    EXPECT_EQ(cached(scope_.cache.code_objects, 4), nullptr);
}

}  // namespace
