"""Loads velmo's file under two names at once, "velmo" and "pkgx.velmo", one
thread each, and prints JSON: per name, "module" when the load gave the
one fully executed module, else what it gave (an error, another module, a
module without fun_hello).

Usage: load_under_two_names.py {race,stall}

`race` starts both loads together. `stall` makes the first execution stop
halfway (a key of sys.modules whose comparison sleeps, met where execution
looks "velmo" up) and starts the second load meanwhile.
"""
import importlib.util
import json
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

    def outcome(result):
        if isinstance(result, Exception):
            return [type(result).__name__, str(result)]
        module, executed = result
        if module is not velmo:
            return "another module"
        return "module" if executed and velmo.fun_hello(1) == "hello world" else "not executed"

    print(json.dumps({name: outcome(loaded[name]) for name in NAMES}))


if __name__ == "__main__":
    main()
