"""Execution failures at individual steps, provoked without memory tricks.

A dict key whose hash equals that of a string key and whose `__eq__` raises
makes every lookup of that string fail, so a chosen step of the execution
slot fails with an exception we own. Each scenario runs in a fresh process:
the failure path has to be met before anything else touched the module state.
"""
import json
import textwrap

import pytest
from velmo_test_support import SITES

PRELUDE = textwrap.dedent(
    """
    import importlib.util
    import json
    import sys
    import types
    from velmo_test_support import walk

    MISSING = object()

    class Trap:
        # Collides with `key`; while `times` is non-zero every comparison
        # raises, and each raised exception is kept so that the test can
        # check that the one reaching the caller is ours, unchanged.
        def __init__(self, key):
            self.hash = hash(key)
            self.times = 0
            self.raised = []

        def __hash__(self):
            return self.hash

        def __eq__(self, other):
            if self.times:
                self.times -= 1
                error = LookupError(f"trapped lookup of {other!r}")
                self.raised.append(error)
                raise error
            return NotImplemented

    def plant(d, key, times):
        # An existing entry would be found first (by identity) and the trap
        # never consulted, so it goes back in behind the trap.
        trap = Trap(key)
        value = d.pop(key, MISSING)
        d[trap] = "trap"
        if value is not MISSING:
            d[key] = value
        trap.times = times
        return trap

    def entries(tb):
        return [[t.tb_frame.f_code.co_filename, t.tb_frame.f_code.co_name, t.tb_lineno] for t in walk(tb)]
    """
)

# site: (where the trap goes, the string key it collides with, how the
# execution is started). "sys.modules" traps are planted before the load;
# "module" traps go into the fresh module's dict between creation and
# execution, which only a hand-driven load allows. A plain `import velmo`
# cannot reach kModulesEntry: importlib looks "velmo" up in sys.modules first.
SCENARIOS = {
    "kBuiltinsModule": ("sys.modules", "builtins", "import"),
    "kRuntimeModule": ("sys.modules", "cython_runtime", "import"),
    "kSetBuiltins": ("module", "__builtins__", "exec"),
    "kModulesEntry": ("sys.modules", "velmo", "exec"),
    "kBindFunction": ("module", "fun_hello", "exec"),
    "kBindTestDict": ("module", "__test__", "exec"),
}

SCENARIO = textwrap.dedent(
    """
    where, key, how, switch = {args!r}
    if switch is not None:
        runtime = types.ModuleType("cython_runtime")
        runtime.cline_in_traceback = switch
        sys.modules["cython_runtime"] = runtime

    # While the module still lacks __builtins__, the frame of its traceback
    # entry looks that key up in the same dict; the trap must fire only for
    # the failing step, or no frame (and no entry) could be made.
    times = 1 if key == "__builtins__" else 10**9

    spec = importlib.util.find_spec("velmo")
    module = None
    try:
        if how == "import":
            trap = plant(sys.modules, key, times)
            import velmo
        else:
            module = importlib.util.module_from_spec(spec)
            target = sys.modules if where == "sys.modules" else vars(module)
            trap = plant(target, key, times)
            spec.loader.exec_module(module)
    except LookupError as error:
        caught = error
    else:
        raise SystemExit("execution did not fail")
    trap.times = 0
    if where == "sys.modules":
        del sys.modules[trap]

    leftover = sys.modules.get("velmo", MISSING)
    result = dict(
        same_exception=caught is trap.raised[-1],
        message=str(caught),
        entries=entries(caught.__traceback__),
        leftover="none" if leftover is MISSING else "module" if leftover is module else repr(leftover),
    )
    import velmo
    result["retry"] = [velmo.fun_hello(1), sys.modules["velmo"] is velmo, velmo is not module]
    print(json.dumps(result))
    """
)


def expected_name(site, switch):
    if switch or site.name in ("kBuiltinsModule", "kRuntimeModule"):
        # These two fail before the runtime module is held, so there is no
        # switch to ask and the implementation line is always shown.
        return {site.entry_name(True)}
    if site.name == "kSetBuiltins":
        # Fails before the switch's key string exists: shown, like the two.
        return {site.entry_name(True)}
    return {site.entry_name(False)}


@pytest.mark.parametrize("switch", [None, True], ids=["switch-absent", "switch-on"])
@pytest.mark.parametrize("site_name", list(SCENARIOS))
def test_failure_reports_its_site_and_leaves_module_importable(run_fresh, site_name, switch):
    where, key, how = SCENARIOS[site_name]
    proc = run_fresh(PRELUDE + SCENARIO.format(args=(where, key, how, switch)))
    result = json.loads(proc.stdout.splitlines()[-1])
    # Nothing reported on the side either, such as an "Exception ignored"
    # for a failed lookup that the module handles itself.
    assert proc.stderr == ""

    assert result["same_exception"]
    assert result["message"] == f"trapped lookup of {key!r}"

    entries = result["entries"]
    # The raiser's own frame is last; the module's entry sits right above
    # it, where the execution slot was on the stack, and nowhere else.
    assert entries[-1][1] == "__eq__"
    filename, name, lineno = entries[-2]
    assert (filename, lineno) == ("velmo.py", 1)
    assert name in expected_name(SITES[site_name], switch)
    assert [e[0] for e in entries].count("velmo.py") == 1

    # Execution enters the module under "velmo" before kBindFunction and
    # kBindTestDict fail, and takes that entry back: a later `import velmo`
    # must not find the half-built module, whatever name this load used.
    assert result["leftover"] == "none"
    assert result["retry"] == ["hello world", True, True]

