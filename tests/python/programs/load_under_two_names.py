"""Loads velmo's file under two names at once, "velmo" and "pkgx.velmo", one
thread each, and prints JSON: per name, "module" when the load gave the
one fully executed module, else what it gave (an error, another module, a
module without fun_hello).

Usage: load_under_two_names.py {race,stall,fork}

`race` starts both loads together. `stall` makes the first execution stop
halfway (a key of sys.modules whose comparison sleeps, met where execution
looks "velmo" up) and starts the second load meanwhile. `fork` forks while
the first execution stalls, and the child, where the executing thread does
not exist, makes the second load; the child's verdict is the one printed.
"""
import importlib.util
import json
import os
import signal
import sys
import threading
import time

NAMES = ("velmo", "pkgx.velmo")


def main():
    mode = sys.argv[1]
    path = importlib.util.find_spec("velmo").origin
    specs = {name: importlib.util.spec_from_file_location(name, path) for name in NAMES}
    made = {}  # name -> the module object its creation gave
    loaded = {}  # name -> the error of its load, or the module and whether it held fun_hello then
    halfway = threading.Event()
    start = threading.Barrier(2)

    class StallingKey:
        """Collides with "velmo" in sys.modules; the first comparison made
        while the first load's module is executing sleeps."""

        def __hash__(self):
            return hash("velmo")

        def __eq__(self, other):
            module = made.get(NAMES[0])
            executing = module is not None and "__builtins__" in vars(module) and "fun_hello" not in vars(module)
            if executing and not halfway.is_set():
                halfway.set()
                time.sleep(0.5)
            return False

    def load(name):
        if mode == "race":
            start.wait()
        elif name != NAMES[0]:
            halfway.wait(10)
        try:
            spec = specs[name]
            made[name] = importlib.util.module_from_spec(spec)
            spec.loader.exec_module(made[name])
        except Exception as error:
            loaded[name] = error
        else:
            loaded[name] = (made[name], "fun_hello" in vars(made[name]))

    if mode == "fork":
        sys.modules[StallingKey()] = None
        first = threading.Thread(target=load, args=(NAMES[0],))
        first.start()
        halfway.wait(10)
        sys.stdout.flush()
        child = os.fork()
        if child == 0:
            signal.alarm(30)  # a child that waited for the parent's thread would hang
            load(NAMES[1])
            import velmo

            print(json.dumps({NAMES[1]: outcome(loaded[NAMES[1]], velmo)}), flush=True)
            os._exit(0)
        first.join()
        _, status = os.waitpid(child, 0)
        sys.exit(os.waitstatus_to_exitcode(status))
    if mode == "stall":
        sys.modules[StallingKey()] = None
    else:
        sys.setswitchinterval(1e-6)
    threads = [threading.Thread(target=load, args=(name,)) for name in NAMES]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()

    import velmo

    print(json.dumps({name: outcome(loaded[name], velmo) for name in NAMES}), flush=True)
    # The second creation hands back the module object the first made, and
    # the interpreter then drops the 1-byte state block it gave that object
    # (README: repeated imports cost one byte), before the sanitizer run's
    # sitecustomize can mark it. Leaving without the exit handlers skips a
    # leak check that cannot tell that block from velmo's own; the other
    # programs keep theirs.
    os._exit(0)


def outcome(result, velmo):
    if isinstance(result, Exception):
        return [type(result).__name__, str(result)]
    module, executed = result
    if module is not velmo:
        return "another module"
    return "module" if executed and velmo.fun_hello(1) == "hello world" else "not executed"


if __name__ == "__main__":
    main()
