"""The process-wide registry of the function type, "_cython_0_29_32".

Whatever the registry holds before the first import decides the import's
fate, so every seeded scenario runs in a fresh process.
"""
import json
import sys
import textwrap

import pytest


def test_import_registers_the_type_of_fun_hello(velmo):
    assert sys.modules["_cython_0_29_32"].cython_function_or_method is type(velmo.fun_hello)


SCENARIO = textwrap.dedent(
    """
    import json, sys, types
    from velmo_test_support import velmo_entries

    class Registry(types.ModuleType):
        # Misbehaves for the type's name only while `broken` says so, so the
        # same process can show that a repaired registry imports fine.
        broken, error = None, None

        def __getattribute__(self, name):
            if name == "cython_function_or_method" and Registry.broken == "get":
                raise Registry.error
            return super().__getattribute__(name)

        def __setattr__(self, name, value):
            if name == "cython_function_or_method" and Registry.broken == "set":
                raise Registry.error
            super().__setattr__(name, value)

    class Missing(AttributeError):
        pass

    def of_size(size, name, extra=()):
        # A class of `size`-byte instances: as many plain slots as that takes
        # besides `extra` (where the interpreter puts a dict differs by version).
        for count in range(40):
            made = type(name, (), {"__slots__": tuple("s%d" % i for i in range(count)) + extra})
            if made.__basicsize__ == size:
                return made
        raise SystemExit("no class of %d-byte instances" % size)

    def on_base(base, name):
        # A 184-byte class on `base` with its dict at 56 and its weak list at
        # 40, where function records keep theirs: one slot and a dict on a
        # base whose weak list lies at 40, then plain slots up to the size.
        # From 3.11 on the dict is managed and only the size can match.
        for first in range(4):
            head = type(name, (base,), {"__slots__": tuple("h%d" % i for i in range(first)) + ("__dict__",)})
            for count in range(30):
                made = type(name, (head,), {"__slots__": tuple("s%d" % i for i in range(count))})
                if made.__basicsize__ == 184 and (sys.version_info >= (3, 11) or (
                        made.__dictoffset__, made.__weakrefoffset__) == (56, 40)):
                    return made
        raise SystemExit("no 184-byte class on %r" % base)

    registry = sys.modules["_cython_0_29_32"] = Registry("_cython_0_29_32")
    SEED
    report = {"error": None}
    try:
        import velmo
    except Exception as error:
        report["error"] = [type(error).__name__, str(error)]
        report["after"] = [bool(velmo_entries(error)), "velmo" in sys.modules]

    Registry.broken = None
    if report["error"]:
        registry.__dict__.pop("cython_function_or_method", None)
    import velmo
    report["retry"] = [velmo.fun_hello(1), type(velmo.fun_hello) is registry.cython_function_or_method]
    print(json.dumps(report))
    """
)

WRONG_SIZE = "Shared Cython type cython_function_or_method has the wrong size, try recompiling"
DIFFERENT_LAYOUT = (
    "Shared Cython type cython_function_or_method is incompatible: %s has a different layout, try recompiling"
)


@pytest.mark.parametrize(
    "seed, error",
    [
        # An int also pins the order of the two tests: read as a type, it
        # would most likely fail the size test instead.
        ("registry.cython_function_or_method = 42",
         ["TypeError", "Shared Cython type cython_function_or_method is not a type object"]),
        ("registry.cython_function_or_method = type('X', (), {})", ["TypeError", WRONG_SIZE]),
        # 16 bytes of object head and 22 slots: one pointer more than 184.
        ("registry.cython_function_or_method = type('Y', (), {'__slots__': tuple('s%d' % i for i in range(22))})",
         ["TypeError", WRONG_SIZE]),
        # 21 slots: exactly 184 bytes, yet no dict or weak-reference list
        # where function objects keep theirs. Accepted on size alone, its
        # objects would be read and freed with the wrong layout.
        ("registry.cython_function_or_method = of_size(184, 'Z')", ["TypeError", DIFFERENT_LAYOUT % "Z"]),
        # 184 bytes with both a dict and a weak-reference list, elsewhere.
        ("registry.cython_function_or_method = of_size(184, 'W', ('__dict__', '__weakref__'))",
         ["TypeError", DIFFERENT_LAYOUT % "W"]),
        # Every offset checked lines up, on a base other than `object`: its
        # inherited slots would read the record's fields as their own.
        *[(f"import {module}; registry.cython_function_or_method = on_base({base}, 'B')",
           ["TypeError", DIFFERENT_LAYOUT % "B"])
          for module, base in [("types", "types.GenericAlias"), ("_thread", "_thread.RLock"),
                               ("collections", "collections._Link"),
                               ("collections.abc", "collections.abc._CallableGenericAlias")]],
        # A genuine type, registered by another module built the same way.
        ("import velmo_peer", None),
        ("Registry.broken, Registry.error = 'get', RuntimeError('registry unreadable')",
         ["RuntimeError", "registry unreadable"]),
        ("Registry.broken, Registry.error = 'set', PermissionError('registry read-only')",
         ["PermissionError", "registry read-only"]),
        # Any AttributeError means "nothing registered yet".
        ("Registry.broken, Registry.error = 'get', Missing('not there')", None),
    ],
    ids=["not-a-type", "too-small", "too-large", "same-size-no-dict-or-weaklist", "same-size-other-offsets",
         "on-generic-alias", "on-rlock", "on-link", "on-callable-generic-alias",
         "genuine-peer", "lookup-raises", "registration-raises", "lookup-attribute-error-subclass"],
)
def test_registry_contents_decide_the_first_import(run_fresh, seed, error):
    report = json.loads(run_fresh(SCENARIO.replace("SEED", seed)).stdout.splitlines()[-1])
    assert report["error"] == error
    if error is not None:
        # The type is fetched before the module is claimed: no traceback
        # entry, and importlib drops the failed module.
        assert report["after"] == [False, False]
    assert report["retry"] == ["hello world", True]


def test_module_that_registered_first_supplies_the_type(run_fresh):
    proc = run_fresh(
        """
        import sys
        try:
            import velmo_peer
        except ImportError:
            raise SystemExit(3)
        import velmo
        assert type(velmo.fun_hello) is sys.modules["_cython_0_29_32"].cython_function_or_method
        assert velmo.fun_hello(1) == "hello world"
        """,
        check=False,
    )
    if proc.returncode == 3:
        pytest.skip("velmo_peer is not available")
    assert proc.returncode == 0, proc.stderr
