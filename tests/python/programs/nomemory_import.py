"""`import velmo` with the n-th allocation failed (argument: the mode, "one"
or "from"); prints the sweep's records."""
import importlib.util
import sys
import traceback
import types

import _testcapi
import nomemory_driver
from nomemory_driver import arm, sweep


def child(n):
    remove = _testcapi.remove_mem_hooks
    rec = {"exc": None, "entry": None}
    arm(n)
    try:
        import velmo  # noqa: F401
    except BaseException as e:
        remove()
        rec["exc"] = type(e).__name__
        rec["msg"] = str(e)
        # Failing every allocation can leave the exception without a traceback.
        entries = traceback.extract_tb(e.__traceback__)
        if entries and entries[-1].filename == "velmo.py":
            rec["entry"] = [entries[-1].name, entries[-1].lineno]
    else:
        remove()
    try:
        import velmo as first
        import velmo as second
        rec["after"] = [first.fun_hello(1), first.fun_hello(2)]
        rec["same_module"] = first is second and sys.modules["velmo"] is first
        rec["test_dict"] = first.__test__ == {}
    except BaseException as e:
        rec["after"] = repr(e)
    return rec


if __name__ == "__main__":
    nomemory_driver.MODE = sys.argv[1]
    # Our own runtime module, with the switch on before velmo sees it, so that
    # each "init velmo" entry names the implementation line that failed.
    runtime = types.ModuleType("cython_runtime")
    runtime.cline_in_traceback = True  # type: ignore[attr-defined]
    sys.modules["cython_runtime"] = runtime
    importlib.util.find_spec("velmo")  # warm the path finder's caches
    sweep(child, clean=lambda rec: rec["exc"] is None)
