"""Function objects built by the peer extension: calling conventions, flags,
binding, garbage collection, reference counts and the type shared with velmo."""
import gc
import sys
import weakref

import pytest
from velmo_test_support import run_program


@pytest.fixture
def peer():
    import velmo_peer

    return velmo_peer


class Obj:
    """A distinct object that supports weak references."""


A = Obj()
B = Obj()
F = object()  # stands for the function object itself in expected results
QUALNAME = "Owner.meth"  # differs from every record name, so messages show which one they use


def expand(expected, func):
    return tuple(func if item is F else item for item in expected)


@pytest.mark.parametrize(
    "record, flags, args, kwargs, expected",
    [
        ("echo_o", 0, (A,), None, (F, A)),
        ("echo_o", 0, (A,), {}, (F, A)),  # an empty keyword dict is no keywords
        ("echo_o_coexist", 0, (A,), None, (F, A)),  # bits above the convention are ignored
        ("echo_noargs", 0, (), None, (F, None)),
        ("echo_noargs", 0, (), {}, (F, None)),
        ("echo_varargs", 0, (A, B), None, (F, (A, B))),
        ("echo_varargs", 0, (), {}, (F, ())),
        ("echo_varargs_kw", 0, (A,), None, (F, (A,), None)),
        ("echo_varargs_kw", 0, (A,), {"k": B}, (F, (A,), {"k": B})),
        # unbound member: the first positional argument becomes self
        ("echo_varargs", 0x4, (A, B), None, (A, (B,))),
        ("echo_varargs", 0x4, (A,), None, (A, ())),
        ("echo_varargs", 0xC, (A, B), None, (A, (B,))),  # only bits 0x1 and 0x4 count
        ("echo_varargs_kw", 0x4, (A, B), {"k": B}, (A, (B,), {"k": B})),
        ("echo_o", 0x4, (A, B), None, (A, B)),
        ("echo_noargs", 0x4, (A,), None, (A, None)),
        # 0x1 cancels the unbound-member treatment; alone it changes nothing
        ("echo_varargs", 0x5, (A, B), None, (F, (A, B))),
        ("echo_varargs", 0x1, (A, B), None, (F, (A, B))),
    ],
)
def test_call_passes_self_and_arguments(peer, record, flags, args, kwargs, expected):
    func = peer.make(record, flags=flags, qualname=QUALNAME)
    before = sys.getrefcount(A), sys.getrefcount(B)
    result = func(*args) if kwargs is None else func(*args, **kwargs)
    assert result == expand(expected, func)
    assert [type(x) for x in result] == [type(x) for x in expand(expected, func)]
    del result
    assert (sys.getrefcount(A), sys.getrefcount(B)) == before


BAD_FLAGS = "Bad call flags in __Pyx_CyFunction_Call. METH_OLDARGS is no longer supported!"


@pytest.mark.parametrize(
    "record, flags, args, kwargs, error, message",
    [
        ("echo_o", 0, (), None, TypeError, "echo_o() takes exactly one argument (0 given)"),
        ("echo_o", 0, (A, B), None, TypeError, "echo_o() takes exactly one argument (2 given)"),
        # an unbound member counts the arguments after the first
        ("echo_o", 0x4, (A,), None, TypeError, "echo_o() takes exactly one argument (0 given)"),
        ("echo_o", 0x4, (A, A, B), None, TypeError, "echo_o() takes exactly one argument (2 given)"),
        ("echo_noargs", 0, (A,), None, TypeError, "echo_noargs() takes no arguments (1 given)"),
        ("echo_noargs", 0x4, (A, B), None, TypeError, "echo_noargs() takes no arguments (1 given)"),
        # the keyword test comes before the argument count
        ("echo_o", 0, (A,), {"k": 1}, TypeError, "echo_o() takes no keyword arguments"),
        ("echo_o", 0, (A, B), {"k": 1}, TypeError, "echo_o() takes no keyword arguments"),
        ("echo_noargs", 0, (A,), {"k": 1}, TypeError, "echo_noargs() takes no keyword arguments"),
        ("echo_varargs", 0, (), {"k": 1}, TypeError, "echo_varargs() takes no keyword arguments"),
        ("echo_conv0", 0, (A,), None, SystemError, BAD_FLAGS),
        ("echo_conv2", 0, (A,), {"k": 1}, SystemError, BAD_FLAGS),
        ("echo_conv5", 0, (), None, SystemError, BAD_FLAGS),
        ("echo_conv0", 0x4, (A, B), None, SystemError, BAD_FLAGS),
        # the missing first argument is reported before anything else
        ("echo_varargs", 0x4, (), None, TypeError, f"unbound method {QUALNAME}() needs an argument"),
        ("echo_o", 0x4, (), {"k": 1}, TypeError, f"unbound method {QUALNAME}() needs an argument"),
    ],
)
def test_call_refused(peer, record, flags, args, kwargs, error, message):
    func = peer.make(record, flags=flags, qualname=QUALNAME)
    before = sys.getrefcount(A), sys.getrefcount(B)
    with pytest.raises(error) as excinfo:
        func(*args) if kwargs is None else func(*args, **kwargs)
    assert str(excinfo.value) == message
    del excinfo
    assert (sys.getrefcount(A), sys.getrefcount(B)) == before


class LoudStr(str):
    def __str__(self):
        return "loud"


@pytest.mark.parametrize(
    "qualname, shown",
    [(LoudStr("quiet"), "loud"), ("q" * 300, "q" * 200)],
    ids=["str-conversion", "bounded"],
)
def test_unbound_message_shows_qualname_as_str(peer, qualname, shown):
    func = peer.make("echo_varargs", flags=0x4, qualname=qualname)
    with pytest.raises(TypeError) as excinfo:
        func()
    assert str(excinfo.value) == f"unbound method {shown}() needs an argument"


@pytest.mark.parametrize(
    "flags, expected",
    [
        (0, lambda f, inst: (f, (inst, A))),
        (0x4, lambda f, inst: (inst, (A,))),
        (0x5, lambda f, inst: (f, (inst, A))),
    ],
)
def test_binding_ignores_flags(peer, flags, expected):
    func = peer.make("echo_varargs", flags=flags)

    class Owner:
        meth = func

    inst = Owner()
    assert Owner.meth is func
    bound = inst.meth
    assert bound.__self__ is inst and bound.__func__ is func
    assert bound(A) == expected(func, inst)


# --- garbage collection ---------------------------------------------------


def test_traverse_visits_fields_in_order(peer):
    closure, module, class_object, x, y = Obj(), Obj(), Obj(), Obj(), Obj()
    qualname, globals_, doc = "Owner.ordered", {}, "a doc"
    code = compile("pass", "<peer>", "exec")
    func = peer.make("echo_o", qualname=qualname, closure=closure, module=module, globals=globals_, code=code)
    weak = weakref.ref(func)  # the weak-reference list is not visited
    instance_dict = func.__dict__
    name = func.__name__
    func.__doc__ = doc
    peer.set_class_object(func, class_object)
    defaults, kwdefaults = (Obj(),), {"k": Obj()}
    func.__defaults__, func.__kwdefaults__ = defaults, kwdefaults
    annotations = func.__annotations__
    peer.set_defaults_block(func, (x, None, y))

    expected = [closure, module, instance_dict, name, qualname, doc, globals_, code, class_object,
                defaults, kwdefaults, annotations, x, y]
    assert [id(o) for o in gc.get_referents(func)] == [id(o) for o in expected]
    assert weak() is func


def test_traverse_after_clear_visits_nothing(peer):
    func = peer.make("echo_o", closure=Obj())
    peer.set_defaults_block(func, (Obj(), Obj()))
    peer.clear(func)
    peer.clear(func)  # a second clear finds nothing left to release
    assert gc.get_referents(func) == []


def _hold(peer, field, holder):
    """A function whose `field` holds `holder` (which will point back to it)."""
    kwargs = {field: holder} if field in ("closure", "module") else {}
    func = peer.make("echo_o", **kwargs)
    if field == "dict":
        func.__dict__["held"] = holder
    elif field == "class_object":
        peer.set_class_object(func, holder)
    elif field == "defaults":
        func.__defaults__ = (holder,)
    elif field == "kwdefaults":
        func.__kwdefaults__ = {"k": holder}
    elif field == "annotations":
        func.__annotations__ = {"return": holder}
    elif field == "block":
        peer.set_defaults_block(func, (None, holder))
    return func


@pytest.mark.parametrize(
    "field", ["closure", "module", "dict", "class_object", "defaults", "kwdefaults", "annotations", "block"]
)
def test_cycle_through_field_is_collected(peer, field):
    # The cycle closes through the field: it is found only if traversal
    # reports the field, and broken only if clearing releases it.
    holder = Obj()
    func = _hold(peer, field, holder)
    holder.func = func
    refs = weakref.ref(func), weakref.ref(holder)
    del func, holder
    gc.collect()
    assert [r() for r in refs] == [None, None]


def test_cycle_releases_every_block_entry(peer):
    func = peer.make("echo_o")
    x, y = Obj(), Obj()
    peer.set_defaults_block(func, (x, None, y))
    func.__dict__["me"] = func
    refs = weakref.ref(func), weakref.ref(x), weakref.ref(y)
    del func, x, y
    gc.collect()
    assert [r() for r in refs] == [None, None, None]


def test_weakref_callback_runs_before_fields_are_released(peer):
    closure, module, entry = Obj(), Obj(), Obj()
    func = peer.make("echo_o", closure=closure, module=module)
    peer.set_defaults_block(func, (entry,))
    held = [weakref.ref(closure), weakref.ref(module), weakref.ref(entry)]
    del closure, module, entry
    seen = []

    def callback(dead):
        seen.append((dead(), [r() is not None for r in held]))

    weak = weakref.ref(func, callback)
    del func
    assert seen == [(None, [True, True, True])]
    assert [r() for r in held] == [None, None, None]
    assert weak() is None


# --- reference counts -----------------------------------------------------


@pytest.mark.parametrize("release", ["del", "clear"])
def test_constructor_and_field_references_are_returned(peer, release):
    closure, module, globals_, class_object, x, y = Obj(), Obj(), {}, Obj(), Obj(), Obj()
    code = compile("pass", "<peer>", "exec")
    objects = [closure, module, globals_, code, class_object, x, y]
    before = [sys.getrefcount(o) for o in objects]
    func = peer.make("echo_o", closure=closure, module=module, globals=globals_, code=code)
    peer.set_class_object(func, class_object)
    peer.set_defaults_block(func, (x, None, y))
    assert [sys.getrefcount(o) for o in objects] == [n + 1 for n in before]
    if release == "clear":
        peer.clear(func)
        assert [sys.getrefcount(o) for o in objects] == before
    del func
    assert [sys.getrefcount(o) for o in objects] == before


def test_replaced_defaults_block_releases_old_entries(peer):
    x, y = Obj(), Obj()
    func = peer.make("echo_o")
    before = sys.getrefcount(x), sys.getrefcount(y)
    peer.set_defaults_block(func, (x, x))
    peer.set_defaults_block(func, (y,))
    assert (sys.getrefcount(x), sys.getrefcount(y)) == (before[0], before[1] + 1)
    assert gc.get_referents(func)[-1] is y



def test_block_installed_while_clearing_survives_intact(peer):
    # A finaliser run by clearing installs a new block: the entries being
    # released must not be read from the freed block, and the new block's
    # entries stay owned by the function.
    func = peer.make("echo_o")
    new_entry = Obj()

    class ReplacesBlock:
        def __del__(self):
            peer.set_defaults_block(func, (new_entry, new_entry, new_entry))

    peer.set_defaults_block(func, (ReplacesBlock(), Obj()))
    before = sys.getrefcount(new_entry)
    peer.clear(func)
    assert sys.getrefcount(new_entry) == before + 3
    assert gc.get_referents(func) == [new_entry] * 3

# --- the type shared with velmo -------------------------------------------


@pytest.mark.parametrize("order", ["velmo-first", "peer-first"])
def test_whichever_registers_first_supplies_the_type(order):
    run_program("peer_type_order", order)
