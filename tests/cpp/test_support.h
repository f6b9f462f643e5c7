// Helpers shared by velmo's C++ tests: running Python source in __main__,
// reading the pending exception, and allocators that fail on demand.
#ifndef VELMO_TESTS_CPP_TEST_SUPPORT_H
#define VELMO_TESTS_CPP_TEST_SUPPORT_H

#include "common/python_compat.h"

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <initializer_list>
#include <string>

#include "common/ref.h"

namespace velmo_test {

// The owner the module's own code uses; its counts are tested in
// test_ref.cpp.
using velmo::Ref;

inline Py_ssize_t refcount(PyObject *object) { return Py_REFCNT(object); }

// Whether `object` ignores reference counting: some objects are immortal from
// 3.12 on, and their counts say nothing about who holds a reference.
inline bool is_immortal(PyObject *object) {
    Py_ssize_t before = Py_REFCNT(object);
    Py_INCREF(object);
    bool unchanged = Py_REFCNT(object) == before;
    Py_DECREF(object);
    return unchanged;
}

// __main__'s namespace, where run() and eval() work (borrowed: sys.modules
// keeps __main__, and __main__ its namespace).
inline PyObject *main_dict() {
    Ref main = Ref::steal(PyImport_AddModuleRef("__main__"));
    return PyModule_GetDict(main.get());
}

// Runs statements in __main__; None, or NULL with the error pending.
inline Ref run(const char *source) {
    return Ref::steal(PyRun_String(source, Py_file_input, main_dict(), main_dict()));
}

// Evaluates an expression in __main__; its value, or NULL with the error pending.
inline Ref eval(const char *expression) {
    return Ref::steal(PyRun_String(expression, Py_eval_input, main_dict(), main_dict()));
}

// str(object) as UTF-8; "<NULL>" for NULL, "<str failed>" when str() raises.
inline std::string text_of(PyObject *object) {
    if (object == nullptr) {
        return "<NULL>";
    }
    Ref text = Ref::steal(PyObject_Str(object));
    const char *utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        return "<str failed>";
    }
    return utf8;
}

// The pending exception, taken out of the thread state and normalised.
struct PendingError {
    Ref type;
    Ref value;
    Ref traceback;

    bool is(PyObject *exception_type) const {
        return type && PyErr_GivenExceptionMatches(type.get(), exception_type);
    }
    std::string message() const { return text_of(value.get()); }
};

inline PendingError take_error() {
    PyObject *type = nullptr;
    PyObject *value = nullptr;
    PyObject *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type != nullptr) {
        PyErr_NormalizeException(&type, &value, &traceback);
        if (traceback != nullptr) {
            PyException_SetTraceback(value, traceback);
        }
    }
    return {Ref::steal(type), Ref::steal(value), Ref::steal(traceback)};
}

// "<type name>: <message>" of the pending exception, which it clears; "" when
// none is pending. For test diagnostics.
inline std::string take_error_text() {
    PendingError error = take_error();
    if (!error.type) {
        return "";
    }
    return std::string(reinterpret_cast<PyTypeObject *>(error.type.get())->tp_name) + ": " + error.message();
}

// Every test starts and must end without a pending exception.
class PythonTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(PyErr_Occurred(), nullptr) << take_error_text(); }
    void TearDown() override {
        EXPECT_EQ(PyErr_Occurred(), nullptr) << "left pending: " << take_error_text();
    }
};

// Wraps the interpreter's allocators of the given domains so that they refuse
// every request while failing is on. The original allocators keep serving all
// other requests and free every block, whoever allocated it, so objects made
// before the wrap stay valid. Restores the originals when it goes.
class AllocatorFailure {
  public:
    explicit AllocatorFailure(std::initializer_list<PyMemAllocatorDomain> domains) {
        for (PyMemAllocatorDomain domain : domains) {
            Hook &hook = hooks_[count_++];
            hook.owner = this;
            hook.domain = domain;
            PyMem_GetAllocator(domain, &hook.original);
            PyMemAllocatorEx wrapped = {&hook, hook_malloc, hook_calloc, hook_realloc, hook_free};
            PyMem_SetAllocator(domain, &wrapped);
        }
    }
    ~AllocatorFailure() {
        for (std::size_t i = 0; i < count_; ++i) {
            PyMem_SetAllocator(hooks_[i].domain, &hooks_[i].original);
        }
    }
    AllocatorFailure(const AllocatorFailure &) = delete;
    AllocatorFailure &operator=(const AllocatorFailure &) = delete;

    void set_failing(bool failing) { failing_ = failing; }
    int refused() const { return refused_; }

  private:
    struct Hook {
        AllocatorFailure *owner;
        PyMemAllocatorDomain domain;
        PyMemAllocatorEx original;
    };

    static bool refuse(void *ctx) {
        AllocatorFailure *owner = static_cast<Hook *>(ctx)->owner;
        if (owner->failing_) {
            ++owner->refused_;
        }
        return owner->failing_;
    }
    static void *hook_malloc(void *ctx, size_t size) {
        const PyMemAllocatorEx &o = static_cast<Hook *>(ctx)->original;
        return refuse(ctx) ? nullptr : o.malloc(o.ctx, size);
    }
    static void *hook_calloc(void *ctx, size_t count, size_t size) {
        const PyMemAllocatorEx &o = static_cast<Hook *>(ctx)->original;
        return refuse(ctx) ? nullptr : o.calloc(o.ctx, count, size);
    }
    static void *hook_realloc(void *ctx, void *block, size_t size) {
        const PyMemAllocatorEx &o = static_cast<Hook *>(ctx)->original;
        return refuse(ctx) ? nullptr : o.realloc(o.ctx, block, size);
    }
    static void hook_free(void *ctx, void *block) {
        const PyMemAllocatorEx &o = static_cast<Hook *>(ctx)->original;
        o.free(o.ctx, block);
    }

    std::array<Hook, 3> hooks_{};
    std::size_t count_ = 0;
    bool failing_ = false;
    int refused_ = 0;
};

}  // namespace velmo_test

#endif  // VELMO_TESTS_CPP_TEST_SUPPORT_H
