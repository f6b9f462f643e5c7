"""Execution failures at individual steps, provoked without memory tricks.

A dict key whose hash equals that of a string key and whose `__eq__` raises
makes every lookup of that string fail, so a chosen step of the execution
slot fails with an exception we own. Each scenario runs in a fresh process:
the failure path has to be met before anything else touched the module state
(programs/exec_failure.py).
"""
import json

import pytest
from velmo_test_support import ANSWER_FOR_1, SITES, run_program

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
def test_failure_reports_its_site_and_leaves_module_importable(site_name, switch):
    key = SCENARIOS[site_name][1]
    proc = run_program("exec_failure", *SCENARIOS[site_name], switch)
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

    # Execution enters the module under "velmo" only once it is complete: a
    # later `import velmo` must not find the half-built module, whatever name
    # this load used.
    assert result["leftover"] == "none"
    assert result["retry"] == [ANSWER_FOR_1, True, True]

