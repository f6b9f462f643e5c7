"""A leak hunt over every path a user can reach, as CPython's own suite hunts
(`regrtest -R`): each path of the table that the allocation sweeps run is
warmed up, then run for several rounds, and the interpreter's total of
references and its count of allocated memory blocks must not move from one
round to the next (programs/leak_hunt.py). Only a debug interpreter keeps the
reference total, so the hunt runs there (scripts/test.sh has a lane for each
one installed).

Run as a script, it prints the figures of each path.
"""
import sys
import time

import pytest
from velmo_test_support import last_json, run_program

needs_debug_build = pytest.mark.skipif(
    not hasattr(sys, "gettotalrefcount"), reason="only a debug interpreter keeps a total of references"
)


@needs_debug_build
def test_no_user_path_leaks():
    report = last_json(run_program("leak_hunt", timeout=600))
    leaking = {path: deltas for path, deltas in report["paths"].items()
               if any(deltas["refs"]) or any(deltas["blocks"])}
    assert report["paths"] and not leaking, leaking


if __name__ == "__main__":
    # python tests/python/test_leak_hunt.py, with velmo and velmo_peer on the path.
    started = time.perf_counter()
    report = last_json(run_program("leak_hunt", timeout=600))
    WARMUPS, ROUNDS, RUNS = report["rounds"]
    for path, deltas in report["paths"].items():
        print(f"{path:40} refs {deltas['refs']} blocks {deltas['blocks']}")
    print(f"{sys.version.split()[0]}{sys.abiflags}: {len(report['paths'])} paths, "
          f"{WARMUPS} warm-ups and {ROUNDS} rounds of {RUNS} runs each, "
          f"hunt {report['seconds']:.1f} s, process {time.perf_counter() - started:.1f} s")
