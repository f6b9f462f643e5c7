"""fun_hello stored in a class, and what its type lets Python code do with it."""
import ctypes
import gc
import sys
import types
import weakref

import pytest
from velmo_test_support import ANSWER_FOR_1

HAVE_GC = 1 << 14
BASETYPE = 1 << 10
HAVE_VECTORCALL = 1 << 11
HEAPTYPE = 1 << 9


@pytest.fixture
def holder(velmo):
    class Holder:
        f = velmo.fun_hello

    return Holder


def test_read_through_the_class_is_the_function_itself(velmo, holder):
    assert holder.f is velmo.fun_hello
    assert velmo.fun_hello.__get__(None, holder) is velmo.fun_hello


def test_read_through_an_instance_binds(velmo, holder):
    obj = holder()
    bound = obj.f
    assert type(bound) is types.MethodType
    assert bound.__self__ is obj
    assert bound.__func__ is velmo.fun_hello
    assert bound == velmo.fun_hello.__get__(obj, holder) == velmo.fun_hello.__get__(obj)


def test_bound_call_passes_the_instance_as_the_argument(velmo, holder):
    assert holder().f() is None

    class One(holder):
        def __eq__(self, other):
            return other == 1

    assert One().f() == ANSWER_FOR_1
    with pytest.raises(TypeError) as info:
        holder().f(1)
    assert str(info.value) == "fun_hello() takes exactly one argument (2 given)"


def test_bound_calls_keep_the_instance_count(holder):
    obj = holder()
    bound = obj.f
    before = sys.getrefcount(obj)
    for _ in range(1000):
        bound()
        obj.f()
    assert sys.getrefcount(obj) == before


def test_instance_attribute_hides_it(velmo, holder):
    obj = holder()
    obj.f = 5
    assert obj.f == 5
    del obj.f
    assert obj.f.__func__ is velmo.fun_hello


def test_type_names(velmo):
    tp = type(velmo.fun_hello)
    assert tp.__name__ == tp.__qualname__ == "cython_function_or_method"
    assert tp.__module__ == "builtins"
    assert tp.__base__ is object
    assert tp.__mro__ == (tp, object)


def test_type_cannot_be_instantiated_or_subclassed(velmo):
    tp = type(velmo.fun_hello)
    with pytest.raises(TypeError):
        tp()
    with pytest.raises(TypeError):
        tp.__new__(tp)
    with pytest.raises(TypeError):
        type("Sub", (tp,), {})


@pytest.mark.parametrize(
    "bit, expected",
    [(HAVE_GC, True), (BASETYPE, False), (HAVE_VECTORCALL, False), (HEAPTYPE, False)],
    ids=["HAVE_GC", "BASETYPE", "HAVE_VECTORCALL", "HEAPTYPE"],
)
def test_type_flags(velmo, bit, expected):
    assert bool(type(velmo.fun_hello).__flags__ & bit) is expected


@pytest.mark.parametrize(
    "attribute, value",
    [("__basicsize__", 184), ("__itemsize__", 0), ("__dictoffset__", 56), ("__weakrefoffset__", 40)],
)
def test_type_layout(velmo, attribute, value):
    assert getattr(type(velmo.fun_hello), attribute) == value


# Modules built separately read the records' fields at these offsets: each
# field, read through its attribute (which fills a cached one), sits there.
FROZEN_FIELDS = [(32, "__module__"), (56, "__dict__"), (64, "__name__"), (72, "__qualname__"), (88, "__globals__"),
                 (96, "__code__"), (104, "__self__"), (176, "__annotations__")]


@pytest.mark.skipif(ctypes.sizeof(ctypes.c_void_p) != 8, reason="the layout is frozen for 64-bit builds")
@pytest.mark.parametrize("offset, attribute", FROZEN_FIELDS, ids=[a for _, a in FROZEN_FIELDS])
def test_fields_sit_at_their_frozen_offsets(offset, attribute):
    import velmo_peer

    g = velmo_peer.make("echo_o", qualname="Owner.meth", closure=object(), module="mod",
                        code=compile("", "", "exec"))
    value = getattr(g, attribute)
    assert ctypes.c_void_p.from_address(id(g) + offset).value == id(value)


def test_hash_and_equality_are_identity(velmo):
    f = velmo.fun_hello
    assert hash(f) == object.__hash__(f) == hash(f)
    assert f == f
    assert not f != f
    others = [velmo.fun_hello.__get__(object()), len, "fun_hello", None, type(f)]
    assert all(f != other and not f == other for other in others)
    assert f.__eq__(len) is NotImplemented
    assert {f: 1}[velmo.fun_hello] == 1


def test_arbitrary_attributes_live_in_the_instance_dict(velmo):
    f = velmo.fun_hello
    try:
        f.x = 1
        assert f.x == 1
        assert f.__dict__["x"] == 1
        assert vars(f) is f.__dict__
        del f.x
        assert "x" not in f.__dict__
        with pytest.raises(AttributeError):
            f.x
    finally:
        f.__dict__.pop("x", None)


def test_weak_references(velmo):
    f = velmo.fun_hello
    ref = weakref.ref(f)
    assert ref() is f
    assert weakref.getweakrefcount(f) >= 1


def test_collector_sees_its_references(velmo):
    f = velmo.fun_hello
    assert gc.is_tracked(f)
    instance_dict = f.__dict__  # made on first read and kept from then on
    referents = gc.get_referents(f)

    def holds(obj):
        return any(r is obj for r in referents)

    assert holds(vars(velmo))
    assert holds(f.__code__)
    assert holds(f.__qualname__)
    assert holds(instance_dict)
