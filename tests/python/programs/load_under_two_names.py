"""Loads velmo's file under two names, "velmo" and "pkgx.velmo" (a finder maps
the second to the same file), in overlapping ways, and prints JSON: per load,
"module" when it gave the module executed (velmo's one module), else what it
gave: "not executed" (no fun_hello yet), "another module", [error type,
message], or "hang" when it had not ended after HANG seconds.

Usage: load_under_two_names.py MODE [control]

With `control`, the file is instead a Python module that does what velmo's
execution does, in the same order (programs/velmo_control.py), so that each
mode shows what the import system itself makes of the same steps.

Velmo's execution is stopped halfway by a key of sys.modules that collides
with the name of a module the execution looks up ("cython_runtime", after it
claimed the module; "_cython_0_29_32", before), whose comparison calls the
mode's hook once, in the process and thread that started the first load.

`race` starts both loads together. `stall` starts the second while the first
execution is halfway. `fork` forks while the first execution is halfway, and
the child, where the executing thread does not exist, makes the second load;
`fork-reused-id` makes it from a thread of the child that got the executing
thread's id. `cycle`: the execution of `import velmo` imports pkgx.velmo,
which another thread is loading, waiting for velmo meanwhile. `interrupt`:
the main thread's `import pkgx.velmo` waits for another thread's execution
and gets SIGINT. `half-built`: `import velmo` runs while velmo's load under
pkgx.velmo binds fun_hello. `nested` and `sequential`: velmo's execution
itself imports pkgx.velmo, or the two imports follow each other; both print
the reference count of the module. `joined-thread`: velmo's execution starts
a thread that loads pkgx.velmo and joins it for 2 s. `unlisted-name`: a load
under z.velmo that is not entered in sys.modules, then a reload of velmo.
"""
import importlib.abc
import importlib.util
import json
import os
import shutil
import signal
import sys
import tempfile
import threading
import time

NAMES = ("velmo", "pkgx.velmo")
HANG = 10  # seconds: far beyond any load here that ends
SPECS: dict = {}  # name -> its spec, found before any load
FIRST = [threading.main_thread().ident]  # the thread whose execution a hook stops


class Finder(importlib.abc.MetaPathFinder):
    """Maps pkgx.velmo to velmo's file (pkgx is an empty package)."""

    def __init__(self, path):
        self.path = path

    def find_spec(self, name, path=None, target=None):
        if name == NAMES[1]:
            return importlib.util.spec_from_file_location(name, self.path)
        return None


class Hook:
    """Collides with `name`; the first comparison in this process and in
    `thread` calls `action`."""

    def __init__(self, name, thread, action):
        self.name, self.thread, self.action = name, thread, action
        self.process, self.fired = os.getpid(), False

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        if not self.fired and os.getpid() == self.process and threading.get_ident() == self.thread():
            self.fired = True
            self.action()
        return False


def outcome(result, velmo):
    """What a load gave, as the JSON above says: `result` is what load()
    returned."""
    if isinstance(result, BaseException):
        return [type(result).__name__, str(result)]
    if result is None:
        return "hang"
    module, executed = result
    if not executed:
        return "not executed"
    if velmo is not None and module is not velmo:
        return "another module"
    return "module" if module.fun_hello(1) == "hello world" else "not executed"


def load(name, how="import"):
    """(the module that loading `name` gives, whether it held fun_hello
    then), or the exception the load raised."""
    try:
        if how == "import":
            __import__(name)
            module = sys.modules[name]
        else:
            spec = SPECS[name]
            module = importlib.util.module_from_spec(spec)
            spec.loader.exec_module(module)
    except BaseException as error:  # KeyboardInterrupt included
        return error
    return module, "fun_hello" in vars(module)


def first_load(name, how):
    """load() in the thread that the hooks stop."""
    FIRST[0] = threading.get_ident()
    return load(name, how)


def in_thread(function, *args):
    """Starts `function(*args)` in a thread; returns (thread, its result box)."""
    box = [None]
    thread = threading.Thread(target=lambda: box.__setitem__(0, function(*args)), daemon=True)
    thread.start()
    return thread, box


def finish(report, velmo_name="velmo", control=False):
    velmo = None if control else sys.modules.get(velmo_name)
    print(json.dumps({key: value if isinstance(value, (int, str, list)) else outcome(value, velmo)
                      for key, value in report.items()}), flush=True)
    # The second creation hands back the module object the first made, and
    # the interpreter then drops the 1-byte state block it gave that object
    # (README: repeated imports cost one byte), before the sanitizer run's
    # sitecustomize can mark it. Leaving without the exit handlers skips a
    # leak check that cannot tell that block from velmo's own; the other
    # programs keep theirs. (Threads left hanging end with the process.)
    os._exit(0)


def main():
    mode, control = sys.argv[1], sys.argv[2:] == ["control"]
    if control:
        folder = tempfile.mkdtemp()
        path = shutil.copy(os.path.join(os.path.dirname(__file__), "velmo_control.py"),
                           os.path.join(folder, "velmo.py"))
        sys.path.insert(0, folder)
    else:
        path = importlib.util.find_spec("velmo").origin
    sys.modules["pkgx"] = type(sys)("pkgx")
    sys.modules["pkgx"].__path__ = []
    sys.meta_path.insert(0, Finder(path))
    SPECS.update((name, importlib.util.find_spec(name)) for name in NAMES)
    halfway, go_on = threading.Event(), threading.Event()

    def hook(action, name="cython_runtime"):
        sys.modules[Hook(name, lambda: FIRST[0], action)] = None

    def stall():
        halfway.set()
        go_on.wait(HANG)

    report = {}
    if mode in ("race", "stall"):
        start = threading.Barrier(2)
        if mode == "stall":
            hook(lambda: (halfway.set(), time.sleep(0.5)))
        else:
            sys.setswitchinterval(1e-6)

        def load_at_once(name):
            if mode == "race":
                start.wait()
            elif name != NAMES[0]:
                halfway.wait(HANG)
            result = first_load(name, "exec") if name == NAMES[0] else load(name, "exec")
            go_on.set()
            return result

        threads = [in_thread(load_at_once, name) for name in NAMES]
        for thread, box in threads:
            thread.join(HANG)
        report = {name: box[0] for name, (_, box) in zip(NAMES, threads)}
    elif mode in ("fork", "fork-reused-id"):
        hook(stall)
        thread, _ = in_thread(first_load, NAMES[0], "exec")
        halfway.wait(HANG)

        def fork():
            sys.stdout.flush()
            child = os.fork()
            if child == 0:
                signal.alarm(HANG + 5)  # a child that waited for the parent's thread would hang
                result = "no thread of the child got the executing thread's id"

                def load_if_reused():
                    return load(NAMES[1], "exec") if threading.get_ident() == FIRST[0] else "another id"

                for _ in range(20 if mode == "fork-reused-id" else 0):
                    candidate, box = in_thread(load_if_reused)
                    candidate.join(HANG)
                    if box[0] != "another id":
                        result = box[0]
                        break
                else:
                    if mode == "fork":
                        result = load(NAMES[1], "exec")
                finish({NAMES[1]: result}, control=control)
            go_on.set()
            _, status = os.waitpid(child, 0)
            return os.waitstatus_to_exitcode(status)

        forker, box = in_thread(fork)  # a third thread, as the executing one is busy
        forker.join()
        thread.join(HANG)
        sys.exit(box[0])
    elif mode == "cycle":
        second = []

        def close_the_cycle():
            second.append(in_thread(load, NAMES[1]))
            time.sleep(0.5)  # the second load is waiting for this execution by now
            report["nested"] = load(NAMES[1])

        hook(close_the_cycle)
        thread, box = in_thread(first_load, NAMES[0], "import")
        thread.join(HANG)
        report[NAMES[0]] = box[0]
        if second:
            second[0][0].join(1)
            report[NAMES[1]] = second[0][1][0]
        report["nested"] = "ended" if "nested" in report else "hang"
    elif mode == "interrupt":
        hook(stall)
        thread, box = in_thread(first_load, NAMES[0], "import")
        halfway.wait(HANG)
        main = threading.main_thread().ident
        sent = []

        def interrupt():
            time.sleep(0.3)  # the main thread is waiting for the execution by now
            sent.append(time.monotonic())
            signal.pthread_kill(main, signal.SIGINT)

        in_thread(interrupt)
        try:
            result = load(NAMES[1])
        except KeyboardInterrupt as error:  # raised after the load ended
            result = error
        late = time.monotonic() - sent[0] > 2 if sent else False
        go_on.set()
        thread.join(HANG)
        report = {"interrupted load": "KeyboardInterrupt, late" if late else result,
                  NAMES[0]: box[0], "then": load(NAMES[1])}
    elif mode == "half-built":
        spec = importlib.util.find_spec(NAMES[1])
        module = importlib.util.module_from_spec(spec)
        meanwhile = []

        def import_velmo():
            meanwhile.append(in_thread(load, NAMES[0]))
            meanwhile[0][0].join(0.5)  # it ends only if it does not wait for this execution

        # In the module's dict: met where the execution binds fun_hello.
        module.__dict__[Hook("fun_hello", lambda: FIRST[0], import_velmo)] = None
        spec.loader.exec_module(module)
        report[NAMES[1]] = module, "fun_hello" in vars(module)
        importer, box = meanwhile[0]
        importer.join(HANG)
        report["import velmo meanwhile"] = box[0]
    elif mode == "joined-thread":
        def join_a_load():
            joined, box = in_thread(load, NAMES[1])
            joined.join(2)
            report["joined thread"] = "still waiting" if joined.is_alive() else box[0]
            report["its load"] = joined, box

        hook(join_a_load)
        report[NAMES[0]] = load(NAMES[0])
        joined, box = report.pop("its load")
        joined.join(HANG)
        report["its load"] = box[0]
    elif mode == "unlisted-name":
        report[NAMES[0]] = load(NAMES[0])
        velmo = report[NAMES[0]][0]
        unlisted = importlib.util.module_from_spec(importlib.util.spec_from_file_location("z.velmo", path))
        report["z.velmo"] = unlisted, "fun_hello" in vars(unlisted)
        report["__spec__"] = velmo.__spec__.name
        try:
            importlib.reload(velmo)
        except ImportError as error:
            report["reload"] = [type(error).__name__, str(error)]
    elif mode in ("nested", "sequential"):
        if mode == "nested":
            # What the nested load gives then, before velmo claimed the module.
            hook(lambda: report.setdefault("nested", outcome(load(NAMES[1]), None)), "_cython_0_29_32")
        report[NAMES[0]] = load(NAMES[0])
        report[NAMES[1]] = load(NAMES[1])
        velmo = None if control else sys.modules[NAMES[0]]
        report = {key: value if isinstance(value, str) else outcome(value, velmo) for key, value in report.items()}
        # Every reference but the ones a load under two names leaves: the
        # two entries of sys.modules, and in velmo the module state's.
        report["references"] = sys.getrefcount(sys.modules[NAMES[0]])
    else:
        raise SystemExit(f"unknown mode {mode!r}")
    finish(report, control=control)


if __name__ == "__main__":
    main()
