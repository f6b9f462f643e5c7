// fetch_shared_function_type where Python cannot look: the reference counts
// of what it finds and registers, whether this library's own type was
// readied, and a registry that cannot be obtained at all. What each registry
// content makes of an import (the errors and their messages) is tested from
// Python. Each case starts from a never-readied copy of the type and a registry
// name of its own, so nothing is registered at its start.
#include <string>
#include <vector>

#include "common/python_compat.h"
#include "function_type/cyfunction.h"
#include "test_support.h"

#include <structmember.h>  // after Python.h, which it relies on

namespace {

using velmo_test::eval;
using velmo_test::PendingError;
using velmo_test::Ref;
using velmo_test::refcount;
using velmo_test::run;
using velmo_test::take_error;

// This library's type as it was loaded, before any case readied it. Static
// type objects are constant-initialised, so the copy sees the loaded state.
const PyTypeObject kLoadedType = velmo::cyfunction_type;

class RegistryFetch : public velmo_test::PythonTest {
  protected:
    void SetUp() override {
        PythonTest::SetUp();
        // Kept for the process's life, since the registry may keep it: held
        // by a list that is never freed, so leak detection sees it reachable.
        static auto *kept = new std::vector<PyTypeObject *>();
        own_ = kept->emplace_back(new PyTypeObject(kLoadedType));
        static int cases = 0;
        registry_ = "_velmo_registry_" + std::to_string(++cases);
        ASSERT_TRUE(run("import sys, types"));
        Ref name = Ref::steal(PyUnicode_FromString(registry_.c_str()));
        ASSERT_EQ(PyDict_SetItemString(velmo_test::main_dict(), "_velmo_registry", name.get()), 0);
    }

    PyTypeObject *fetch_shared_function_type() {
        return velmo::fetch_shared_function_type(own_, registry_.c_str());
    }
    PyObject *own_type() const { return reinterpret_cast<PyObject *>(own_); }
    bool own_type_ready() const { return (own_->tp_flags & Py_TPFLAGS_READY) != 0; }

    // The registered attribute, or NULL (no error left) when there is none.
    static Ref registered() {
        Ref found = eval("getattr(sys.modules.get(_velmo_registry), 'cython_function_or_method', None)");
        return found.get() == Py_None ? Ref() : found;
    }
    // Puts `object` in the registry module under the shared type's name.
    void register_object(PyObject *object) const {
        Ref registry = Ref::steal(PyImport_AddModuleRef(registry_.c_str()));
        ASSERT_TRUE(registry);
        ASSERT_EQ(PyObject_SetAttrString(registry.get(), "cython_function_or_method", object), 0);
    }

    PyTypeObject *own_ = nullptr;
    std::string registry_;
    // The fetch failed with this exception.
    static void expect_failure(PyTypeObject *result, PyObject *type) {
        EXPECT_EQ(result, nullptr);
        PendingError error = take_error();
        EXPECT_TRUE(error.is(type)) << error.message();
    }
};

TEST_F(RegistryFetch, FirstFetchCreatesTheRegistryAndRegistersOwnType) {
    ASSERT_EQ(eval("_velmo_registry in sys.modules").get(), Py_False);
    PyTypeObject *type = fetch_shared_function_type();
    ASSERT_EQ(type, own_) << velmo_test::take_error_text();
    EXPECT_TRUE(own_type_ready());
    EXPECT_EQ(registered().get(), own_type());

    // Readying made the type's own descriptors refer to it, so counts are
    // compared from here on, unless readying made it immortal (3.13 does so
    // for static types) and its count means nothing. A later fetch, as by
    // another module, gets the registered type with a new reference.
    const Py_ssize_t counted = velmo_test::is_immortal(own_type()) ? 0 : 1;
    Py_ssize_t before = refcount(own_type());
    PyTypeObject *again = fetch_shared_function_type();
    EXPECT_EQ(again, own_);
    EXPECT_EQ(refcount(own_type()), before + counted);

    // Registering afresh: one reference for the registry, one for the caller.
    ASSERT_TRUE(run("delattr(sys.modules[_velmo_registry], 'cython_function_or_method')"));
    before = refcount(own_type());
    PyTypeObject *registered_again = fetch_shared_function_type();
    EXPECT_EQ(registered_again, own_);
    EXPECT_EQ(refcount(own_type()), before + 2 * counted);
    Py_XDECREF(registered_again);
    Py_DECREF(again);
    Py_DECREF(type);
}

int traverse_nothing(PyObject * /*self*/, visitproc /*visit*/, void * /*arg*/) { return 0; }

TEST_F(RegistryFetch, CompatibleTypeFoundIsUsedAndOwnTypeStaysUnready) {
    // Another module's type, built the same way but as a heap type: the size,
    // GC and the dict and weak-reference slots are what make it compatible. A
    // collected type needs a traverse function (3.11+ refuse one without).
    PyMemberDef members[] = {
        {"__dictoffset__", T_PYSSIZET, 56, READONLY, nullptr},
        {"__weaklistoffset__", T_PYSSIZET, 40, READONLY, nullptr},
        {nullptr, 0, 0, 0, nullptr},
    };
    PyType_Slot slots[] = {
        {Py_tp_members, members}, {Py_tp_traverse, reinterpret_cast<void *>(traverse_nothing)}, {0, nullptr}};
    PyType_Spec spec = {"peer.cython_function_or_method", 184, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
                        slots};
    Ref peer = Ref::steal(PyType_FromSpec(&spec));
    ASSERT_TRUE(peer);
    register_object(peer.get());
    Py_ssize_t before = refcount(peer.get());

    PyTypeObject *type = fetch_shared_function_type();
    EXPECT_EQ(reinterpret_cast<PyObject *>(type), peer.get());
    EXPECT_EQ(refcount(peer.get()), before + 1);
    EXPECT_FALSE(own_type_ready()) << "a superseded type is never readied";
    Py_XDECREF(type);
}

TEST_F(RegistryFetch, IncompatibleRegisteredObjectsAreReleasedAndOwnTypeStaysUnready) {
    // One object for each test the found object can fail: not a type, the
    // size, the layout (21 slots make a class 184 bytes long).
    ASSERT_TRUE(
        run("class _VelmoSmall: pass\n_velmo_not_a_type = object()\n"
            "class _VelmoSlots:\n    __slots__ = tuple('s%d' % i for i in range(21))\n"));
    for (const char *name : {"_velmo_not_a_type", "_VelmoSmall", "_VelmoSlots"}) {
        Ref object = eval(name);
        register_object(object.get());
        Py_ssize_t before = refcount(object.get());
        expect_failure(fetch_shared_function_type(), PyExc_TypeError);
        EXPECT_EQ(refcount(object.get()), before) << "the found object is released: " << name;
    }
    EXPECT_FALSE(own_type_ready());
}

TEST_F(RegistryFetch, FailedRegistrationLeavesTheTypeReadyButUnregistered) {
    ASSERT_TRUE(
        run("class _VelmoRegistry(types.ModuleType):\n"
            "    def __setattr__(self, name, value):\n"
            "        raise PermissionError('read-only registry')\n"
            "sys.modules[_velmo_registry] = _VelmoRegistry(_velmo_registry)\n"));
    expect_failure(fetch_shared_function_type(), PyExc_PermissionError);
    EXPECT_TRUE(own_type_ready());
    EXPECT_FALSE(registered());

    // Once readied, a failing registration keeps no reference.
    Py_ssize_t before = refcount(own_type());
    expect_failure(fetch_shared_function_type(), PyExc_PermissionError);
    EXPECT_EQ(refcount(own_type()), before);
}

TEST_F(RegistryFetch, RegistryThatCannotBeObtainedFailsWithTheInterpreterError) {
    // A key whose hash collides with the registry's name and whose comparison
    // raises makes the sys.modules lookup itself fail.
    ASSERT_TRUE(
        run("class _VelmoCollider:\n"
            "    def __hash__(self):\n"
            "        return hash(_velmo_registry)\n"
            "    def __eq__(self, other):\n"
            "        raise LookupError('colliding key')\n"
            "_velmo_key = _VelmoCollider()\n"
            "sys.modules[_velmo_key] = None\n"));
    PyTypeObject *type = fetch_shared_function_type();
    PendingError error = take_error();
    ASSERT_TRUE(run("del sys.modules[_velmo_key]")) << velmo_test::take_error_text();
    EXPECT_EQ(type, nullptr);
    EXPECT_TRUE(error.is(PyExc_LookupError)) << error.message();
    EXPECT_EQ(error.message(), "colliding key");
    EXPECT_FALSE(own_type_ready());
}

}  // namespace
