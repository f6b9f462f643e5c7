"""The first `import velmo` with the registry "_cython_0_29_32" seeded as the
argument names (see SEEDS): prints what the import raised and what a repeated
import gives once the registry is repaired."""
import importlib
import json
import sys
import types

from velmo_test_support import velmo_entries


class Registry(types.ModuleType):
    # Misbehaves for the type's name only while `broken` says so, so the
    # same process can show that a repaired registry imports fine.
    broken: "str | None" = None
    error: "BaseException | None" = None

    def __getattribute__(self, name):
        if name == "cython_function_or_method" and Registry.broken == "get":
            raise Registry.error  # type: ignore[misc]
        return super().__getattribute__(name)

    def __setattr__(self, name, value):
        if name == "cython_function_or_method" and Registry.broken == "set":
            raise Registry.error  # type: ignore[misc]
        super().__setattr__(name, value)


class Missing(AttributeError):
    pass


def of_size(size, name, extra=()):
    """A class of `size`-byte instances: as many plain slots as that takes
    besides `extra` (where the interpreter puts a dict differs by version)."""
    for count in range(40):
        made = type(name, (), {"__slots__": tuple("s%d" % i for i in range(count)) + extra})
        if made.__basicsize__ == size:
            return made
    raise SystemExit("no class of %d-byte instances" % size)


def on_base(base, name):
    """A 184-byte class on `base` with its dict at 56 and its weak list at
    40, where function records keep theirs: one slot and a dict on a base
    whose weak list lies at 40, then plain slots up to the size. From 3.11
    on the dict is managed and only the size can match."""
    for first in range(4):
        head = type(name, (base,), {"__slots__": tuple("h%d" % i for i in range(first)) + ("__dict__",)})
        for count in range(30):
            made = type(name, (head,), {"__slots__": tuple("s%d" % i for i in range(count))})
            if made.__basicsize__ == 184 and (sys.version_info >= (3, 11) or (
                    made.__dictoffset__, made.__weakrefoffset__) == (56, 40)):
                return made
    raise SystemExit("no 184-byte class on %r" % base)


def register(make):
    """A seed that registers what `make` returns as the type."""
    return lambda registry: setattr(registry, "cython_function_or_method", make())


def break_registry(how, error):
    def seed(registry):
        Registry.broken, Registry.error = how, error
    return seed


def on_base_of(module, base):
    def make():
        return on_base(getattr(importlib.import_module(module), base), "B")
    return make


SEEDS = {
    "not-a-type": register(lambda: 42),
    "too-small": register(lambda: type("X", (), {})),
    # 16 bytes of object head and 22 slots: one pointer more than 184.
    "too-large": register(lambda: type("Y", (), {"__slots__": tuple("s%d" % i for i in range(22))})),
    "same-size-no-dict-or-weaklist": register(lambda: of_size(184, "Z")),
    "same-size-other-offsets": register(lambda: of_size(184, "W", ("__dict__", "__weakref__"))),
    "on-generic-alias": register(on_base_of("types", "GenericAlias")),
    "on-rlock": register(on_base_of("_thread", "RLock")),
    "on-link": register(on_base_of("collections", "_Link")),
    "on-callable-generic-alias": register(on_base_of("collections.abc", "_CallableGenericAlias")),
    "genuine-peer": lambda registry: importlib.import_module("velmo_peer"),
    "lookup-raises": break_registry("get", RuntimeError("registry unreadable")),
    "registration-raises": break_registry("set", PermissionError("registry read-only")),
    "lookup-attribute-error-subclass": break_registry("get", Missing("not there")),
}


def main(seed):
    registry = sys.modules["_cython_0_29_32"] = Registry("_cython_0_29_32")
    SEEDS[seed](registry)
    report = {"error": None}
    try:
        importlib.import_module("velmo")
    except Exception as error:
        report["error"] = [type(error).__name__, str(error)]
        report["after"] = [bool(velmo_entries(error)), "velmo" in sys.modules]

    Registry.broken = None
    if report["error"]:
        registry.__dict__.pop("cython_function_or_method", None)
    import velmo
    report["retry"] = [velmo.fun_hello(1), type(velmo.fun_hello) is registry.cython_function_or_method]
    print(json.dumps(report))


if __name__ == "__main__":
    main(sys.argv[1])
