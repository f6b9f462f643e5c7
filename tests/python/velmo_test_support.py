"""What velmo's Python tests share: the answers table, the failure sites as
the module is built with them, the arguments whose comparison fails, the
traceback walker, the table of every path a user can reach (which the
allocation-failure sweeps and the leak hunt both run), and the way to run a
program of programs/ in a fresh interpreter.

Importable from the test processes and from the fresh interpreters they
start with `fresh_env`, which puts this folder on their path. Importing it
imports nothing of velmo's: the fresh-process tests decide when velmo is
first imported.
"""
import collections
import json
import os
import subprocess
import sys
import types

HERE = os.path.dirname(os.path.abspath(__file__))
# The programs that tests run in a fresh interpreter, where process state
# (the first import, the registry, the switch, the code-object cache)
# demands one: plain modules, each doing its work under `__main__`.
PROGRAMS = os.path.join(HERE, "programs")


def fresh_env(env=None):
    """The environment for a new interpreter: this one's, with this folder on
    its path so that it imports this module, plus `env`."""
    full_env = dict(os.environ)
    full_env["PYTHONPATH"] = os.pathsep.join(filter(None, [HERE, full_env.get("PYTHONPATH")]))
    if env:
        full_env.update(env)
    return full_env


def run_program(name, *args, check=True, timeout=120):
    """Runs programs/`name`.py with `args` (each made a str) in a new
    interpreter of the running version; returns the CompletedProcess. With
    `check`, a non-zero exit fails, showing both streams."""
    proc = subprocess.run(
        [sys.executable, os.path.join(PROGRAMS, name + ".py"), *map(str, args)],
        capture_output=True,
        text=True,
        env=fresh_env(),
        timeout=timeout,
    )
    if check and proc.returncode != 0:
        raise AssertionError(
            f"{name}.py failed ({proc.returncode})\n--- stdout\n{proc.stdout}\n--- stderr\n{proc.stderr}")
    return proc


def last_json(proc):
    """The JSON document a program printed last."""
    return json.loads(proc.stdout.splitlines()[-1])


# --- the answers --------------------------------------------------------------
#
# What fun_hello answers: the one table of the tests (the module's string
# table and the stub's Literal say it too). Every test and the bench's check
# take the answers from here.
ANSWER_FOR_1 = "hello world"
ANSWER_FOR_2 = "222222222"
# fun_hello(1), fun_hello(2): what a healthy module answers.
HEALTHY = [ANSWER_FOR_1, ANSWER_FOR_2]


def answer(s):
    """What fun_hello(s) must return: Python's own == decides."""
    return ANSWER_FOR_1 if s == 1 else ANSWER_FOR_2 if s == 2 else None


# --- the failure sites --------------------------------------------------------
#
# As the module is built with them: velmo_sites, a test-only extension built
# beside velmo_peer, hands over the rows of module/failure_sites.h, so that
# the table exists once: a new site is its row there, and every test below
# sees it. The site numbers are a promise to users (never renumbered), which
# test_tracebacks.py holds the rows to. The benchmark's build has no tests and
# takes only the answers from this module.
try:
    import velmo_sites
except ModuleNotFoundError:
    velmo_sites = None


class Site(collections.namedtuple("Site", "name function implementation_line python_line tests")):
    """A row: its name there (e.g. "kCompareWith1"), the function the entry
    names ("init velmo", "velmo.fun_hello"), the implementation line shown
    beside it when the switch is on, the line of velmo.py the entry stands at,
    and what the row says the tests need: {"sweep": "reaches" | "cannot" |
    "no entry"} or {"argument": (N, whether the truth test fails)}."""

    __slots__ = ()

    def entry_name(self, shown):
        """The entry's function name with the switch on (`shown`) or off."""
        return f"{self.function} ({IMPLEMENTATION_FILE}:{self.implementation_line})" if shown else self.function


def _site(name, function, implementation_line, python_line, tests):
    kind, *what = tests
    return Site(name, function, implementation_line, python_line,
                {kind: what[0] if kind == "sweep" else tuple(what)})


if velmo_sites is not None:
    SOURCE_FILE = velmo_sites.SOURCE_FILE  # "velmo.py"
    IMPLEMENTATION_FILE = velmo_sites.IMPLEMENTATION_FILE  # "velmo.cpp"
    SITES = {row[0]: _site(*row) for row in velmo_sites.ROWS}  # name -> Site, in the rows' order

    # The module's execution sites, in the order execution meets them; those
    # after kGlobals are met once the module's globals are held, and so add an
    # entry, as their rows say.
    INIT_SITES = [s for s in SITES.values() if "sweep" in s.tests]
    _GLOBALS = INIT_SITES.index(SITES["kGlobals"])
    EXEC_SITES_WITH_ENTRY = INIT_SITES[_GLOBALS + 1:]
    if [s for s in INIT_SITES if s.tests["sweep"] == "no entry"] != INIT_SITES[:_GLOBALS + 1]:
        raise RuntimeError("the rows of module/failure_sites.h say sweep_no_entry of a site after kGlobals, "
                           "or of none up to it")
    # Those that the import's allocation sweep always reaches.
    SWEEP_REACHES = [s for s in EXEC_SITES_WITH_ENTRY if s.tests["sweep"] == "reaches"]

    # fun_hello's sites, by the argument that fails there: (the value whose
    # comparison fails, whether the truth test of its answer fails) -> site.
    FUN_HELLO_SITES = {s.tests["argument"]: s for s in SITES.values() if "argument" in s.tests}


# --- arguments that fail ------------------------------------------------------


class Boom(Exception):
    pass


class RaisingTruth:
    """An answer whose truth test raises `error`."""

    def __init__(self, error):
        self.error = error

    def __bool__(self):
        raise self.error


class Failing:
    """Unequal to everything but `target`; compared with it, `__eq__` raises, or
    (`in_truth`) returns an answer whose truth test raises. The exception
    raised is kept in `raised`: a new one per failure, or, with `prebuilt`,
    one made up front, so that failing allocates nothing of its own (the
    allocation sweeps tell the reported failure by its identity)."""

    def __init__(self, target, in_truth=False, prebuilt=False):
        self.target, self.in_truth, self.prebuilt = target, in_truth, prebuilt
        self.raised = Boom("failing against", target) if prebuilt else None
        self.answer = RaisingTruth(self.raised) if prebuilt else None

    def __eq__(self, other):
        if other != self.target:
            return False
        if self.prebuilt:
            answer = self.answer
        else:
            self.raised = Boom("failing against", self.target)
            answer = RaisingTruth(self.raised)
        if self.in_truth:
            return answer
        raise self.raised

    __hash__ = None  # type: ignore[assignment]  # unhashable, as a class with __eq__ is

    def forget(self):
        """Drops what raising left on the kept exception: raised again, it
        would extend its old traceback."""
        if self.raised is not None:
            self.raised.__traceback__ = self.raised.__context__ = None


class EqualToTwo:
    """Equal to 2 only, answering with a list, so that the answer's truth is
    tested too."""

    def __eq__(self, other):
        return [other] if other == 2 else []

    __hash__ = None  # type: ignore[assignment]  # unhashable, as a class with __eq__ is


# Arguments on every way to an answer (the cached constant, an exact int or
# float, a bool, a big int, rich comparison), with what each gets.
ANSWERS = [(1, ANSWER_FOR_1), (2, ANSWER_FOR_2), (3, None), (1.0, ANSWER_FOR_1), (2.5, None), (True, ANSWER_FOR_1),
           (2**40 + 1, None), ("1", None), (None, None), (EqualToTwo(), ANSWER_FOR_2)]


# --- tracebacks ---------------------------------------------------------------


def walk(tb):
    """The entries of a traceback, outermost first."""
    while tb is not None:
        yield tb
        tb = tb.tb_next


def velmo_entries(exc):
    """The entries that name velmo.py in the traceback of `exc`."""
    return [tb for tb in walk(exc.__traceback__) if tb.tb_frame.f_code.co_filename == SOURCE_FILE]


def velmo_entry_names(exc):
    """[function name, line] of each of velmo's entries."""
    return [[tb.tb_frame.f_code.co_name, tb.tb_lineno] for tb in velmo_entries(exc)]


# --- every path a user can reach ----------------------------------------------
#
# A row is (op, switch, warm cache, emptied dict free list, may decline):
# `switch` is None for operations that never fail, else the state of
# `cline_in_traceback` ("absent", "off", "on"); "warm" runs the operation once
# before, so that its code object is cached; "emptied" takes every dict the
# free list holds, so that a new dict is allocated; "may decline" marks
# operations that go through a Python `__eq__`, whose lookup the
# interpreter's own rich comparison drops (returning NotImplemented) when it
# runs out of memory: fun_hello then compares by identity and answers None.
USER_ROWS = [
    ("ints", None, False, False, False),
    ("floats", None, False, False, False),
    ("richcompare", None, False, False, False),
    ("python-eq", None, False, False, True),
    ("arguments", None, False, False, False),
    ("binding", None, False, False, False),
    ("member-call", None, False, False, False),
    *[(op, switch, warm, False, True)
      for op in ("failing-eq", "failing-bool")
      for switch, warm in [("absent", False), ("off", False), ("off", True), ("on", False), ("on", True)]],
    *[(op, None, False, emptied, False)
      for op in ("read-name", "read-doc", "read-dict", "read-annotations", "read-defaults", "write-new-dict")
      for emptied in (False, True)],
    ("read-plain", None, False, False, False),
    ("write", None, False, False, False),
    ("repr", None, False, False, False),
    ("reduce", None, False, False, False),
]


def row_id(row):
    op, switch, warm, emptied, _ = row
    parts = [op]
    if switch is not None:
        parts += [f"switch-{switch}", "warm" if warm else "cold"]
    if emptied:
        parts.append("no-free-dicts")
    return "/".join(parts)


def row_dict(row):
    """A row as the drivers take it (JSON-friendly)."""
    return dict(id=row_id(row), op=row[0], switch=row[1], warm=row[2], emptied=row[3])


DEFAULTS, KWDEFAULTS = (1, 2), {"k": 3}


def _op_arguments(c):
    # Spelled out: a loop over calls would allocate its own objects in the
    # sweeps' armed window.
    messages = []
    try:
        c.f()
    except TypeError as e:
        messages.append(str(e))
    try:
        c.f(1, 2)
    except TypeError as e:
        messages.append(str(e))
    try:
        c.f(s=1)
    except TypeError as e:
        messages.append(str(e))
    try:
        c.bound(1)
    except TypeError as e:
        messages.append(str(e))
    return messages


def _op_member_call(c):
    result = c.member(c.a, c.b)
    return [result[0] is c.a, result[1] == (c.b,)]


def _op_write_new_dict(c):
    c.fresh.extra = c.a
    return c.fresh.extra is c.a


def _op_write(c):
    g = c.fresh
    g.__name__ = c.name
    g.__qualname__ = c.qualname
    g.__doc__ = c.doc
    g.__dict__ = c.new_dict
    g.extra = c.a
    g.__defaults__ = DEFAULTS
    g.__kwdefaults__ = KWDEFAULTS
    g.__annotations__ = c.annotations
    g.__module__ = c.name
    del g.__doc__
    del g.__defaults__
    return [g.__name__ is c.name, g.__qualname__ is c.qualname, g.__doc__ is None,
            vars(g) is c.new_dict, c.new_dict.get("extra") is c.a, g.__defaults__ is None,
            g.__kwdefaults__ is KWDEFAULTS, g.__annotations__ is c.annotations, g.__module__ is c.name]


# Each operation takes the context that `context` builds and returns what it
# saw, so that a run can be compared with a healthy one.
OPS = {
    "ints": lambda c: [c.f(1), c.f(2), c.f(3), c.f(c.big)],
    "floats": lambda c: [c.f(1.0), c.f(2.0), c.f(2.5)],
    "richcompare": lambda c: [c.f(True), c.f(c.int_sub), c.f("1"), c.f(None)],
    "python-eq": lambda c: c.f(c.eq_two),
    "failing-eq": lambda c: c.f(c.raising),
    "failing-bool": lambda c: c.f(c.truth),
    "arguments": _op_arguments,
    "binding": lambda c: [c.holder.f(), c.bound(), c.f.__get__(c.holder).__self__ is c.holder,
                          c.f.__get__(None, c.Holder) is c.f],
    "member-call": _op_member_call,
    "read-name": lambda c: c.fresh.__name__,
    "read-doc": lambda c: c.fresh_doc.__doc__,
    "read-dict": lambda c: c.fresh.__dict__ == {},
    "read-annotations": lambda c: c.f.__annotations__ == {},
    "read-defaults": lambda c: [c.with_getter.__defaults__ is DEFAULTS,
                                c.with_getter.__kwdefaults__ is KWDEFAULTS],
    "read-plain": lambda c: [c.f.__qualname__, c.f.__module__, c.f.__globals__ is vars(c.velmo),
                             c.f.__code__ is c.code, c.f.__self__, c.f.__closure__, c.f.__doc__,
                             c.f.__defaults__, c.f.__kwdefaults__],
    "write-new-dict": _op_write_new_dict,
    "write": _op_write,
    "repr": lambda c: [repr(c.f) == c.repr_f, repr(c.fresh) == c.repr_fresh],
    "reduce": lambda c: [c.f.__reduce__(), c.f.__reduce_ex__(2), c.fresh.__reduce__()],
}


def forget_raised(c):
    c.raising.forget()
    c.truth.forget()


def context(row):
    """Everything the row's operation needs, built outside any measured or
    armed window: fresh function objects whose attributes were never read,
    the switch, a warm or cold code-object cache, an emptied dict free list.
    Nothing the operation does afterwards readies a type or imports a module."""
    import velmo
    import velmo_peer

    c = types.SimpleNamespace(velmo=velmo, f=velmo.fun_hello)
    # Failing arguments raise prebuilt exceptions: raising allocates nothing.
    c.raising, c.truth = Failing(1, prebuilt=True), Failing(1, in_truth=True, prebuilt=True)
    c.eq_two = EqualToTwo()
    for arg in (c.raising, c.truth, c.eq_two):  # the interpreter's first-use work
        try:
            arg == 1
        except Boom:
            pass
    forget_raised(c)
    c.big, c.int_sub, c.a, c.b = 2**40, _IntSub(2), object(), object()
    c.Holder = type("Holder", (), {"f": c.f})
    c.holder = c.Holder()
    c.bound = c.holder.f
    c.member = velmo_peer.make("echo_varargs", flags=0x4)
    c.fresh = velmo_peer.make("echo_o")
    c.fresh_doc = velmo_peer.make("echo_doc")
    c.with_getter = velmo_peer.make("echo_o")
    velmo_peer.set_defaults_getter(c.with_getter, lambda func: (DEFAULTS, KWDEFAULTS))
    c.name, c.qualname, c.doc = "".join(["re", "named"]), "".join(["Owner.", "renamed"]), "".join(["d", "oc"])
    c.new_dict, c.annotations = {}, {}
    c.code = c.f.__code__
    c.repr_f = f"<cyfunction fun_hello at {hex(id(c.f))}>"
    c.repr_fresh = f"<cyfunction echo_o at {hex(id(c.fresh))}>"
    c.f.__annotations__ = None  # the next read makes a new dict
    switch = row["switch"]
    if switch is not None:
        runtime = sys.modules["cython_runtime"]
        runtime.cline_in_traceback = switch == "on"
        if row["warm"]:
            try:
                OPS[row["op"]](c)
            except Boom:
                pass
            forget_raised(c)
        if switch == "absent":
            vars(runtime).pop("cline_in_traceback", None)
    if row["emptied"]:
        c.held = [{} for _ in range(300)]
    return c


class _IntSub(int):
    pass
