"""Module execution failing at the step the arguments choose: a dict key
whose hash equals that of a string key and whose `__eq__` raises makes every
lookup of that string fail, so the step fails with an exception we own.
Arguments: where the trap goes ("sys.modules" or "module"), the key it
collides with, how execution starts ("import" or "exec"), and the switch
("None", "True"). Prints what the failure looked like and what a repeated
import gives."""

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


def main(where, key, how, switch):
    if switch is not None:
        runtime = types.ModuleType("cython_runtime")
        runtime.cline_in_traceback = switch
        sys.modules["cython_runtime"] = runtime

    # While the module still lacks __builtins__, the frame of its traceback
    # entry looks that key up in the same dict; the trap must fire only for
    # the failing step, or no frame (and no entry) could be made.
    times = 1 if key == "__builtins__" else 10**9

    spec = importlib.util.find_spec("velmo")
    assert spec is not None and spec.loader is not None
    module = None
    try:
        if how == "import":
            trap = plant(sys.modules, key, times)
            importlib.import_module("velmo")
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


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], sys.argv[3], None if sys.argv[4] == "None" else sys.argv[4] == "True")
