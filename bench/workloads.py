"""The side of bench/compare.py that runs inside the interpreter being measured.

    python workloads.py check | callgrind N | time N REPEATS | import NAME | import-gc NAME

Each mode prints one JSON document on stdout. The implementations under
comparison, the argument classes and the loops that call them are defined
here once, so that every mode measures and checks the very same things.
"""
import gc
import importlib
import importlib.util
import json
import os
import sys
import time
from itertools import repeat

# Name in the reports -> module whose `fun_hello` it is.
IMPLEMENTATIONS = {
    "velmo": "velmo",
    "builtin": "reference_builtin",
    "ideal": "reference_ideal",
    "floor": "reference_floor",
    "python": "reference_python",
}
# The floor returns None whatever it is given: it is measured, never checked.
ANSWERING = [name for name in IMPLEMENTATIONS if name != "floor"]


class DeclinesEq:
    """== is NotImplemented both ways, so Python falls back to identity."""

    def __eq__(self, other):
        return NotImplemented

    __hash__ = object.__hash__


class RaisesEq:
    """== raises, so every call that compares with it fails."""

    def __eq__(self, other):
        raise ValueError("cannot compare")

    __hash__ = object.__hash__


# (label, factory) of the argument classes that get an answer; FAILING's calls
# raise, and are measured with the loop that catches the error.
ARGUMENTS = [
    ("1", lambda: 1),
    ("2", lambda: 2),
    ("3", lambda: 3),
    ("1.0", lambda: 1.0),
    ("2.0", lambda: 2.0),
    ("'x'", lambda: "x"),
    ("True", lambda: True),
    ("None", lambda: None),
    ("2**100", lambda: 2**100),
    ("eq NotImplemented", DeclinesEq),
]
FAILING = ("eq raises", RaisesEq)
LOOP = "loop alone"  # label of the bare loop, the baseline of every figure


# The loops every figure comes from. Each takes the same arguments, so that
# the bare loop differs from a calling one by the call alone. They iterate
# over repeat(), which allocates nothing: a range would make an int per step
# above 256, and what the allocator pays for it depends on the state of its
# pools, which would shift every figure by a varying amount.
LOOPS = {
    "calls": """
def loop(f, a, n):
    for _ in repeat(None, n):
        f(a)
""",
    # Catching the error the same way for every implementation: each raise
    # builds its traceback entries before the except clause drops them.
    "failing_calls": """
def loop(f, a, n):
    for _ in repeat(None, n):
        try:
            f(a)
        except ValueError:
            pass
""",
    "bare_loop": """
def loop(f, a, n):
    for _ in repeat(None, n):
        pass
""",
}

# Calls per case before it is measured: past 3.10's per-code-object cache,
# which starts after 1024 runs of a code object (the argument's __eq__) or
# 1024 backward jumps of a loop, and past 3.11+'s specialisation warm-ups.
WARMUP = 2100


def own_loop(kind, name, label):
    """A loop function of its own for one case: a code object no other case
    runs, so that no call instruction carries its specialisation (3.11+) or
    its cache (3.10) from one implementation to the next."""
    namespace = {"repeat": repeat}
    exec(compile(LOOPS[kind], f"<{kind} {name} {label}>", "exec"), namespace)
    return namespace["loop"]


def answers():
    """The tests' one table of answers (tests/python/velmo_test_support.py),
    imported only by the modes that call: the import modes measure a process
    that has loaded nothing more than they need."""
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))
    return importlib.import_module("velmo_test_support")


def load():
    table, functions = answers(), {}
    for name, module_name in IMPLEMENTATIONS.items():
        module = importlib.import_module(module_name)
        if hasattr(module, "set_answers"):  # the references; velmo knows its own
            module.set_answers(table.ANSWER_FOR_1, table.ANSWER_FOR_2)
        functions[name] = module.fun_hello
    return functions


def plan():
    """[(implementation, argument label, loop, callable, argument)] in measuring
    order: each argument class runs every implementation, starting one further
    along the list than the class before, so that no implementation is always
    measured first or last."""
    functions = load()
    cases = [(LOOP, LOOP, own_loop("bare_loop", LOOP, LOOP), None, None)]
    groups = [(label, make, "calls", list(functions)) for label, make in ARGUMENTS]
    groups.append((*FAILING, "failing_calls", ANSWERING))
    for index, (label, make, kind, names) in enumerate(groups):
        value = make()
        shift = index % len(names)
        for name in names[shift:] + names[:shift]:
            cases.append((name, label, own_loop(kind, name, label), functions[name], value))
    return cases


def check():
    """Every disagreement between the implementations, as readable strings."""
    functions = load()
    problems = []

    def expect(condition, what):
        if not condition:
            problems.append(what)

    for label, make in ARGUMENTS:
        value = make()
        wanted = answers().answer(value)
        for name in ANSWERING:
            before = sys.getrefcount(value)
            got = [functions[name](value) for _ in range(100)]
            expect(got == [wanted] * 100, f"{name}({label}) returned {got[0]!r}, not {wanted!r}")
            del got
            expect(
                sys.getrefcount(value) == before, f"{name}({label}) changed the argument's reference count"
            )
        expect(functions["floor"](value) is None, f"floor({label}) did not return None")

    label, make = FAILING
    value = make()
    for name in ANSWERING:
        try:
            functions[name](value)
        except ValueError as error:
            files = []
            tb = error.__traceback__
            while tb is not None:
                files.append(tb.tb_frame.f_code.co_filename.rsplit("/", 1)[-1])
                tb = tb.tb_next
            del error, tb
            # This function's frame, the implementation's entry, then __eq__'s.
            own = {"velmo": ["velmo.py"], "ideal": ["reference_ideal.py"], "python": ["reference_python.py"]}
            own = own.get(name, [])
            expect(files[1:-1] == own, f"{name}({label}) left traceback entries {files}")
        else:
            problems.append(f"{name}({label}) did not raise")

    # The call shapes a METH_O function refuses; the Python def, which takes
    # keywords, and the floor, which takes anything, are not asked.
    refused = [((), {}), ((1, 2), {}), ((1,), {"k": 1}), ((), {"s": 1})]
    for name in ("velmo", "builtin", "ideal"):
        for args, kwargs in refused:
            try:
                functions[name](*args, **kwargs)
            except TypeError:
                pass
            else:
                problems.append(f"{name}(*{args}, **{kwargs}) did not raise TypeError")

    # The marker must load wherever callgrind will need it.
    importlib.import_module("callgrind_marker").boundary()
    return {"problems": problems, "labels": [label for label, _ in ARGUMENTS + [FAILING]]}


def measure_callgrind(n):
    """Runs each case for a warm-up, then n calls, then 2n calls, with a
    profile boundary after each; compare.py reads the parts callgrind dumps."""
    cases = plan()
    boundary = importlib.import_module("callgrind_marker").boundary
    boundary()  # the first dump: start-up and setup
    for _, _, loop, f, a in cases:
        loop(f, a, WARMUP)
        boundary()
        loop(f, a, n)
        boundary()
        loop(f, a, 2 * n)
        boundary()
    return {"cases": [[name, label] for name, label, *_ in cases], "first_part": 2, "parts_per_case": 3}


def measure_time(n, repeats):
    """Quartiles of ns per iteration of each case. Within a repeat, every
    argument class runs each implementation in turn, starting one further
    along each repeat, so that drifts of the machine touch them all alike."""
    cases = plan()
    by_label = {}
    for case in cases:
        by_label.setdefault(case[1], []).append(case)
    timer = time.perf_counter_ns
    samples = {(name, label): [] for name, label, *_ in cases}
    for _, _, loop, f, a in cases:
        loop(f, a, max(WARMUP, n // 10))
    for r in range(repeats):
        for group in by_label.values():
            shift = r % len(group)
            for name, label, loop, f, a in group[shift:] + group[:shift]:
                start = timer()
                loop(f, a, n)
                samples[name, label].append((timer() - start) / n)
    def quartiles(values):
        values = sorted(values)
        return [values[len(values) // 4], values[len(values) // 2], values[(3 * len(values)) // 4]]

    return {"ns": [[name, label, quartiles(values)] for (name, label), values in samples.items()]}


def measure_import(name):
    """Imports one module between two profile boundaries (the part in
    between is the import statement; all parts together are the whole
    process). Every folder on the path is listed beforehand, so both modules
    meet the same finder caches."""
    importlib.util.find_spec("velmo_bench_absent_module")
    boundary = importlib.import_module("callgrind_marker").boundary
    boundary()
    __import__(name)
    boundary()
    return {"module": name}


def measure_import_gc(name):
    """The garbage collections that importing one module sets off, and the
    objects the collector tracks afterwards that it did not before, in a
    process that has done what measure_import does before its import."""
    importlib.util.find_spec("velmo_bench_absent_module")
    importlib.import_module("callgrind_marker")
    collections = []
    gc.callbacks.append(lambda phase, info: phase == "start" and collections.append(info["generation"]))
    before = gc.get_count()[0]
    __import__(name)
    after = gc.get_count()[0]
    gc.callbacks.clear()
    # Counted by the collector's own allocation count of generation 0, which
    # is what sets a collection off: tracked allocations less deallocations.
    return {"module": name, "collections": collections, "gen0_before": before, "gen0_after": after}


def main(argv):
    mode = argv[1]
    if mode == "check":
        result = check()
    elif mode == "callgrind":
        result = measure_callgrind(int(argv[2]))
    elif mode == "time":
        result = measure_time(int(argv[2]), int(argv[3]))
    elif mode == "import":
        result = measure_import(argv[2])
    elif mode == "import-gc":
        result = measure_import_gc(argv[2])
    else:
        raise SystemExit(f"workloads.py: unknown mode {mode!r}")
    result["python"] = sys.version.split()[0]
    print(json.dumps(result))


if __name__ == "__main__":
    main(sys.argv)
