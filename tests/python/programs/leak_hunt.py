"""A leak hunt over every path a user can reach, as CPython's own suite hunts
(`regrtest -R`): each path of velmo_test_support.USER_ROWS is warmed up, then
run for several rounds, and the interpreter's total of references and its
count of allocated memory blocks must not move from one round to the next.
Needs a debug interpreter, which keeps the reference total. Prints
{"paths": {row id: {"refs": [...], "blocks": [...]}}, "seconds": ...,
"rounds": [warm-ups, rounds, runs a round]}."""
import gc
import json
import sys
import time

from velmo_test_support import OPS, USER_ROWS, Boom, context, forget_raised, row_dict

WARMUPS, ROUNDS, RUNS = 3, 3, 10  # regrtest's -R 3:3, each round running the path 10 times


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
        refs_after, blocks_after = sys.gettotalrefcount(), sys.getallocatedblocks()  # type: ignore[attr-defined]
        if i >= WARMUPS:
            refs[i - WARMUPS] = refs_after - refs_before
            blocks[i - WARMUPS] = blocks_after - blocks_before
        refs_before, blocks_before = refs_after, blocks_after
    return refs, blocks


def main():
    results, start = {}, time.perf_counter()
    for row in map(row_dict, USER_ROWS):
        refs, blocks = hunt(OPS[row["op"]], context(row))
        results[row["id"]] = {"refs": refs, "blocks": blocks}
    print(json.dumps({"paths": results, "seconds": time.perf_counter() - start, "rounds": [WARMUPS, ROUNDS, RUNS]}))


if __name__ == "__main__":
    main()
