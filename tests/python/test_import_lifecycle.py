"""The module's import lifecycle: creation from the import spec, execution,
repeated imports, the "velmo" entry in sys.modules, the one-interpreter rule
and the version check.

The module's state is process-wide and set by the first import, so nearly
everything here runs in a fresh interpreter (programs/lifecycle_*.py).
"""
import os
import sys

import pytest
from velmo_test_support import ANSWER_FOR_2, last_json, run_program


def test_namespace_after_import():
    assert last_json(run_program("lifecycle_namespace")) == sorted(
        ["__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__",
         "__builtins__", "fun_hello", "__test__"]
    )


@pytest.mark.parametrize("how", ["reimport", "reload", "spec"])
def test_importing_again_returns_the_executed_module_unchanged(how):
    run_program("lifecycle_import_again", how)


@pytest.mark.parametrize(
    "name, occupied",
    [("velmo", True), ("pkg.velmo", False), ("pkg.velmo", True)],
    ids=["own-name-occupied", "package-name-free", "package-name-occupied"],
)
def test_sys_modules_entry_under_the_fixed_name(name, occupied):
    run_program("lifecycle_fixed_name", name, occupied)


def test_executing_a_second_module_object_is_refused():
    # Two creations before any execution yield one module object; another
    # module object executed with velmo's definition is refused.
    report = last_json(run_program("lifecycle_second_module"))
    assert report["message"] == "Module 'velmo' has already been imported. Re-initialisation is not supported."
    assert "velmo.py" not in report["files"]


MODULE = "module"
NO_REUSED_ID = "no thread of the child got the executing thread's id"
# What each load of programs/load_under_two_names.py ends with, per mode (the
# program says what each does): as one load after the other, every name gets
# the one module, executed; no wait hangs, a waiting load gives way to
# Ctrl-C alone, and a load that closes a cycle of waits goes on with the
# module as far as it is built, as imports do. Waits in the program end
# after 10 s, so that a hang shows as "hang".
TWO_NAME_LOADS = {
    "race": {"velmo": MODULE, "pkgx.velmo": MODULE},
    "stall": {"velmo": MODULE, "pkgx.velmo": MODULE},
    "fork": {"pkgx.velmo": MODULE},  # the child's load: the executing thread stayed in the parent
    "fork-reused-id": {"pkgx.velmo": MODULE},
    "cycle": {"velmo": MODULE, "pkgx.velmo": MODULE, "nested": "ended"},
    "interrupt": {"interrupted load": ["KeyboardInterrupt", ""], "velmo": MODULE, "then": MODULE},
    "half-built": {"pkgx.velmo": MODULE, "import velmo meanwhile": MODULE},
    # README: a thread that velmo's execution waits for cannot load velmo;
    # a load under a name that is not in sys.modules takes __spec__.
    "joined-thread": {"joined thread": "still waiting", "velmo": MODULE, "its load": MODULE},
    "unlisted-name": {"velmo": MODULE, "z.velmo": MODULE, "__spec__": "z.velmo",
                      "reload": ["ImportError", "module z.velmo not in sys.modules"]},
}


@pytest.mark.parametrize("control", [False, True], ids=["velmo", "python-control"])
@pytest.mark.parametrize("mode", list(TWO_NAME_LOADS))
def test_loads_under_two_names_at_once_end_as_imports_do(mode, control):
    # The control runs the same steps with a Python module in velmo's place,
    # so that each expectation is what the import system itself does.
    if control and mode == "unlisted-name":
        pytest.skip("a Python module gets a module of its own under each name")
    runs = 30 if mode == "race" else 1
    for _ in range(runs):
        result = last_json(run_program("load_under_two_names", mode, *["control"] * control))
        if mode == "fork-reused-id" and result["pkgx.velmo"] == NO_REUSED_ID:
            pytest.skip(result["pkgx.velmo"] + " (the C library hands out new stacks)")
        assert result == TWO_NAME_LOADS[mode]


def test_load_nested_in_the_execution_gets_the_module_being_built():
    # As in a circular import; and it leaves no reference behind that
    # the same two loads one after the other do not.
    nested = last_json(run_program("load_under_two_names", "nested"))
    sequential = last_json(run_program("load_under_two_names", "sequential"))
    assert nested["references"] == sequential["references"]
    assert nested.pop("nested") == "not executed"
    assert nested == sequential == {"velmo": MODULE, "pkgx.velmo": MODULE, "references": sequential["references"]}


BROKEN = ["ValueError", "broken spec"]
ATTRIBUTES = ["loader", "origin", "parent", "submodule_search_locations"]


@pytest.mark.parametrize(
    "spec, expected",
    [
        # A new module always has __loader__ and __package__ (None); only
        # __file__ and __path__ can be missing altogether.
        ("bare", dict(__name__="velmo", __loader__=None, __file__="absent", __package__=None, __path__="absent")),
        ("full", dict(__name__="a.velmo", __loader__="LOADER", __file__="x.so", __package__="a", __path__="SEARCH")),
        ("nones", dict(__name__="velmo", __loader__=None, __file__=None, __package__=None, __path__="absent")),
        ("attribute-error-subclass",
         dict(__name__="velmo", __loader__=None, __file__="absent", __package__=None, __path__="absent")),
        *[(f"{name}-raises", BROKEN) for name in ATTRIBUTES],
    ],
    ids=["bare", "full", "nones", "attribute-error-subclass", *[f"{name}-raises" for name in ATTRIBUTES]],
)
def test_creation_from_spec_like_objects(spec, expected):
    # Fresh process: once a module is executed, creation hands that one back.
    assert last_json(run_program("lifecycle_create_from_spec", spec)) == expected


def test_second_interpreter_is_refused():
    # The isolated interpreters that 3.12+ make by default refuse velmo
    # themselves, before its creation slot runs; the program's shares the GIL.
    assert last_json(run_program("lifecycle_subinterpreter")) == (
        "ImportError: Interpreter change detected - this module can only be loaded into one interpreter per process."
    )


@pytest.mark.parametrize("action", ["default", "error"])
def test_version_mismatch(action):
    folder = os.environ.get("VELMO_MISMATCH_DIR")
    if not folder:
        pytest.skip("VELMO_MISMATCH_DIR is not set")
    folder = os.path.abspath(folder)
    report = last_json(run_program("lifecycle_version_mismatch", folder, action))
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
    assert report["then"] == [True, ANSWER_FOR_2]
