"""Threads sharing fun_hello: calls that succeed and fail, attribute writes on
the shared function object and switch toggles, all interleaved by a tiny
switch interval, with every answer and every traceback entry checked.
Prints {"errors": [...], "counts": {role: runs}}."""
import json
import random
import sys
import threading
import time

import velmo
from velmo_test_support import ANSWERS, FUN_HELLO_SITES, Boom, Failing, velmo_entries

f = velmo.fun_hello
runtime = sys.modules["cython_runtime"]
SECONDS = 3.0


class Holder:
    f = velmo.fun_hello

DOCS, QUALNAMES = [None, "one doc", "another doc"], ["fun_hello", "Outer.fun_hello"]
DICTS = [{"extra": 1}, {"extra": 2}]
ANNOTATIONS = [{}, {"s": int}]

errors: list = []
counts: dict = {}


def check(ok, *what):
    if not ok and len(errors) < 20:
        errors.append(repr(what))


def caller(rng):
    arg, want = rng.choice(ANSWERS)
    got = f(arg)
    check(got == want and (got is None or type(got) is str), "answer", arg, got)


def failer(rng):
    target, in_truth = rng.choice(list(FUN_HELLO_SITES))
    arg = Failing(target, in_truth)
    try:
        f(arg)
    except Boom as e:
        check(e is arg.raised and e.__context__ is None, "exception", e)
        entries = velmo_entries(e)
        site = FUN_HELLO_SITES[target, in_truth]
        python_line = site.python_line
        # The switch flips under our feet: either name is right, no other.
        names = {site.entry_name(False), site.entry_name(True)}
        check(len(entries) == 1, "entries", len(entries))
        for entry in entries:
            code = entry.tb_frame.f_code
            check(code.co_name in names and code.co_firstlineno == python_line and entry.tb_lineno == python_line
                  and entry.tb_frame.f_globals is vars(velmo), "entry", code.co_name, entry.tb_lineno)
    else:
        check(False, "no exception", target, in_truth)


def binder(rng):
    holder = Holder()
    check(holder.f() is None and holder.f.__self__ is holder, "binding")
    check(repr(f) in ("<cyfunction %s at %s>" % (q, hex(id(f))) for q in QUALNAMES), "repr", repr(f))
    check(f.__reduce__() in QUALNAMES and f.__name__ == "fun_hello", "names")


def writer(rng):
    choice = rng.randrange(5)
    if choice == 0:
        f.__doc__ = rng.choice(DOCS)
    elif choice == 1:
        f.__qualname__ = rng.choice(QUALNAMES)
    elif choice == 2:
        f.__dict__ = rng.choice(DICTS)
    elif choice == 3:
        f.__annotations__ = rng.choice(ANNOTATIONS + [None])
    else:
        f.extra = rng.choice([1, 2])
    check(f.__doc__ in DOCS and f.__qualname__ in QUALNAMES and f.__dict__ in DICTS
          and f.extra in (1, 2) and f.__annotations__ in ANNOTATIONS, "attributes")


def toggler(rng):
    if rng.random() < 0.2:
        # Absent: the next failure stores the default itself.
        vars(runtime).pop("cline_in_traceback", None)
    else:
        runtime.cline_in_traceback = rng.choice([True, False, 1, 0, "", "yes"])


def run(role, seed, deadline):
    rng, done = random.Random(seed), 0
    try:
        while time.monotonic() < deadline:
            role(rng)
            done += 1
    except BaseException as e:
        check(False, role.__name__, "raised", e)
    counts[role.__name__] = counts.get(role.__name__, 0) + done


def main():
    f.__dict__ = DICTS[0]
    sys.setswitchinterval(1e-6)
    roles = [caller, caller, failer, failer, binder, writer, toggler]
    deadline = time.monotonic() + SECONDS
    threads = [threading.Thread(target=run, args=(role, seed, deadline)) for seed, role in enumerate(roles)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    check(not any(t.is_alive() for t in threads), "a thread did not finish")
    print(json.dumps({"errors": errors, "counts": counts}))


if __name__ == "__main__":
    main()
