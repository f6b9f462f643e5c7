// Ownership helpers that every layer may use: Ref, the owner of one object
// reference, and SavedException, which moves the pending exception aside
// for a scope. Nothing here knows about velmo's module or types.
#ifndef VELMO_COMMON_REF_H
#define VELMO_COMMON_REF_H

#include "common/python_compat.h"

#include <utility>

namespace velmo {

// Owns one reference, or none. Copies take a reference of their own; moves
// hand the reference over and leave the source empty.
class Ref {
  public:
    Ref() noexcept = default;
    // Takes over a new reference (or NULL, as a failed call returns).
    static Ref steal(PyObject *object) noexcept { return Ref(object); }
    // Takes a reference of its own to a borrowed object.
    static Ref borrow(PyObject *object) noexcept { return Ref(Py_XNewRef(object)); }

    Ref(const Ref &other) noexcept : object_(Py_XNewRef(other.object_)) {}
    Ref(Ref &&other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    // The new reference is taken before the old one goes, so assigning an
    // owner to itself (or to one holding the same object) never frees it.
    Ref &operator=(const Ref &other) noexcept {
        if (this != &other) {
            reset(Py_XNewRef(other.object_));
        }
        return *this;
    }
    Ref &operator=(Ref &&other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    // Stores a new reference, then releases the old one: code that the
    // release runs already sees the new value.
    void reset(PyObject *object = nullptr) noexcept { Py_XSETREF(object_, object); }
    // Hands the reference to the caller.
    [[nodiscard]] PyObject *release() noexcept { return std::exchange(object_, nullptr); }
    [[nodiscard]] PyObject *get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

  private:
    explicit Ref(PyObject *object) noexcept : object_(object) {}
    PyObject *object_ = nullptr;
};

// Moves the calling thread's pending exception (if any) aside while it
// lives, so that calls which must not run with an error pending can be
// made, and puts it back when it goes, or earlier with restore(). Whatever
// error those calls left pending is released then: the saved failure is the
// one being reported.
class SavedException {
  public:
    SavedException() noexcept : saved_(compat::save_exception()) {}
    ~SavedException() { restore(); }
    SavedException(const SavedException &) = delete;
    SavedException &operator=(const SavedException &) = delete;

    // Makes the saved exception pending again now; the guard is then spent.
    void restore() noexcept {
        if (!spent_) {
            spent_ = true;
            compat::restore_exception(saved_);
        }
    }
    // Drops the saved exception for good: the error pending when the guard
    // goes stays pending instead.
    void discard() noexcept {
        // Restoring nothing instead would clear the error pending then.
        if (!spent_) {
            spent_ = true;
            compat::discard_exception(saved_);
        }
    }

    // When nothing was pending as the guard was made, raises type(message)
    // and moves that aside instead, for a failure that set no exception.
    void fill_if_empty(PyObject *type, const char *message) noexcept {
        if (!spent_ && !compat::holds_exception(saved_)) {
            PyErr_SetString(type, message);
            saved_ = compat::save_exception();  // the empty one owned nothing
        }
    }

  private:
    compat::RaisedException saved_;  // owned until put back or discarded
    bool spent_ = false;
};

}  // namespace velmo

#endif  // VELMO_COMMON_REF_H
