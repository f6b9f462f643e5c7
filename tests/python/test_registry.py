"""The process-wide registry of the function type, "_cython_0_29_32".

Whatever the registry holds before the first import decides the import's
fate, so every seeded scenario runs in a fresh process
(programs/registry_first_import.py, which holds the seeds).
"""
import sys

import pytest
from velmo_test_support import ANSWER_FOR_1, last_json, run_program


def test_import_registers_the_type_of_fun_hello(velmo):
    assert sys.modules["_cython_0_29_32"].cython_function_or_method is type(velmo.fun_hello)


WRONG_SIZE = "Shared Cython type cython_function_or_method has the wrong size, try recompiling"
DIFFERENT_LAYOUT = (
    "Shared Cython type cython_function_or_method is incompatible: %s has a different layout, try recompiling"
)


# seed (of programs/registry_first_import.py), what the first import raises.
SEEDED = [
    # An int also pins the order of the two tests: read as a type, it
    # would most likely fail the size test instead.
    ("not-a-type", ["TypeError", "Shared Cython type cython_function_or_method is not a type object"]),
    ("too-small", ["TypeError", WRONG_SIZE]),
    ("too-large", ["TypeError", WRONG_SIZE]),
    # Exactly 184 bytes, yet no dict or weak-reference list where
    # function objects keep theirs. Accepted on size alone, its objects
    # would be read and freed with the wrong layout.
    ("same-size-no-dict-or-weaklist", ["TypeError", DIFFERENT_LAYOUT % "Z"]),
    # 184 bytes with both a dict and a weak-reference list, elsewhere.
    ("same-size-other-offsets", ["TypeError", DIFFERENT_LAYOUT % "W"]),
    # Every offset checked lines up, on a base other than `object`: its
    # inherited slots would read the record's fields as their own.
    *[(seed, ["TypeError", DIFFERENT_LAYOUT % "B"])
      for seed in ("on-generic-alias", "on-rlock", "on-link", "on-callable-generic-alias")],
    # A genuine type, registered by another module built the same way.
    ("genuine-peer", None),
    ("lookup-raises", ["RuntimeError", "registry unreadable"]),
    ("registration-raises", ["PermissionError", "registry read-only"]),
    # Any AttributeError means "nothing registered yet".
    ("lookup-attribute-error-subclass", None),
]


@pytest.mark.parametrize("seed, error", SEEDED, ids=[seed for seed, _ in SEEDED])
def test_registry_contents_decide_the_first_import(seed, error):
    report = last_json(run_program("registry_first_import", seed))
    assert report["error"] == error
    if error is not None:
        # The type is fetched before the module is claimed: no traceback
        # entry, and importlib drops the failed module.
        assert report["after"] == [False, False]
    assert report["retry"] == [ANSWER_FOR_1, True]


def test_module_that_registered_first_supplies_the_type():
    proc = run_program("registry_peer_first", check=False)
    if proc.returncode == 3:
        pytest.skip("velmo_peer is not available")
    assert proc.returncode == 0, proc.stderr
