// init_string_constants over tables with every kind of row: an interned and
// a plain str, each with its hash computed, and a row that fails part-way.
// The module's own table is exercised by every import.
#include "module/module_state.h"
#include "test_support.h"

namespace {

using velmo_test::PendingError;
using velmo_test::Ref;
using velmo_test::refcount;
using velmo_test::take_error;

class StringConstants : public velmo_test::PythonTest {};

TEST_F(StringConstants, EachKindOfRowBuildsItsStrWithItsHash) {
    PyObject *interned = nullptr;
    PyObject *plain = nullptr;
    const velmo::StringConstantEntry table[] = {
        {&interned, "velmo_test_interned", true},
        {&plain, "velmo test plain", false},
        {nullptr, nullptr, false},
    };
    ASSERT_EQ(velmo::init_string_constants(table), 0) << velmo_test::take_error_text();

    ASSERT_TRUE(interned != nullptr && PyUnicode_CHECK_INTERNED(interned));
    Ref same = Ref::steal(PyUnicode_InternFromString("velmo_test_interned"));
    EXPECT_EQ(same.get(), interned);
    ASSERT_TRUE(plain != nullptr && PyUnicode_CheckExact(plain));
    EXPECT_FALSE(PyUnicode_CHECK_INTERNED(plain));
    EXPECT_EQ(velmo_test::text_of(plain), "velmo test plain");

    for (PyObject *object : {interned, plain}) {
        EXPECT_NE(reinterpret_cast<PyASCIIObject *>(object)->hash, -1) << velmo_test::text_of(object);
        Py_DECREF(object);
    }
}

TEST_F(StringConstants, FailingRowEndsTheTableAndKeepsEarlierRows) {
    Ref previous = Ref::steal(PyUnicode_FromString("left by an earlier run"));
    Py_ssize_t previous_count = refcount(previous.get());
    PyObject *first = nullptr;
    PyObject *failing = Py_NewRef(previous.get());
    PyObject *after = nullptr;
    const velmo::StringConstantEntry table[] = {
        {&first, "kept", false},
        {&failing, "not UTF-8: \xff", false},
        {&after, "never", false},
        {nullptr, nullptr, false},
    };
    EXPECT_EQ(velmo::init_string_constants(table), -1);
    PendingError error = take_error();
    EXPECT_TRUE(error.is(PyExc_UnicodeDecodeError)) << error.message();

    ASSERT_NE(first, nullptr);
    EXPECT_EQ(velmo_test::text_of(first), "kept");
    EXPECT_EQ(failing, nullptr) << "the failed row stores its NULL";
    EXPECT_EQ(refcount(previous.get()), previous_count) << "what the field held is released";
    EXPECT_EQ(after, nullptr);
    Py_DECREF(first);
}

}  // namespace
