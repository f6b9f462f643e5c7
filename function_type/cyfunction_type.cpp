// The static type object of `cython_function_or_method`, its shared
// registration (fetch_shared_function_type) and the object's lifetime slots:
// traversal, clearing and destruction.
#include "common/ref.h"
#include "function_type/cyfunction.h"

namespace velmo {

namespace {

// Name of the registry module shared by every module following these conventions.
constexpr const char kRegistryModuleName[] = "_cython_0_29_32";

// The owned object fields, in the order traversal visits and clearing
// releases them. The defaults block's entries follow them in both walks.
constexpr PyObject *CyFunction::*kOwnedFields[] = {
    &CyFunction::closure,        &CyFunction::module,     &CyFunction::dict,
    &CyFunction::name,           &CyFunction::qualname,   &CyFunction::doc,
    &CyFunction::globals,        &CyFunction::code,       &CyFunction::class_object,
    &CyFunction::defaults_tuple, &CyFunction::kwdefaults, &CyFunction::annotations,
};

// Destruction, with the other lifetime slots below.
void cyfunction_dealloc(PyObject *func) noexcept;

}  // namespace

// One slot a line, in the order of PyTypeObject, up to tp_vectorcall. The
// fields that later versions append (tp_watched, tp_versions_used, ...) are
// the interpreter's own and zero in every static type, which is what leaving
// them out of the initialiser gives them. The warning about missing
// initialisers is silenced for this one definition instead of spelling those
// fields per version.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
// clang-format off
PyTypeObject cyfunction_type = {
    PyVarObject_HEAD_INIT(nullptr, 0)
    "cython_function_or_method",  // tp_name: no dotted prefix, shared by name
    kCyFunctionBasicSize,         // tp_basicsize
    0,                            // tp_itemsize
    cyfunction_dealloc,           // tp_dealloc
    0,                            // tp_vectorcall_offset: every call goes through tp_call
    nullptr,                      // tp_getattr
    nullptr,                      // tp_setattr
    nullptr,                      // tp_as_async
    cyfunction_repr,              // tp_repr
    nullptr,                      // tp_as_number
    nullptr,                      // tp_as_sequence
    nullptr,                      // tp_as_mapping
    nullptr,                      // tp_hash
    cyfunction_call,              // tp_call
    nullptr,                      // tp_str
    nullptr,                      // tp_getattro
    nullptr,                      // tp_setattro
    nullptr,                      // tp_as_buffer
    Py_TPFLAGS_HAVE_GC,           // tp_flags: not subclassable, no vectorcall
    nullptr,                      // tp_doc
    cyfunction_traverse,          // tp_traverse
    cyfunction_clear,             // tp_clear
    nullptr,                      // tp_richcompare
    offsetof(CyFunction, weakreflist),  // tp_weaklistoffset
    nullptr,                      // tp_iter
    nullptr,                      // tp_iternext
    cyfunction_methods,           // tp_methods
    cyfunction_members,           // tp_members
    cyfunction_getsets,           // tp_getset
    nullptr,                      // tp_base
    nullptr,                      // tp_dict
    cyfunction_descr_get,         // tp_descr_get
    nullptr,                      // tp_descr_set
    offsetof(CyFunction, dict),   // tp_dictoffset
    nullptr,                      // tp_init
    nullptr,                      // tp_alloc
    nullptr,                      // tp_new: not instantiable from Python
    nullptr,                      // tp_free
    nullptr,                      // tp_is_gc
    nullptr,                      // tp_bases
    nullptr,                      // tp_mro
    nullptr,                      // tp_cache
    nullptr,                      // tp_subclasses
    nullptr,                      // tp_weaklist
    nullptr,                      // tp_del
    0,                            // tp_version_tag
    nullptr,                      // tp_finalize
    nullptr,                      // tp_vectorcall
};
// clang-format on
#pragma GCC diagnostic pop

namespace {

// Whether records of `type` can be ours: objects are allocated with the
// registered type's size and read with our layout, and its slot machinery
// walks the dict and weak-reference slots at the offsets it declares. A class
// that only happens to be 184 bytes long (21 `__slots__`, say) would have the
// interpreter read our plain fields as objects. The base must be `object`
// itself: a class derived from anything else inherits slots that read the
// record as their own (a Python class on a base whose weak-reference list
// lies at our offset can line up every offset checked here), while on
// `object` alone a Python class puts its dict before its weak-reference list,
// never after it as the record does.
bool has_function_layout(const PyTypeObject *type) noexcept {
    return type->tp_base == &PyBaseObject_Type && (type->tp_flags & Py_TPFLAGS_HAVE_GC) != 0 &&
           type->tp_itemsize == 0 &&
           type->tp_dictoffset == static_cast<Py_ssize_t>(offsetof(CyFunction, dict)) &&
           type->tp_weaklistoffset == static_cast<Py_ssize_t>(offsetof(CyFunction, weakreflist));
}

// Accepts what the registry holds, or raises TypeError naming our type.
PyTypeObject *accept_registered(PyObject *found, const PyTypeObject *own_type) noexcept {
    Ref owned = Ref::steal(found);
    if (!PyType_Check(found)) {
        PyErr_Format(PyExc_TypeError, "Shared Cython type %.200s is not a type object", own_type->tp_name);
        return nullptr;
    }
    auto *type = reinterpret_cast<PyTypeObject *>(found);
    if (type->tp_basicsize != own_type->tp_basicsize) {
        PyErr_Format(PyExc_TypeError, "Shared Cython type %.200s has the wrong size, try recompiling",
                     own_type->tp_name);
        return nullptr;
    }
    if (!has_function_layout(type)) {
        PyErr_Format(
            PyExc_TypeError,
            "Shared Cython type %.200s is incompatible: %.200s has a different layout, try recompiling",
            own_type->tp_name, type->tp_name);
        return nullptr;
    }
    return reinterpret_cast<PyTypeObject *>(owned.release());
}

}  // namespace

PyTypeObject *fetch_shared_function_type(PyTypeObject *own_type, const char *registry_name) noexcept {
    Ref registry = Ref::steal(PyImport_AddModuleRef(registry_name));
    if (!registry) {
        return nullptr;
    }
    PyObject *found = PyObject_GetAttrString(registry.get(), own_type->tp_name);
    if (found != nullptr) {
        return accept_registered(found, own_type);
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return nullptr;
    }
    // Nothing registered yet: ours becomes the process's type.
    PyErr_Clear();
    if (PyType_Ready(own_type) < 0 || PyObject_SetAttrString(registry.get(), own_type->tp_name,
                                                             reinterpret_cast<PyObject *>(own_type)) < 0) {
        return nullptr;
    }
    Py_INCREF(own_type);
    return own_type;
}

PyTypeObject *fetch_shared_function_type() noexcept {
    return fetch_shared_function_type(&cyfunction_type, kRegistryModuleName);
}

int cyfunction_traverse(PyObject *func, visitproc visit, void *arg) noexcept {
    auto *op = reinterpret_cast<CyFunction *>(func);
    for (PyObject *CyFunction::*field : kOwnedFields) {
        Py_VISIT(op->*field);
    }
    if (op->defaults_block != nullptr) {
        auto **entries = static_cast<PyObject **>(op->defaults_block);
        for (int32_t i = 0; i < op->defaults_count; ++i) {
            Py_VISIT(entries[i]);
        }
    }
    return 0;
}

int cyfunction_clear(PyObject *func) noexcept {
    auto *op = reinterpret_cast<CyFunction *>(func);
    // Py_CLEAR empties each field before releasing it, so code that a release
    // runs sees a consistent, partly cleared object.
    for (PyObject *CyFunction::*field : kOwnedFields) {
        Py_CLEAR(op->*field);
    }
    if (op->defaults_block != nullptr) {
        // Detach the block before releasing its entries: a finaliser run by a
        // release may install a new block, which must not be freed unreleased
        // and must not pull this one from under the loop. The count keeps its
        // value; the NULL block alone marks the defaults as gone.
        auto **entries = static_cast<PyObject **>(op->defaults_block);
        int32_t count = op->defaults_count;
        op->defaults_block = nullptr;
        for (int32_t i = 0; i < count; ++i) {
            Py_CLEAR(entries[i]);
        }
        PyObject_Free(entries);
    }
    return 0;
}

namespace {

void cyfunction_dealloc(PyObject *func) noexcept {
    auto *op = reinterpret_cast<CyFunction *>(func);
    PyObject_GC_UnTrack(func);
    // Weak-reference callbacks may look at the function: they run before any
    // field is released.
    if (op->weakreflist != nullptr) {
        PyObject_ClearWeakRefs(func);
    }
    cyfunction_clear(func);
    PyObject_GC_Del(func);
}

}  // namespace

}  // namespace velmo
