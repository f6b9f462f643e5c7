// The function object core, reached directly where Python code cannot: the
// conventions no method record should have, the keyword dict exactly as
// tp_call receives it, traversal that stops early, and clearing. Ordinary
// calls, flags and collection are covered through the peer extension's
// Python tests.
#include <string>
#include <vector>

#include "function_type/cyfunction.h"
#include "test_support.h"

namespace {

using velmo::CyFunction;
using velmo::cyfunction_call;
using velmo::cyfunction_new;
using velmo_test::PendingError;
using velmo_test::Ref;
using velmo_test::refcount;
using velmo_test::take_error;

// What the underlying operations received, handed back as a tuple
// (self, args or item) or (self, args, kw); g_null stands for a NULL argument.
PyObject *g_null = nullptr;
int g_calls = 0;

PyObject *or_null(PyObject *object) { return object != nullptr ? object : g_null; }

PyObject *record(PyObject *self, PyObject *arg) {
    ++g_calls;
    return PyTuple_Pack(2, or_null(self), or_null(arg));
}

// The same for a keyword-taking record: (self, args, kw).
PyObject *record_keywords(PyObject *self, PyObject *args, PyObject *kw) {
    ++g_calls;
    return PyTuple_Pack(3, or_null(self), or_null(args), or_null(kw));
}

PyMethodDef m_varargs = {"va", record, METH_VARARGS, nullptr};
PyMethodDef m_noargs = {"f", record, METH_NOARGS, nullptr};
PyMethodDef m_o = {"one", record, METH_O, nullptr};
PyMethodDef m_keywords = {"kw",
                          reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(record_keywords)),
                          METH_VARARGS | METH_KEYWORDS, nullptr};

class CyFunctionCore : public velmo_test::PythonTest {
  protected:
    void SetUp() override {
        PythonTest::SetUp();
        // The process's function type, registered by the first case that asks.
        type_ = Ref::steal(reinterpret_cast<PyObject *>(velmo::fetch_shared_function_type()));
        ASSERT_TRUE(type_) << velmo_test::take_error_text();
        null_ = Ref::steal(PyUnicode_FromString("<NULL>"));
        g_null = null_.get();
        g_calls = 0;
        globals_ = Ref::steal(PyDict_New());
        qualname_ = Ref::steal(PyUnicode_FromString("Owner.method"));
    }
    void TearDown() override {
        g_null = nullptr;
        PythonTest::TearDown();
    }

    Ref make(PyMethodDef *method, uint32_t flags = 0) {
        Ref func = Ref::steal(cyfunction_new(type(), method, flags, qualname_.get(), nullptr, nullptr,
                                             globals_.get(), nullptr));
        EXPECT_TRUE(func);
        return func;
    }
    static Ref tuple(std::vector<PyObject *> items) {
        Ref result = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
        for (std::size_t i = 0; i < items.size(); ++i) {
            PyTuple_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), Py_NewRef(items[i]));
        }
        return result;
    }
    static Ref call(const Ref &func, const Ref &args, PyObject *kw = nullptr) {
        return Ref::steal(cyfunction_call(func.get(), args.get(), kw));
    }
    // The call failed with exactly this exception type and message.
    static void expect_error(const Ref &result, PyObject *type, const std::string &message) {
        EXPECT_FALSE(result);
        PendingError error = take_error();
        EXPECT_TRUE(error.is(type)) << error.message();
        EXPECT_EQ(error.message(), message);
    }

    PyTypeObject *type() const { return reinterpret_cast<PyTypeObject *>(type_.get()); }

    Ref type_;
    Ref null_;
    Ref globals_;
    Ref qualname_;
    Ref a_ = Ref::steal(PyList_New(0));
    Ref b_ = Ref::steal(PyList_New(0));
};

TEST_F(CyFunctionCore, UnsupportedConventionsRaiseSystemError) {
    const int conventions[] = {
        0, 2, 5, 6, 7, 9, 10, 11, 12, 13, 14, 15, METH_FASTCALL, METH_FASTCALL | METH_KEYWORDS};
    Ref single = tuple({a_.get()});
    for (int flags : conventions) {
        PyMethodDef method = {"bad", record, flags, nullptr};
        Ref func = make(&method);
        expect_error(call(func, single), PyExc_SystemError,
                     "Bad call flags in __Pyx_CyFunction_Call. METH_OLDARGS is no longer supported!");
    }
    EXPECT_EQ(g_calls, 0);
}

// The keyword dict as the interpreter hands it to tp_call (PyObject_Call):
// NULL without keywords, an empty dict for `f(*args, **{})`, a dict holding
// them otherwise. Empty counts as no keywords, on the common call's
// convention as on the others; any keyword is refused before the operation
// runs; a keyword-taking record gets the very tuple and dict, or NULL.
TEST_F(CyFunctionCore, EmptyKeywordDictIsNoKeywordsAndAnyKeywordIsRefused) {
    Ref empty = Ref::steal(PyDict_New());
    Ref keywords = Ref::steal(PyDict_New());
    ASSERT_EQ(PyDict_SetItemString(keywords.get(), "k", b_.get()), 0);
    struct Case {
        PyMethodDef *method;
        uint32_t flags;
        Ref args;
    };
    const Case cases[] = {
        {&m_varargs, 0, tuple({a_.get()})},
        {&m_noargs, 0, tuple({})},
        {&m_o, 0, tuple({a_.get()})},
        {&m_o, velmo::CYFUNC_MEMBER, tuple({a_.get(), b_.get()})},  // self taken from the arguments
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.method->ml_name) + (c.flags != 0 ? " (member)" : ""));
        Ref func = make(c.method, c.flags);
        g_calls = 0;
        Ref without = call(func, c.args);
        ASSERT_TRUE(without) << velmo_test::take_error_text();
        Ref with_empty = call(func, c.args, empty.get());
        ASSERT_TRUE(with_empty) << velmo_test::take_error_text();
        EXPECT_EQ(PyObject_RichCompareBool(with_empty.get(), without.get(), Py_EQ), 1)
            << velmo_test::text_of(with_empty.get()) << " != " << velmo_test::text_of(without.get());
        EXPECT_EQ(g_calls, 2);

        g_calls = 0;
        Ref result = call(func, c.args, keywords.get());
        ASSERT_FALSE(result);
        PendingError error = take_error();
        EXPECT_TRUE(error.is(PyExc_TypeError)) << error.message();
        EXPECT_EQ(error.message(), std::string(c.method->ml_name) + "() takes no keyword arguments");
        EXPECT_FALSE(Ref::steal(PyException_GetContext(error.value.get()))) << "no chained error";
        EXPECT_EQ(PyErr_Occurred(), nullptr);
        EXPECT_EQ(g_calls, 0) << "refused before the operation ran";
    }

    Ref func = make(&m_keywords);
    Ref args = tuple({a_.get()});
    for (PyObject *kw : {static_cast<PyObject *>(nullptr), empty.get(), keywords.get()}) {
        Ref result = call(func, args, kw);
        ASSERT_TRUE(result) << velmo_test::take_error_text();
        EXPECT_EQ(PyTuple_GET_ITEM(result.get(), 1), args.get());
        EXPECT_EQ(PyTuple_GET_ITEM(result.get(), 2), or_null(kw));
    }
}

// A function whose every owned field holds a distinct object, and a defaults
// block (x, NULL, y) behind them.
class CyFunctionFields : public CyFunctionCore {
  protected:
    void SetUp() override {
        CyFunctionCore::SetUp();
        for (Ref &object : fields_) {
            object = Ref::steal(PyList_New(0));
        }
        for (Ref &object : fields_) {
            baseline_.push_back(refcount(object.get()));
        }
        x_base_ = refcount(x_.get());
        y_base_ = refcount(y_.get());
        // Construction takes module, qualname, globals, code and closure.
        func_ = Ref::steal(cyfunction_new(type(), &m_varargs, 0, fields_[4].get(), fields_[0].get(),
                                          fields_[1].get(), fields_[6].get(), fields_[7].get()));
        ASSERT_TRUE(func_);
        op_ = reinterpret_cast<CyFunction *>(func_.get());
        op_->dict = Py_NewRef(fields_[2].get());
        op_->name = Py_NewRef(fields_[3].get());
        op_->doc = Py_NewRef(fields_[5].get());
        op_->class_object = Py_NewRef(fields_[8].get());
        op_->defaults_tuple = Py_NewRef(fields_[9].get());
        op_->kwdefaults = Py_NewRef(fields_[10].get());
        op_->annotations = Py_NewRef(fields_[11].get());
        // Room behind the references is the creator's own; the block is freed as a whole.
        auto **block = static_cast<PyObject **>(PyObject_Malloc(3 * sizeof(PyObject *) + 16));
        block[0] = Py_NewRef(x_.get());
        block[1] = nullptr;
        block[2] = Py_NewRef(y_.get());
        op_->defaults_block = block;
        op_->defaults_count = 3;
    }

    // In the order traversal and clearing take them: closure, module, dict,
    // name, qualname, doc, globals, code, class object, defaults tuple,
    // keyword defaults, annotations.
    Ref fields_[12];
    std::vector<Py_ssize_t> baseline_;
    Ref x_ = Ref::steal(PyList_New(0));
    Ref y_ = Ref::steal(PyList_New(0));
    Py_ssize_t x_base_ = 0;
    Py_ssize_t y_base_ = 0;
    Ref func_;
    CyFunction *op_ = nullptr;
};

struct Visits {
    std::vector<PyObject *> seen;
    std::size_t stop_at = 0;  // 1-based visit that returns non-zero; 0: never
};

int record_visit(PyObject *object, void *arg) {
    auto *visits = static_cast<Visits *>(arg);
    visits->seen.push_back(object);
    return visits->seen.size() == visits->stop_at ? 7 : 0;
}

// The order of the visits is tested from Python (gc.get_referents); a visit
// that returns non-zero, which no Python code can make, is tested here.
TEST_F(CyFunctionFields, FirstNonZeroVisitEndsTheTraversal) {
    for (std::size_t stop : {std::size_t{3}, std::size_t{13}}) {  // a field, then x in the block
        Visits stopping;
        stopping.stop_at = stop;
        EXPECT_EQ(velmo::cyfunction_traverse(func_.get(), record_visit, &stopping), 7);
        EXPECT_EQ(stopping.seen.size(), stop);
        EXPECT_EQ(stopping.seen.back(), stop == 3 ? fields_[2].get() : x_.get());
    }
}

TEST_F(CyFunctionFields, ClearReleasesEverythingOnceAndTwiceIsHarmless) {
    EXPECT_EQ(velmo::cyfunction_clear(func_.get()), 0);
    EXPECT_EQ(refcount(x_.get()), x_base_);
    EXPECT_EQ(refcount(y_.get()), y_base_);
    for (std::size_t i = 0; i < 12; ++i) {
        EXPECT_EQ(refcount(fields_[i].get()), baseline_[i]) << "field " << i;
    }
    EXPECT_EQ(op_->defaults_block, nullptr);
    EXPECT_EQ(op_->defaults_count, 3) << "only the NULL block marks the defaults as gone";
    EXPECT_EQ(op_->qualname, nullptr);
    EXPECT_EQ(op_->globals, nullptr);
    EXPECT_EQ(op_->self, func_.get());
    EXPECT_EQ(op_->method, &m_varargs);

    EXPECT_EQ(velmo::cyfunction_clear(func_.get()), 0);
    func_.reset();  // destruction after clear finds nothing more to release
    EXPECT_EQ(refcount(x_.get()), x_base_);
}

}  // namespace
