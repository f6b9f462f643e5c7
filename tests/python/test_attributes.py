"""Function attributes of velmo.fun_hello, its repr and its pickling hook."""
import copy
import gc
import pickle
import re
import sys
import weakref

import pytest
from velmo_test_support import last_json, run_program

TWIN = {
    "__doc__": "func_doc", "__name__": "func_name", "__dict__": "func_dict",
    "__globals__": "func_globals", "__closure__": "func_closure", "__code__": "func_code",
    "__defaults__": "func_defaults",
}
TWIN.update({twin: name for name, twin in list(TWIN.items())})
RESTORED = ("__doc__", "__name__", "__qualname__", "__defaults__", "__kwdefaults__",
            "__annotations__", "__module__")
READ_ONLY = ("__self__", "__globals__", "func_globals", "__closure__", "func_closure",
             "__code__", "func_code")


class S(str):
    pass


class T(tuple):
    pass


class D(dict):
    pass


@pytest.fixture
def f(velmo):
    """velmo.fun_hello, with every attribute a test may change put back afterwards,
    since other test modules share the object."""
    func = velmo.fun_hello
    saved = {name: getattr(func, name) for name in RESTORED}
    instance_dict = func.__dict__
    saved_items = dict(instance_dict)
    yield func
    func.__dict__ = instance_dict
    instance_dict.clear()
    instance_dict.update(saved_items)
    for name, value in saved.items():
        setattr(func, name, value)


@pytest.mark.parametrize(
    "attr, expected",
    [("__doc__", None), ("func_doc", None), ("__self__", None), ("__closure__", None),
     ("func_closure", None), ("__defaults__", None), ("func_defaults", None),
     ("__kwdefaults__", None), ("__name__", "fun_hello"), ("func_name", "fun_hello"),
     ("__qualname__", "fun_hello"), ("__module__", "velmo")],
)
def test_initial_values(f, attr, expected):
    assert getattr(f, attr) == expected
    assert type(getattr(f, attr)) is type(expected)


def test_first_name_read_is_the_interned_qualname():
    run_program("attributes_first_name_read")


@pytest.mark.parametrize(
    "first, second",
    [("__dict__", "__dict__"), ("__dict__", "func_dict"), ("__annotations__", "__annotations__"),
     ("__code__", "func_code"), ("__globals__", "func_globals"), ("__name__", "func_name"),
     ("__qualname__", "__qualname__")],
)
def test_repeated_reads_hand_out_one_object(f, first, second):
    assert getattr(f, first) is getattr(f, second)


# What users and other modules read from fun_hello's code object. The body
# that lets it run (instructions, stack size, line table) is no part of it.
CODE_FIELDS = {
    "co_name": "fun_hello", "co_filename": "velmo.py", "co_firstlineno": 1, "co_argcount": 1,
    "co_posonlyargcount": 0, "co_kwonlyargcount": 0, "co_nlocals": 1, "co_varnames": ("s",),
    # CO_OPTIMIZED | CO_NEWLOCALS, and CO_NOFREE, which 3.10 adds itself.
    "co_flags": 0x3 | (0x40 if sys.version_info < (3, 11) else 0),
    "co_consts": (), "co_names": (), "co_freevars": (), "co_cellvars": (),
    **({"co_qualname": "fun_hello", "co_exceptiontable": b""} if sys.version_info >= (3, 11) else {}),
}


def test_globals_and_code(f, velmo):
    assert f.__globals__ is vars(velmo)
    code = f.__code__
    assert {name: getattr(code, name) for name in CODE_FIELDS} == CODE_FIELDS
    assert f.__dict__ == {} and f.__annotations__ == {}


# What running each of velmo's code objects raises: the interpreter's own
# stub body from 3.11 on, 3.10's refusal of an empty one before. exec() does
# not get as far as the body of fun_hello's, which takes an argument.
STUB_RUN = ["AssertionError", ""] if sys.version_info >= (3, 11) else ["SystemError", "unknown opcode"]
MISSING_S = ["TypeError", "fun_hello() missing 1 required positional argument: 's'"]


@pytest.mark.parametrize(
    "which, how, expected",
    [("fun_hello", "call", STUB_RUN), ("fun_hello", "renamed", STUB_RUN), ("fun_hello", "exec", MISSING_S),
     ("entry", "call", STUB_RUN), ("entry", "renamed", STUB_RUN), ("entry", "exec", STUB_RUN)],
)
def test_running_a_code_object_raises(which, how, expected):
    # A crash shows as the child's signal, not as this process's death.
    assert last_json(run_program("run_code_objects", which, how)) == expected


@pytest.mark.parametrize(
    "attr, value",
    [("__doc__", 5), ("func_doc", S("doc")), ("__doc__", None),
     ("__name__", "renamed"), ("func_name", S("renamed")),
     ("__qualname__", "Outer.renamed"), ("__qualname__", S("Outer.renamed")),
     ("__dict__", {"k": 1}), ("func_dict", D(k=2)),
     ("__defaults__", (1,)), ("func_defaults", T((1, 2))), ("__defaults__", None),
     ("__kwdefaults__", {"a": 1}), ("__kwdefaults__", D()), ("__kwdefaults__", None),
     ("__annotations__", {"s": int}), ("__annotations__", D()),
     ("__module__", 5), ("__module__", S("elsewhere")), ("__module__", None)],
    ids=lambda v: v if isinstance(v, str) and v.startswith("_") else type(v).__name__,
)
def test_accepted_values_are_stored_unchanged(f, attr, value):
    setattr(f, attr, value)
    assert getattr(f, attr) is value
    assert getattr(f, TWIN.get(attr, attr)) is value


@pytest.mark.parametrize(
    "attr, value, message",
    [("__name__", 5, "__name__ must be set to a string object"),
     ("func_name", b"fun_hello", "__name__ must be set to a string object"),
     ("__name__", None, "__name__ must be set to a string object"),
     ("__qualname__", 5, "__qualname__ must be set to a string object"),
     ("__qualname__", None, "__qualname__ must be set to a string object"),
     ("__dict__", [], "setting function's dictionary to a non-dict"),
     ("func_dict", None, "setting function's dictionary to a non-dict"),
     ("__defaults__", [1], "__defaults__ must be set to a tuple object"),
     ("func_defaults", {}, "__defaults__ must be set to a tuple object"),
     ("__kwdefaults__", 1, "__kwdefaults__ must be set to a dict object"),
     ("__kwdefaults__", (), "__kwdefaults__ must be set to a dict object"),
     ("__annotations__", 1, "__annotations__ must be set to a dict object"),
     ("__annotations__", [], "__annotations__ must be set to a dict object")],
)
def test_refused_values_leave_the_attribute_alone(f, attr, value, message):
    before = getattr(f, attr)
    with pytest.raises(TypeError) as info:
        setattr(f, attr, value)
    assert str(info.value) == message
    assert getattr(f, attr) is before


@pytest.mark.parametrize(
    "attr, value",
    [("__doc__", "doc"), ("func_doc", 5), ("__defaults__", (1,)), ("func_defaults", (1,)),
     ("__kwdefaults__", {"a": 1}), ("__module__", "elsewhere")],
)
def test_deletion_reads_none_afterwards(f, attr, value):
    setattr(f, attr, value)
    delattr(f, attr)
    assert getattr(f, attr) is None
    assert getattr(f, TWIN.get(attr, attr)) is None
    delattr(f, attr)  # deleting again is harmless
    assert getattr(f, attr) is None


@pytest.mark.parametrize(
    "attr, message",
    [("__name__", "__name__ must be set to a string object"),
     ("func_name", "__name__ must be set to a string object"),
     ("__qualname__", "__qualname__ must be set to a string object"),
     ("__dict__", "function's dictionary may not be deleted"),
     ("func_dict", "function's dictionary may not be deleted")],
)
def test_refused_deletions(f, attr, message):
    before = getattr(f, attr)
    with pytest.raises(TypeError) as info:
        delattr(f, attr)
    assert str(info.value) == message
    assert getattr(f, attr) is before


@pytest.mark.parametrize("attr", READ_ONLY)
@pytest.mark.parametrize("operation", ["assign", "delete"])
def test_read_only_attributes(f, attr, operation):
    before = getattr(f, attr)
    with pytest.raises(AttributeError):
        setattr(f, attr, before) if operation == "assign" else delattr(f, attr)
    assert getattr(f, attr) is before


@pytest.mark.parametrize("empty", [lambda func: setattr(func, "__annotations__", None),
                                   lambda func: delattr(func, "__annotations__")],
                         ids=["assign-None", "delete"])
def test_emptied_annotations_come_back_as_a_new_dict(f, empty):
    old = f.__annotations__
    empty(f)
    fresh = f.__annotations__
    assert type(fresh) is dict and fresh == {} and fresh is not old
    assert f.__annotations__ is fresh


@pytest.mark.parametrize("make", [dict, D])
def test_attribute_stores_land_in_the_assigned_dict(f, make):
    old = f.__dict__
    replacement = make(preset=1)
    f.__dict__ = replacement
    f.y = 2
    assert f.preset == 1
    assert replacement == {"preset": 1, "y": 2}
    assert "y" not in old
    assert vars(f) is replacement


@pytest.mark.parametrize("args", [(), (1,), (1, "two", None)])
def test_reduce_returns_the_qualname(f, args):
    assert f.__reduce__(*args) is f.__qualname__ == "fun_hello"


def test_reduce_refuses_keywords(f):
    with pytest.raises(TypeError):
        f.__reduce__(protocol=2)


def test_repr_names_qualname_and_address(f):
    assert re.fullmatch(r"<cyfunction fun_hello at 0x[0-9a-f]+>", repr(f))
    assert repr(f) == f"<cyfunction fun_hello at {hex(id(f))}>"
    assert str(f) == repr(f)


def test_qualname_assignment_renames_repr_and_reduce_only(f):
    new = S("Outer.inner")
    f.__qualname__ = new
    assert f.__qualname__ is new
    assert f.__reduce__() is new
    assert repr(f) == str(f) == f"<cyfunction Outer.inner at {hex(id(f))}>"
    assert f.__name__ == "fun_hello"


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickles_by_reference(f, protocol):
    assert pickle.loads(pickle.dumps(f, protocol)) is f


def test_copies_are_the_function_itself(f):
    assert copy.copy(f) is f
    assert copy.deepcopy(f) is f
    assert copy.deepcopy([f])[0] is f


RECORDED = [("__doc__", object, ()), ("__name__", str, ("n",)), ("__qualname__", str, ("q",)),
            ("__dict__", dict, ()), ("__defaults__", tuple, ((1,),)), ("__kwdefaults__", dict, ()),
            ("__annotations__", dict, ())]
UNDELETABLE = ("__name__", "__qualname__", "__dict__")


@pytest.mark.parametrize(
    "attr, base, args, change",
    [row + ("assign",) for row in RECORDED]
    + [row + ("delete",) for row in RECORDED if row[0] not in UNDELETABLE],
)
def test_released_value_sees_what_replaced_it(f, attr, base, args, change):
    seen = []

    class Recording(base):
        def __del__(self):
            seen.append(getattr(f, attr))

    setattr(f, attr, Recording(*args))
    if change == "assign":
        replacement = base(*args)
        setattr(f, attr, replacement)
    else:
        delattr(f, attr)
        # Emptied annotations read back as a new dict, every other field as None.
        replacement = f.__annotations__ if attr == "__annotations__" else None
    assert len(seen) == 1 and seen[0] is replacement


@pytest.mark.skipif(sys.version_info >= (3, 12),
                    reason="from 3.12 on the collector runs between bytecodes, never inside an allocation")
@pytest.mark.parametrize("owner, attr", [("velmo", "__annotations__"), ("peer", "__annotations__"),
                                         ("peer", "__dict__")])
def test_lazy_dict_yields_to_a_value_assigned_while_it_is_made(f, owner, attr):
    # The getter's new dict is an allocation, and an allocation may run the
    # collector, whose finalisers may assign the very field being filled.
    if owner == "velmo":
        func = f
    else:
        import velmo_peer

        func = velmo_peer.make("echo_o")
    if attr == "__annotations__":
        func.__annotations__ = None  # empties the field
    assigned = D()
    alive = weakref.ref(assigned)
    ran = []

    class AssignsWhenCollected:
        def __del__(self):
            ran.append(True)
            setattr(func, attr, alive())  # `assigned`, still held below

    threshold = gc.get_threshold()
    gc.collect()
    held = [{} for _ in range(400)]  # drains the dict free list: the getter must allocate
    cycle = AssignsWhenCollected()
    cycle.me = cycle
    del cycle
    gc.set_threshold(1)
    try:
        got = getattr(func, attr)
    finally:
        gc.set_threshold(*threshold)
    del held
    assert ran == [True], "the collection did not run inside the getter"
    assert got is assigned and getattr(func, attr) is assigned
    # Replacing it must release the last reference the function held.
    setattr(func, attr, {})
    del got, assigned
    assert alive() is None
