"""The module's import lifecycle: creation from the import spec, execution,
repeated imports, the "velmo" entry in sys.modules, the one-interpreter rule
and the version check.

The module's state is process-wide and set by the first import, so nearly
everything here runs in a fresh interpreter.
"""
import json
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest
from velmo_test_support import fresh_env

PROGRAMS = pathlib.Path(__file__).parent / "programs"

FILES = textwrap.dedent(
    """
    from velmo_test_support import walk

    def files(tb):
        return [entry.tb_frame.f_code.co_filename for entry in walk(tb)]
    """
)


def last_json(proc):
    return json.loads(proc.stdout.splitlines()[-1])


def test_namespace_after_import(run_fresh):
    code = textwrap.dedent(
        """
        import builtins, json
        import velmo
        assert velmo.__builtins__ is builtins
        assert type(velmo.__test__) is dict and velmo.__test__ == {}
        assert velmo.__file__ == velmo.__spec__.origin and velmo.__loader__ is velmo.__spec__.loader
        assert velmo.__package__ == ""
        assert velmo.__name__ == "velmo" and velmo.__doc__ is None
        print(json.dumps(sorted(vars(velmo))))
        """
    )
    assert last_json(run_fresh(code)) == sorted(
        ["__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__",
         "__builtins__", "fun_hello", "__test__"]
    )


AGAIN = {
    "reimport": "del sys.modules['velmo']; again = importlib.import_module('velmo')",
    "reload": "again = importlib.reload(velmo)",
    "spec": textwrap.dedent(
        """
        spec = importlib.util.find_spec("velmo")
        again = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(again)
        """
    ),
}


@pytest.mark.parametrize("how", sorted(AGAIN))
def test_importing_again_returns_the_executed_module_unchanged(run_fresh, how):
    code = textwrap.dedent(
        """
        import importlib, importlib.util, sys
        import velmo
        before = dict(vars(velmo))
        velmo.__test__["marker"] = 1
        """
    ) + AGAIN[how] + textwrap.dedent(
        """
        assert again is velmo and sys.modules["velmo"] is velmo
        after = dict(vars(velmo))
        assert after.keys() == before.keys()
        # importlib rewrites its own bookkeeping (on reload: a new spec and
        # loader, equal texts); what execution put there stays the very same.
        for key in ("fun_hello", "__test__", "__builtins__"):
            assert after[key] is before[key], key
        assert (after["__file__"], after["__name__"]) == (before["__file__"], before["__name__"])
        assert velmo.__test__ == {"marker": 1}
        assert velmo.fun_hello(1) == "hello world"
        """
    )
    run_fresh(code)


@pytest.mark.parametrize(
    "name, occupied",
    [("velmo", True), ("pkg.velmo", False), ("pkg.velmo", True)],
    ids=["own-name-occupied", "package-name-free", "package-name-occupied"],
)
def test_sys_modules_entry_under_the_fixed_name(run_fresh, name, occupied):
    code = textwrap.dedent(
        f"""
        import importlib.util, sys
        path = importlib.util.find_spec("velmo").origin
        sentinel = object()
        if {occupied!r}:
            sys.modules["velmo"] = sentinel
        spec = importlib.util.spec_from_file_location({name!r}, path)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        assert module.__name__ == {name!r}
        assert module.__package__ == {name!r}.rpartition(".")[0]
        assert module.fun_hello(2) == "222222222"
        assert sys.modules["velmo"] is (sentinel if {occupied!r} else module)
        assert {name!r} == "velmo" or {name!r} not in sys.modules
        """
    )
    run_fresh(code)


def test_executing_a_second_module_object_is_refused(run_fresh):
    # Two creations before any execution yield one module object. Another
    # module object executed with velmo's definition (the interpreter's
    # PyModule_ExecDef takes any) is refused once velmo is executed.
    code = FILES + textwrap.dedent(
        """
        import ctypes, importlib.util, json, sys, types
        spec = importlib.util.find_spec("velmo")
        first = importlib.util.module_from_spec(spec)
        assert importlib.util.module_from_spec(spec) is first
        spec.loader.exec_module(first)
        init = ctypes.PyDLL(spec.origin).PyInit_velmo
        init.restype = ctypes.c_void_p
        exec_def = ctypes.pythonapi.PyModule_ExecDef
        exec_def.argtypes = (ctypes.py_object, ctypes.c_void_p)
        second = types.ModuleType("velmo")
        try:
            exec_def(second, init())
        except RuntimeError as error:
            report = dict(message=str(error), files=files(error.__traceback__))
        else:
            raise SystemExit("second execution was accepted")
        assert "fun_hello" not in vars(second)
        # The refusal leaves the executed module in place for later imports.
        assert importlib.util.module_from_spec(spec) is first
        import velmo
        assert velmo is first and sys.modules["velmo"] is first
        print(json.dumps(report))
        """
    )
    report = last_json(run_fresh(code))
    assert report["message"] == "Module 'velmo' has already been imported. Re-initialisation is not supported."
    assert "velmo.py" not in report["files"]


@pytest.mark.parametrize("mode, runs, names", [
    ("race", 30, ("velmo", "pkgx.velmo")),
    ("stall", 1, ("velmo", "pkgx.velmo")),
    ("fork", 1, ("pkgx.velmo",)),  # the child's load, whose executing thread stayed in the parent
])
def test_loads_under_two_names_at_once_end_with_the_executed_module(mode, runs, names):
    # As one load after the other: both names get the one module, executed.
    # "race" starts both loads together, over and over; "stall" starts the
    # second while the first execution is halfway.
    for _ in range(runs):
        proc = subprocess.run([sys.executable, str(PROGRAMS / "load_under_two_names.py"), mode],
                              capture_output=True, text=True, env=fresh_env(), timeout=120)
        assert proc.returncode == 0, proc.stderr
        assert last_json(proc) == dict.fromkeys(names, "module")


# Creation is driven through the interpreter's own entry, so that spec-like
# objects without an "origin" (which importlib's loader insists on) can be
# handed to the module's creation slot.
CREATE = textwrap.dedent(
    """
    import ctypes, importlib.util, json, types
    init = ctypes.PyDLL(importlib.util.find_spec("velmo").origin).PyInit_velmo
    init.restype = ctypes.c_void_p
    from_spec = ctypes.pythonapi.PyModule_FromDefAndSpec2
    from_spec.restype = ctypes.py_object
    from_spec.argtypes = (ctypes.c_void_p, ctypes.py_object, ctypes.c_int)
    LOADER, SEARCH = object(), ["somewhere"]

    def raising(attribute, error):
        def get(self):
            raise error
        return type("Spec", (), {"name": "velmo", "origin": "x.so", attribute: property(get)})()

    try:
        ns = vars(from_spec(init(), SPEC, 1013))
    except Exception as error:
        print(json.dumps([type(error).__name__, str(error)]))
    else:
        names = {id(LOADER): "LOADER", id(SEARCH): "SEARCH"}
        print(json.dumps({key: names.get(id(ns[key]), ns[key]) if key in ns else "absent"
                          for key in ("__name__", "__loader__", "__file__", "__package__", "__path__")}))
    """
)

NS = "types.SimpleNamespace"
BROKEN = ["ValueError", "broken spec"]
ATTRIBUTES = ["loader", "origin", "parent", "submodule_search_locations"]


@pytest.mark.parametrize(
    "spec, expected",
    [
        # A new module always has __loader__ and __package__ (None); only
        # __file__ and __path__ can be missing altogether.
        (f"{NS}(name='velmo')",
         dict(__name__="velmo", __loader__=None, __file__="absent", __package__=None, __path__="absent")),
        (f"{NS}(name='a.velmo', loader=LOADER, origin='x.so', parent='a', submodule_search_locations=SEARCH)",
         dict(__name__="a.velmo", __loader__="LOADER", __file__="x.so", __package__="a", __path__="SEARCH")),
        (f"{NS}(name='velmo', loader=None, origin=None, parent=None, submodule_search_locations=None)",
         dict(__name__="velmo", __loader__=None, __file__=None, __package__=None, __path__="absent")),
        ("raising('origin', type('Gone', (AttributeError,), {})())",
         dict(__name__="velmo", __loader__=None, __file__="absent", __package__=None, __path__="absent")),
        *[(f"raising({name!r}, ValueError('broken spec'))", BROKEN) for name in ATTRIBUTES],
    ],
    ids=["bare", "full", "nones", "attribute-error-subclass", *[f"{name}-raises" for name in ATTRIBUTES]],
)
def test_creation_from_spec_like_objects(run_fresh, spec, expected):
    # Fresh process: once a module is executed, creation hands that one back.
    assert last_json(run_fresh(CREATE.replace("SPEC", spec))) == expected


def test_second_interpreter_is_refused(run_fresh):
    # A subinterpreter sharing the main one's GIL, which every version makes
    # the same way. (The isolated interpreters that 3.12+ make by default
    # refuse velmo themselves, before its creation slot runs.)
    inner = textwrap.dedent(
        """
        import os
        try:
            import velmo
        except ImportError as error:
            outcome = f"{type(error).__name__}: {error}"
        else:
            outcome = "imported"
        os.write(WRITE_END, outcome.encode())
        """
    )
    code = textwrap.dedent(
        f"""
        import json, os, _testcapi
        import velmo
        read_end, write_end = os.pipe()
        status = _testcapi.run_in_subinterp({inner!r}.replace("WRITE_END", str(write_end)))
        os.close(write_end)
        outcome = os.read(read_end, 4096).decode()
        assert status == 0 and velmo.fun_hello(1) == "hello world"
        print(json.dumps(outcome))
        """
    )
    assert last_json(run_fresh(code)) == (
        "ImportError: Interpreter change detected - this module can only be loaded into one interpreter per process."
    )


@pytest.mark.parametrize("action", ["default", "error"])
def test_version_mismatch(run_fresh, action):
    folder = os.environ.get("VELMO_MISMATCH_DIR")
    if not folder:
        pytest.skip("VELMO_MISMATCH_DIR is not set")
    folder = os.path.abspath(folder)
    code = FILES + textwrap.dedent(
        f"""
        import json, sys, warnings
        sys.path.insert(0, {folder!r})
        report = {{}}
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter({action!r})
            try:
                import velmo
            except Exception as error:
                report["error"] = [type(error).__name__, str(error), files(error.__traceback__),
                                   "velmo" in sys.modules]
        report["warned"] = [[w.category.__name__, str(w.message)] for w in caught]
        # With the filter back to normal, a failed import can be repeated.
        import velmo
        report["then"] = [velmo.__file__.startswith({folder!r}), velmo.fun_hello(2)]
        print(json.dumps(report))
        """
    )
    report = last_json(run_fresh(code))
    # The variant is built for the minor version before the running one.
    major, minor = sys.version_info[:2]
    warning = ["RuntimeWarning",
               f"compiletime version {major}.{minor - 1} of module 'velmo' does not match runtime version {major}.{minor}"]
    if action == "error":
        # The warning itself propagates: no ImportError, no traceback entry.
        error_type, message, files, left_in_sys_modules = report["error"]
        assert [error_type, message] == warning
        assert "velmo.py" not in files and not left_in_sys_modules
        assert report["warned"] == []
    else:
        assert "error" not in report and report["warned"] == [warning]
    assert report["then"] == [True, "222222222"]
