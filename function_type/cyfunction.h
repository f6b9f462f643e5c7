// The `cython_function_or_method` function type: its object record, whose
// 184-byte layout is shared with other extension modules of the process, and
// the operations that build, call, bind, traverse, clear and destroy it.
#ifndef VELMO_FUNCTION_TYPE_CYFUNCTION_H
#define VELMO_FUNCTION_TYPE_CYFUNCTION_H

#include "common/python_compat.h"

#include <cstddef>
#include <cstdint>

namespace velmo {

// The bits of CyFunction::flags keep the spelling shared with the other modules that read them.
// Cancels the unbound-member treatment of CYFUNC_MEMBER.
inline constexpr uint32_t CYFUNC_STATIC = 0x1;
// Unbound member: the first positional argument becomes the call's self.
inline constexpr uint32_t CYFUNC_MEMBER = 0x4;

// Returns (defaults tuple, keyword-defaults dict) as a new tuple of at least
// two items, or NULL with an exception set.
using DefaultsGetter = PyObject *(*)(PyObject *func);

// The first 56 bytes mirror PyCFunctionObject so that code written against
// the built-in function layout can read them; the type does not derive from
// it. Offsets are frozen (see cyfunction_layout.cpp): other modules built
// separately allocate and read these records.
struct CyFunction {
    PyObject ob_base;                // 0: reference count and type (not counted)
    PyMethodDef *method;             // 16: borrowed, static; name, entry, convention, doc
    PyObject *self;                  // 24: not counted; first argument of an ordinary call
    PyObject *module;                // 32: owned or NULL; __module__
    PyObject *weakreflist;           // 40: maintained by the weak-reference machinery
    vectorcallfunc vectorcall;       // 48: never read
    PyObject *dict;                  // 56: owned or NULL until first needed; __dict__
    PyObject *name;                  // 64: owned or NULL; cached __name__
    PyObject *qualname;              // 72: owned str; NULL only after clear
    PyObject *doc;                   // 80: owned or NULL; cached __doc__
    PyObject *globals;               // 88: owned dict; NULL only after clear
    PyObject *code;                  // 96: owned or NULL; __code__
    PyObject *closure;               // 104: owned or NULL; what __self__ reports
    PyObject *class_object;          // 112: owned or NULL; only traversed and released
    void *defaults_block;            // 120: owned (PyObject_Malloc) or NULL; see below
    int32_t defaults_count;          // 128: object pointers at the start of defaults_block
    uint64_t defaults_size;          // 136: belongs to the creator; never read here
    uint32_t flags;                  // 144: CYFUNC_STATIC, CYFUNC_MEMBER
    PyObject *defaults_tuple;        // 152: owned or NULL; cache of __defaults__
    PyObject *kwdefaults;            // 160: owned or NULL; cache of __kwdefaults__
    DefaultsGetter defaults_getter;  // 168: NULL or fills the two fields above
    PyObject *annotations;           // 176: owned dict or NULL; __annotations__
};
// Invariant: between construction and clear, qualname is a str and globals a
// dict; every owned field is visited by traverse and released by clear
// (kOwnedFields in cyfunction_type.cpp).
// defaults_block starts with defaults_count object pointers (owned, or NULL);
// what lies behind them belongs to the module that created the function.

inline constexpr Py_ssize_t kCyFunctionBasicSize = 184;

// This library's own static type object. Which type function objects really
// use is what fetch_shared_function_type returns: another module may have
// registered one first, and then this object is never readied.
extern PyTypeObject cyfunction_type;

// The function type of the process, as a new reference: the one registered
// in the registry module, or this library's own, registered now.
PyTypeObject *fetch_shared_function_type() noexcept;
// The same with the own type and the registry named; the seam that lets tests
// start from a type that was never readied, in a registry of their own.
PyTypeObject *fetch_shared_function_type(PyTypeObject *own_type, const char *registry_name) noexcept;

// A new, tracked function object of `type` (what the fetch returned). Like
// PyCMethod_New it takes every input; nothing is read from elsewhere.
PyObject *cyfunction_new(PyTypeObject *type, PyMethodDef *method, uint32_t flags, PyObject *qualname,
                         PyObject *closure, PyObject *module, PyObject *globals, PyObject *code) noexcept;

// Slots defined in one file of this layer and taken by the type object in
// another, or called directly by code that drives a function object (the
// tests, a peer extension built on this layer).
PyObject *cyfunction_call(PyObject *func, PyObject *args, PyObject *kw) noexcept;
PyObject *cyfunction_descr_get(PyObject *func, PyObject *instance, PyObject *owner) noexcept;
int cyfunction_traverse(PyObject *func, visitproc visit, void *arg) noexcept;
int cyfunction_clear(PyObject *func) noexcept;

// Attributes, repr and pickling (cyfunction_attributes.cpp).
extern PyGetSetDef cyfunction_getsets[];
extern PyMemberDef cyfunction_members[];
extern PyMethodDef cyfunction_methods[];
PyObject *cyfunction_repr(PyObject *func) noexcept;

}  // namespace velmo

#endif  // VELMO_FUNCTION_TYPE_CYFUNCTION_H
