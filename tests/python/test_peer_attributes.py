"""Attributes of function objects that velmo's own fun_hello cannot show:
closures, doc strings in the method record, defaults getters, and objects
the collector has already cleared."""
import gc
import pickle
import sys

import pytest


@pytest.fixture
def peer():
    import velmo_peer

    return velmo_peer


class Obj:
    pass


def test_self_reports_closure_but_closure_reads_none(peer):
    closure = Obj()
    func = peer.make("echo_o", closure=closure)
    assert func.__self__ is closure
    assert func.__closure__ is None and func.func_closure is None


def test_constructor_arguments_back_their_attributes(peer):
    module, globals_ = Obj(), {}
    code = compile("pass", "<peer>", "exec")
    func = peer.make("echo_o", qualname="Owner.meth", module=module, globals=globals_, code=code)
    assert (func.__name__, func.__qualname__) == ("echo_o", "Owner.meth")
    assert func.__module__ is module
    assert func.__globals__ is globals_ and func.func_globals is globals_
    assert func.__code__ is code and func.func_code is code


def test_doc_from_method_record_is_built_once(peer):
    func = peer.make("echo_doc")
    first = func.__doc__
    assert first == "Echo the argument."
    assert func.__doc__ is first and func.func_doc is first


def test_missing_doc_reads_none_and_caches_nothing(peer):
    func = peer.make("echo_o")
    before = gc.get_referents(func)
    assert func.__doc__ is None and func.func_doc is None
    assert gc.get_referents(func) == before


def test_undecodable_doc_fails_on_every_read_until_assigned(peer):
    func = peer.make("echo_bad_doc")
    before = [id(o) for o in gc.get_referents(func)]
    errors = []
    for _ in range(2):
        with pytest.raises(UnicodeDecodeError) as excinfo:
            func.__doc__
        errors.append(excinfo.value.args)
        assert [id(o) for o in gc.get_referents(func)] == before  # nothing was cached
    assert errors[0] == errors[1] and errors[0][1] == b"\xff\xfe"
    func.__doc__ = "fixed"
    assert func.__doc__ == "fixed"
    del func.__doc__  # a deletion stores None; the record is not decoded again
    assert func.__doc__ is None


# --- defaults getter ------------------------------------------------------


def _with_getter(peer, getter):
    func = peer.make("echo_o")
    peer.set_defaults_getter(func, getter)
    return func


DEFAULTS = (1, 2)
KWDEFAULTS = {"k": 3}


@pytest.mark.parametrize(
    "first, other, expected",
    [
        ("__defaults__", "__kwdefaults__", (DEFAULTS, KWDEFAULTS)),
        ("func_defaults", "__kwdefaults__", (DEFAULTS, KWDEFAULTS)),
        ("__kwdefaults__", "__defaults__", (KWDEFAULTS, DEFAULTS)),
    ],
)
def test_first_read_fills_both_fields_with_one_call(peer, first, other, expected):
    func = _with_getter(peer, lambda f: (DEFAULTS, KWDEFAULTS, "ignored"))
    assert getattr(func, first) is expected[0]
    assert peer.defaults_getter_calls(func) == 1
    for _ in range(2):
        assert getattr(func, other) is expected[1]
        assert getattr(func, first) is expected[0]
    assert peer.defaults_getter_calls(func) == 1


def test_getter_receives_the_function(peer):
    received = []
    func = _with_getter(peer, lambda f: received.append(f) or (None, None))
    assert func.__defaults__ is None
    assert received == [func]


@pytest.mark.parametrize(
    "assigned, value, read, expected",
    [
        ("__kwdefaults__", {"early": 0}, "__defaults__", ("__kwdefaults__", KWDEFAULTS)),
        ("__defaults__", (0,), "__kwdefaults__", ("__defaults__", DEFAULTS)),
    ],
)
def test_value_assigned_before_first_read_is_replaced(peer, assigned, value, read, expected):
    func = _with_getter(peer, lambda f: (DEFAULTS, KWDEFAULTS))
    setattr(func, assigned, value)
    getattr(func, read)
    assert getattr(func, expected[0]) is expected[1]
    assert peer.defaults_getter_calls(func) == 1


@pytest.mark.parametrize("attribute", ["__defaults__", "__kwdefaults__"])
def test_deleted_defaults_stay_none_without_calling_getter(peer, attribute):
    func = _with_getter(peer, lambda f: (DEFAULTS, KWDEFAULTS))
    getattr(func, attribute)
    delattr(func, attribute)
    assert getattr(func, attribute) is None
    assert peer.defaults_getter_calls(func) == 1


def test_failing_getter_is_called_again_on_next_read(peer):
    error = LookupError("not yet")
    outcomes = [error, error, (DEFAULTS, KWDEFAULTS)]

    def getter(f):
        outcome = outcomes.pop(0)
        if isinstance(outcome, Exception):
            raise outcome
        return outcome

    func = _with_getter(peer, getter)
    assigned = {"early": 0}
    func.__kwdefaults__ = assigned
    for calls, attribute in [(1, "__defaults__"), (2, "func_defaults")]:
        with pytest.raises(LookupError) as excinfo:
            getattr(func, attribute)
        assert excinfo.value is error
        assert peer.defaults_getter_calls(func) == calls
        assert func.__kwdefaults__ is assigned  # left as it was
    assert func.__defaults__ is DEFAULTS and func.__kwdefaults__ is KWDEFAULTS
    assert peer.defaults_getter_calls(func) == 3


@pytest.mark.parametrize(
    "result, shown",
    [([DEFAULTS, KWDEFAULTS], "list"), ((DEFAULTS,), "a tuple of 1 item"), ((), "a tuple of 0 items"), (5, "int")],
    ids=["list", "1-tuple", "empty", "int"],
)
@pytest.mark.parametrize("attribute", ["__defaults__", "__kwdefaults__"])
def test_getter_breaking_its_contract_raises_type_error(peer, result, shown, attribute):
    func = _with_getter(peer, lambda f: result)
    other = "__kwdefaults__" if attribute == "__defaults__" else "__defaults__"
    setattr(func, other, None)
    # The empty tuple and 5 are shared by the whole process: no collection
    # of other tests' garbage may release references to them while counted.
    gc.collect()
    gc.disable()
    try:
        baseline = sys.getrefcount(result)
        with pytest.raises(TypeError) as excinfo:
            getattr(func, attribute)
        message = str(excinfo.value)
        del excinfo
        assert sys.getrefcount(result) == baseline  # the getter's result was released
    finally:
        gc.enable()
    assert message == f"defaults getter of echo_o() must return a tuple of two items, not {shown}"
    assert getattr(func, other) is None  # fields unchanged
    with pytest.raises(TypeError):
        getattr(func, attribute)
    assert peer.defaults_getter_calls(func) == 2


def test_defaults_from_getter_are_released_with_the_function(peer):
    defaults, kwdefaults = (Obj(),), {"k": Obj()}
    before = sys.getrefcount(defaults), sys.getrefcount(kwdefaults)
    func = _with_getter(peer, lambda f: (defaults, kwdefaults))
    func.__defaults__  # noqa: B018
    assert (sys.getrefcount(defaults), sys.getrefcount(kwdefaults)) == (before[0] + 1, before[1] + 1)
    del func
    assert (sys.getrefcount(defaults), sys.getrefcount(kwdefaults)) == before



@pytest.mark.parametrize(
    "assigned, base, read, expected",
    [
        # The clear runs after both items are stored: nothing is left to read.
        ("__kwdefaults__", dict, "__defaults__", None),
        # The clear runs between the two stores: the second item survives it.
        ("__defaults__", tuple, "__kwdefaults__", {}),
    ],
)
def test_read_survives_a_clear_run_by_the_replaced_value(peer, assigned, base, read, expected):
    # Storing the getter's items releases the values they replace; a
    # finaliser there may clear the function before the read returns.
    func = peer.make("echo_o")

    class ClearsOnRelease(base):
        def __del__(self):
            peer.clear(func)

    setattr(func, assigned, ClearsOnRelease())
    peer.set_defaults_getter(func, lambda f: ((1,), {}))
    assert getattr(func, read) == expected
    assert func.__qualname__ is None
    assert func.__qualname__ is None

# --- objects the collector has cleared -------------------------------------


@pytest.fixture
def cleared(peer):
    code = compile("", "", "exec")
    func = peer.make("echo_doc", qualname="Owner.meth", closure=Obj(), module="mod", code=code)
    func.__name__, func.__doc__  # noqa: B018 - cache both, so clearing drops them
    peer.clear(func)
    return func


@pytest.mark.parametrize(
    "attribute, expected",
    [
        ("__qualname__", None),
        ("__globals__", None),
        ("func_globals", None),
        ("__module__", None),
        ("__self__", None),
        ("__code__", None),
        ("__defaults__", None),
        ("__name__", "echo_doc"),  # rebuilt from the method record
        ("__doc__", "Echo the argument."),
    ],
)
def test_cleared_object_attributes(cleared, attribute, expected):
    assert getattr(cleared, attribute) == expected


def test_cleared_object_repr_falls_back_to_record_name(cleared):
    assert repr(cleared) == f"<cyfunction echo_doc at {hex(id(cleared))}>"
    assert str(cleared) == repr(cleared)


def test_cleared_object_cannot_be_pickled(cleared):
    assert cleared.__reduce__() is None
    with pytest.raises(pickle.PicklingError):
        pickle.dumps(cleared)


def test_cleared_object_can_still_be_called(peer, cleared):
    assert cleared(5) == (cleared, 5)
    member = peer.make("echo_o", flags=0x4)
    peer.clear(member)
    assert member(1, 2) == (1, 2)
    with pytest.raises(TypeError) as excinfo:
        member()
    # the method record's name stands in for the cleared qualname
    assert str(excinfo.value) == "unbound method echo_o() needs an argument"


def test_cleared_object_accepts_new_values(cleared):
    cleared.__qualname__ = "Owner.again"
    cleared.extra = 1
    assert repr(cleared).startswith("<cyfunction Owner.again at ")
    assert cleared.__reduce__() == "Owner.again"
    assert cleared.__dict__ == {"extra": 1}
