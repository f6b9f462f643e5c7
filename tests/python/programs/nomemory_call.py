"""A failing call of fun_hello with the n-th allocation failed (arguments:
the mode, "one" or "from", and whether the switch is on, "True" or "False");
prints the sweep's records.

The failing argument raises a prebuilt exception, so that raising allocates
nothing of its own and the reported failure is told by its identity."""
import sys

import _testcapi
import nomemory_driver
import velmo
from nomemory_driver import arm, sweep
from velmo_test_support import Boom, Failing, velmo_entries


def cached_code():
    try:
        velmo.fun_hello(Failing(1, prebuilt=True))
    except Boom as e:
        return velmo_entries(e)[0].tb_frame.f_code
    raise AssertionError("no failure")


def child(n):
    arg = Failing(1, prebuilt=True)
    try:
        arg == 1  # warm __eq__ outside the armed window
    except Boom:
        pass
    arg.forget()
    remove = _testcapi.remove_mem_hooks
    arm(n)
    try:
        velmo.fun_hello(arg)
    except BaseException as e:
        remove()
        err = e
    else:
        remove()
        return {"returned": True}
    entries = velmo_entries(err)
    later, again = cached_code(), cached_code()
    return {
        "exc": "original" if err is arg.raised else type(err).__name__,
        "context": err.__context__ is not None,
        "entries": [[tb.tb_frame.f_code.co_name, tb.tb_lineno] for tb in entries],
        "entry_cached": bool(entries) and entries[0].tb_frame.f_code is later,
        "cache": [later is again, later.co_name, later.co_firstlineno],
        "after": [velmo.fun_hello(1), velmo.fun_hello(2)],
    }


if __name__ == "__main__":
    nomemory_driver.MODE = sys.argv[1]
    sys.modules["cython_runtime"].cline_in_traceback = sys.argv[2] == "True"  # type: ignore[attr-defined]
    sweep(child, clean=lambda rec: rec.get("exc") == "original" and rec["entry_cached"])
