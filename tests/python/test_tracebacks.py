"""Traceback entries that fun_hello adds when a comparison or truth test fails,
the `cline_in_traceback` switch that decides their names, and the reuse of
their code objects.
"""
import gc
import sys
import traceback
import tracemalloc
import weakref

import pytest
from velmo_test_support import FUN_HELLO_SITES, SITES, Boom, Failing, run_program, velmo_entries

_ABSENT = object()

# (target, failure in the truth test, site, the raiser's frame)
FAILING_CALLS = [
    pytest.param(target, in_truth, site, "__bool__" if in_truth else "__eq__",
                 id=f"{'truth' if in_truth else 'eq'}-{target}")
    for (target, in_truth), site in FUN_HELLO_SITES.items()
]
# The entry of a failing call of Failing(1) with the switch on.
SHOWN_ENTRY = FUN_HELLO_SITES[1, False].entry_name(True)

# The published implementation lines: stable identifiers that never change
# (module/failure_sites.h may only add to them). Users see those of the sites
# met once the module's globals are held. The first five execution sites, up
# to the one that gets the globals, add no entry (an entry's frame runs in
# the globals): their numbers tell them apart in the code alone.
PUBLISHED_SITES = {
    "init velmo": [1646, 1650, 1651, 1654, 1688, 1690, 1692, 1694, 1696, 1705, 1707, 1714, 1733, 1735,
                   1737, 1739],
    "velmo.fun_hello": [(1298, 2), (1300, 2), (1330, 4), (1332, 4)],
}


@pytest.fixture
def runtime(velmo):
    """The process-wide runtime module, with its switch restored afterwards."""
    module = sys.modules["cython_runtime"]
    saved = vars(module).get("cline_in_traceback", _ABSENT)
    yield module
    if saved is _ABSENT:
        vars(module).pop("cline_in_traceback", None)
    else:
        module.cline_in_traceback = saved


def fail(velmo, arg):
    with pytest.raises(Boom) as info:
        velmo.fun_hello(arg)
    # Never replaced, wrapped or chained onto something else.
    assert info.value is arg.raised
    assert info.value.args == ("failing against", arg.target)
    assert info.value.__context__ is None
    return info.value


def velmo_entry(exc):
    entries = velmo_entries(exc)
    assert len(entries) == 1
    return entries[0]


def code_at(velmo, target=1, in_truth=False):
    return velmo_entry(fail(velmo, Failing(target, in_truth))).tb_frame.f_code


def entry_name(velmo):
    return code_at(velmo).co_name


class BuiltinsCollider(str):
    """A globals key that the lookup of `__builtins__` meets first and compares
    against: its `__eq__` raises and catches an exception of its own."""

    def __hash__(self):
        return hash("__builtins__")

    def __eq__(self, other):
        try:
            raise LookupError("caught inside __eq__")
        except LookupError:
            pass
        return str.__eq__(self, other)


@pytest.fixture(params=["quiet", "colliding-builtins-key", "function-watcher"])
def bystander(request, velmo):
    """Python code that runs while the entry's frame is made."""
    if request.param == "colliding-builtins-key":
        namespace = vars(velmo)
        saved = dict(namespace)
        builtins = namespace.pop("__builtins__")
        namespace[BuiltinsCollider("collider")] = None
        namespace["__builtins__"] = builtins
        yield
        namespace.clear()
        namespace.update(saved)
    elif request.param == "function-watcher":
        # From 3.12 on, PyFrame_New makes a function object, which watchers see.
        testcapi = pytest.importorskip("_testcapi")
        if not hasattr(testcapi, "add_func_watcher"):
            pytest.skip("no function watchers before 3.12")
        events = []
        watcher = testcapi.add_func_watcher(lambda *event: events.append(event[0]))
        yield
        testcapi.clear_func_watcher(watcher)
        assert events
    else:
        yield


@pytest.mark.parametrize("shown", [False, True], ids=["hidden", "shown"])
@pytest.mark.parametrize("target, in_truth, site, raiser", FAILING_CALLS)
def test_failure_site_entry(velmo, runtime, bystander, shown, target, in_truth, site, raiser):
    runtime.cline_in_traceback = shown
    name = site.entry_name(shown)
    exc = fail(velmo, Failing(target, in_truth))

    # The entry goes in where the exception passed through the module: after
    # the caller's frame, before the frame that raised.
    summary = [(e.filename, e.name, e.lineno) for e in traceback.extract_tb(exc.__traceback__)]
    assert [s[1] for s in summary] == ["fail", name, raiser]
    assert summary[1] == ("velmo.py", name, site.python_line)

    frame = velmo_entry(exc).tb_frame
    assert frame.f_globals is vars(velmo)
    assert frame.f_code.co_firstlineno == site.python_line


def test_published_sites_keep_their_numbers():
    table = {}
    for site in SITES.values():
        table.setdefault(site.function, []).append(site.implementation_line if site.function == "init velmo"
                                                    else (site.implementation_line, site.python_line))
    for function, published in PUBLISHED_SITES.items():
        assert set(published) <= set(table[function]), function


@pytest.mark.parametrize("in_truth", [False, True], ids=["eq", "truth"])
def test_failure_without_exception_is_a_system_error(velmo, runtime, in_truth):
    # Only a faulty extension type fails without setting an exception; the
    # evaluation loop answers it so, and the entry is added as for any failure.
    import velmo_peer

    site = FUN_HELLO_SITES[1, in_truth]
    runtime.cline_in_traceback = True
    with pytest.raises(SystemError, match="^error return without exception set$") as info:
        velmo.fun_hello(velmo_peer.SilentFailure(in_truth))
    assert info.value.__context__ is None
    entry = velmo_entry(info.value)
    assert (entry.tb_frame.f_code.co_name, entry.tb_lineno) == (site.entry_name(True), site.python_line)


@pytest.mark.parametrize(
    "value, shown",
    [(True, True), (1, True), ("x", True), ([0], True), (False, False), (0, False), ("", False), (None, False)],
)
def test_switch_value_decides_name(velmo, runtime, value, shown):
    runtime.cline_in_traceback = value
    expected = SHOWN_ENTRY if shown else "velmo.fun_hello"
    assert entry_name(velmo) == expected
    assert runtime.cline_in_traceback is value  # only an absent switch is rewritten


class Switch:
    def __init__(self):
        self.result = False
        self.calls = 0

    def __bool__(self):
        self.calls += 1
        if isinstance(self.result, BaseException):
            # A new exception each time: from 3.12 on, one kept in `result`
            # would hold the traceback of this frame, and with it `self`.
            raise type(self.result)(*self.result.args)
        return self.result


def test_switch_truth_is_tested_on_every_failure(velmo, runtime):
    switch = Switch()
    runtime.cline_in_traceback = switch
    refs = sys.getrefcount(switch)

    assert entry_name(velmo) == "velmo.fun_hello"
    # The runtime module's dict is unchanged from here on, so only a decision
    # taken afresh per failure sees the new truth value.
    switch.result = True
    assert entry_name(velmo) == SHOWN_ENTRY
    # A truth test that raises hides the line; `fail` checks that its error
    # neither replaces the reported exception nor becomes its context.
    switch.result = ValueError("bad switch")
    assert entry_name(velmo) == "velmo.fun_hello"

    assert switch.calls == 3
    assert sys.getrefcount(switch) == refs


def test_switch_removed_by_its_own_truth_test(velmo, runtime):
    class SelfRemoving:
        def __bool__(self):
            del runtime.cline_in_traceback  # drops the dict's only reference
            return True

    runtime.cline_in_traceback = SelfRemoving()
    gone = weakref.ref(runtime.cline_in_traceback)
    assert entry_name(velmo) == SHOWN_ENTRY
    gc.collect()
    assert gone() is None
    assert "cline_in_traceback" not in vars(runtime)

    assert entry_name(velmo) == "velmo.fun_hello"
    assert runtime.cline_in_traceback is False


def test_switch_starts_absent_and_is_read_per_failure():
    run_program("switch_first_failure")


@pytest.mark.parametrize("shown", [False, True], ids=["hidden", "shown"])
def test_repeated_failure_reuses_code_object(velmo, runtime, shown):
    runtime.cline_in_traceback = shown
    first = velmo_entry(fail(velmo, Failing(1, False)))
    second = velmo_entry(fail(velmo, Failing(1, False)))
    assert first.tb_frame.f_code is second.tb_frame.f_code
    assert first.tb_frame is not second.tb_frame


def test_shown_and_hidden_entries_are_cached_apart(velmo, runtime):
    codes = []
    for shown in (False, True, False, True):
        runtime.cline_in_traceback = shown
        codes.append(code_at(velmo))
    assert codes[0] is not codes[1]
    assert codes[0] is codes[2]
    assert codes[1] is codes[3]


def test_hidden_entries_are_shared_per_python_line(velmo, runtime):
    runtime.cline_in_traceback = False
    # Without an implementation line, a code object stands for its Python
    # line alone, whichever site on that line made it first.
    per_line = {}
    for arg, site in FUN_HELLO_SITES.items():
        code = code_at(velmo, *arg)
        assert per_line.setdefault(site.python_line, code) is code
        assert code.co_firstlineno == site.python_line

    runtime.cline_in_traceback = True
    shown = [code_at(velmo, *arg) for arg in FUN_HELLO_SITES]
    assert len({id(c) for c in shown + list(per_line.values())}) == len(shown) + len(per_line)
    assert [c.co_name for c in shown] == [site.entry_name(True) for site in FUN_HELLO_SITES.values()]


def test_failures_leak_nothing(velmo, runtime):
    runtime.cline_in_traceback = True
    arg = Failing(2, True)
    code = code_at(velmo, 2, True)
    counted = (arg, code, vars(velmo), runtime.cline_in_traceback)

    def fail_many(times):
        for _ in range(times):
            try:
                velmo.fun_hello(arg)
            except Boom:
                pass
        arg.raised = None
        gc.collect()

    fail_many(200)  # warm free lists and the cache
    refs = [sys.getrefcount(obj) for obj in counted]
    tracemalloc.start()
    try:
        fail_many(200)
        before, _ = tracemalloc.get_traced_memory()
        fail_many(3000)
        after, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(obj) for obj in counted] == refs
    # A frame or traceback kept per failure would add several hundred kB.
    assert after - before < 64 * 1024
