"""A leak hunt over every path a user can reach, as CPython's own suite hunts
(`regrtest -R`): each path of the table that the allocation sweeps run is
warmed up, then run for several rounds, and the interpreter's total of
references and its count of allocated memory blocks must not move from one
round to the next. Only a debug interpreter keeps the reference total, so the
hunt runs there (scripts/test.sh has a lane for each one installed).

Run as a script, it prints the figures of each path.
"""
import json
import sys
import time

import pytest

WARMUPS, ROUNDS, RUNS = 3, 3, 10  # regrtest's -R 3:3, each round running the path 10 times

HUNT = """
import gc, json, sys, time
from velmo_test_support import OPS, USER_ROWS, Boom, context, forget_raised, row_dict

WARMUPS, ROUNDS, RUNS = %r

def run(op, c):
    for _ in range(RUNS):
        try:
            op(c)
        except Boom:
            pass
        forget_raised(c)

def hunt(op, c):
    # Preallocated, and filled with small ints while nothing leaks: the
    # bookkeeping itself moves neither figure between rounds.
    refs, blocks = [0] * ROUNDS, [0] * ROUNDS
    refs_before = blocks_before = 0
    for i in range(WARMUPS + ROUNDS):
        run(op, c)
        gc.collect()
        refs_after, blocks_after = sys.gettotalrefcount(), sys.getallocatedblocks()
        if i >= WARMUPS:
            refs[i - WARMUPS] = refs_after - refs_before
            blocks[i - WARMUPS] = blocks_after - blocks_before
        refs_before, blocks_before = refs_after, blocks_after
    return refs, blocks

results, start = {}, time.perf_counter()
for row in map(row_dict, USER_ROWS):
    refs, blocks = hunt(OPS[row["op"]], context(row))
    results[row["id"]] = {"refs": refs, "blocks": blocks}
print(json.dumps({"paths": results, "seconds": time.perf_counter() - start}))
""" % ((WARMUPS, ROUNDS, RUNS),)

needs_debug_build = pytest.mark.skipif(
    not hasattr(sys, "gettotalrefcount"), reason="only a debug interpreter keeps a total of references"
)


@needs_debug_build
def test_no_user_path_leaks(run_fresh):
    report = json.loads(run_fresh(HUNT, timeout=600).stdout.splitlines()[-1])
    leaking = {path: deltas for path, deltas in report["paths"].items()
               if any(deltas["refs"]) or any(deltas["blocks"])}
    assert report["paths"] and not leaking, leaking


if __name__ == "__main__":
    # python tests/python/test_leak_hunt.py, with velmo and velmo_peer on the path.
    import subprocess
    from velmo_test_support import fresh_env

    started = time.perf_counter()
    proc = subprocess.run([sys.executable, "-c", HUNT], env=fresh_env(), capture_output=True, text=True)
    if proc.returncode:
        sys.exit(proc.stderr)
    report = json.loads(proc.stdout.splitlines()[-1])
    for path, deltas in report["paths"].items():
        print(f"{path:40} refs {deltas['refs']} blocks {deltas['blocks']}")
    print(f"{sys.version.split()[0]}{sys.abiflags}: {len(report['paths'])} paths, "
          f"{WARMUPS} warm-ups and {ROUNDS} rounds of {RUNS} runs each, "
          f"hunt {report['seconds']:.1f} s, process {time.perf_counter() - started:.1f} s")
