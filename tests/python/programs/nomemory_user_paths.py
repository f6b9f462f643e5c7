"""Every path a user can reach (velmo_test_support.USER_ROWS) under both kinds
of failure (arguments: the mode, "one" or "from", and how many clean
children end a sweep).

Each child builds what its row needs before arming (fresh function objects
whose attributes were never read, the switch, a warm or cold code-object
cache, an emptied dict free list), runs the row's operation, disarms, and
then checks that the same operation, a call and a repeated import all work.
Nothing in an armed window readies a type or imports a module: 3.13.0
itself crashes at some allocation failures there.
Prints {row id: {"baseline", "swept", "unclean"}}: the unarmed child's
record, the number of children and the records that differ from baseline."""
import gc
import json
import sys

import _testcapi
import nomemory_driver
import velmo
from nomemory_driver import arm, run_child, sweep_records
from velmo_test_support import HEALTHY, OPS, USER_ROWS, context, forget_raised, row_dict, velmo_entry_names

f = velmo.fun_hello


def outcome(c, op, n):
    # Popping a Python frame that raised links its frame object to its
    # caller's, which 3.11 and later make on demand; when that allocation
    # fails they drop the exception, and the caller's own loop reports
    # "error return without exception set". Making this frame's object now,
    # and calling the operation with no Python frame between, leaves that
    # message to velmo alone.
    sys._getframe()
    try:
        if n is not None:
            arm(n)
        value = op(c)
    except BaseException as e:
        _testcapi.remove_mem_hooks()
        if e is c.raising.raised or e is c.truth.raised:
            return {"exc": "original", "entries": velmo_entry_names(e)}
        return {"exc": type(e).__name__, "msg": str(e)[:200], "entries": velmo_entry_names(e)}
    _testcapi.remove_mem_hooks()
    return {"value": value}


def make_child(row):
    op = OPS[row["op"]]

    def child(n):
        c = context(row)
        rec = {"outcome": outcome(c, op, n)}
        gc.collect()
        forget_raised(c)
        rec["rerun"] = outcome(c, op, None)
        try:
            rec["after"] = [f(1), f(2)]
        except BaseException as e:
            rec["after"] = repr(e)
        try:
            del sys.modules["velmo"]
            import velmo as again
            rec["reimport"] = again is velmo and again.fun_hello is f
        except BaseException as e:
            rec["reimport"] = repr(e)
        return rec

    return child


def main(quiet):
    results = {}
    for row in map(row_dict, USER_ROWS):
        child = make_child(row)
        base = run_child(child, None)

        def clean(rec, base=base):
            return (rec.get("outcome") == base["outcome"] and rec.get("rerun") == base["outcome"]
                    and rec.get("after") == HEALTHY and rec.get("reimport") is True)

        records = sweep_records(child, clean, quiet=quiet)
        results[row["id"]] = {
            "baseline": base,
            "swept": len(records),
            "unclean": [rec for rec in records if rec["crashed"] or not clean(rec)],
        }
    print(json.dumps(results))


if __name__ == "__main__":
    nomemory_driver.MODE = sys.argv[1]
    main(int(sys.argv[2]))
