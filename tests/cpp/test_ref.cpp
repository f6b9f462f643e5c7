// The ownership helpers that the module and every other test rely on: each
// operation of the reference owner must leave the owned object's count
// exactly where it belongs, and the saved-exception guard must hand back the
// very exception it took.
#include "test_support.h"

namespace {

using velmo_test::Ref;
using velmo_test::refcount;

class RefOwner : public velmo_test::PythonTest {
  protected:
    void SetUp() override {
        PythonTest::SetUp();
        a_ = PyList_New(0);  // lists: never cached or immortal, so counts are exact
        b_ = PyList_New(0);
        ASSERT_NE(a_, nullptr);
        ASSERT_NE(b_, nullptr);
        a_base_ = refcount(a_);
        b_base_ = refcount(b_);
    }
    void TearDown() override {
        EXPECT_EQ(refcount(a_), a_base_);
        EXPECT_EQ(refcount(b_), b_base_);
        Py_DECREF(a_);
        Py_DECREF(b_);
        PythonTest::TearDown();
    }
    PyObject *a_ = nullptr;
    PyObject *b_ = nullptr;
    Py_ssize_t a_base_ = 0;
    Py_ssize_t b_base_ = 0;
};

TEST_F(RefOwner, StealAndBorrowDifferOnlyInTheReferenceTaken) {
    {
        Ref borrowed = Ref::borrow(a_);
        EXPECT_EQ(refcount(a_), a_base_ + 1);
        Ref stolen = Ref::steal(Py_NewRef(a_));
        EXPECT_EQ(refcount(a_), a_base_ + 2);
        EXPECT_FALSE(Ref::borrow(nullptr));
    }
    EXPECT_EQ(refcount(a_), a_base_);
}

TEST_F(RefOwner, CopyTakesAReferenceAndMoveHandsItOver) {
    Ref first = Ref::borrow(a_);
    Ref copy = first;
    EXPECT_EQ(refcount(a_), a_base_ + 2);
    Ref moved = std::move(first);
    EXPECT_EQ(refcount(a_), a_base_ + 2);
    EXPECT_FALSE(first);  // NOLINT(bugprone-use-after-move): the empty source is the point
    EXPECT_EQ(moved.get(), a_);
}

TEST_F(RefOwner, AssignmentsReleaseWhatTheTargetHeld) {
    Ref target = Ref::borrow(a_);
    Ref source = Ref::borrow(b_);
    target = std::move(source);  // a's reference must go, b's is handed over
    EXPECT_EQ(refcount(a_), a_base_);
    EXPECT_EQ(refcount(b_), b_base_ + 1);
    EXPECT_FALSE(source);  // NOLINT(bugprone-use-after-move)

    Ref other = Ref::borrow(a_);
    target = other;  // copy: b released, a shared
    EXPECT_EQ(refcount(b_), b_base_);
    EXPECT_EQ(refcount(a_), a_base_ + 2);
}

TEST_F(RefOwner, SelfAssignmentKeepsTheLastReferenceAlive) {
    Ref only = Ref::steal(PyList_New(0));
    PyObject *list = only.get();
    Ref &alias = only;
    only = alias;
    only = std::move(alias);
    ASSERT_EQ(only.get(), list);
    EXPECT_EQ(refcount(list), 1);
}

TEST_F(RefOwner, ResetAndReleaseTransferOwnership) {
    Ref owner = Ref::borrow(a_);
    owner.reset(Py_NewRef(b_));
    EXPECT_EQ(refcount(a_), a_base_);
    PyObject *handed = owner.release();
    EXPECT_FALSE(owner);
    EXPECT_EQ(refcount(b_), b_base_ + 1);
    Py_DECREF(handed);
}

TEST_F(RefOwner, SavedExceptionPutsBackTheVeryExceptionOrGivesWayWhenDiscarded) {
    // An instance (holding a_), not a raw value: 3.12 and later would make
    // one from a raw value at once, and the guard must hand back the very
    // object that was pending on every version.
    PyObject *raised = PyObject_CallOneArg(PyExc_ValueError, a_);
    ASSERT_NE(raised, nullptr);
    const Py_ssize_t raised_base = refcount(raised);
    PyErr_SetObject(PyExc_ValueError, raised);
    PyObject *type = nullptr;
    PyObject *value = nullptr;
    PyObject *traceback = nullptr;
    {
        velmo::SavedException saved;
        EXPECT_EQ(PyErr_Occurred(), nullptr) << "the failure is moved aside";
        PyErr_SetString(PyExc_KeyError, "raised meanwhile");
    }
    PyErr_Fetch(&type, &value, &traceback);
    EXPECT_EQ(type, PyExc_ValueError) << "what was raised meanwhile is dropped";
    EXPECT_EQ(value, raised);
    PyErr_Restore(type, value, traceback);
    {
        velmo::SavedException saved;
        PyErr_SetString(PyExc_KeyError, "replaces it");
        saved.discard();
    }
    EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_KeyError));
    PyErr_Clear();
    EXPECT_EQ(refcount(raised), raised_base) << "the discarded exception is released once";
    Py_DECREF(raised);
    // TearDown finds a_ back at its count: the instance that held it is gone.
}

}  // namespace
