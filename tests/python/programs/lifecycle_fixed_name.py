"""Loads velmo's file under the name of the first argument, with "velmo" in
sys.modules taken beforehand when the second is "True": execution enters
the module under "velmo" only when that entry is free."""
import importlib.util
import sys

from velmo_test_support import ANSWER_FOR_2


def main(name, occupied):
    found = importlib.util.find_spec("velmo")
    assert found is not None and found.origin is not None
    sentinel = object()
    if occupied:
        sys.modules["velmo"] = sentinel  # type: ignore[assignment]
    spec = importlib.util.spec_from_file_location(name, found.origin)
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    assert module.__name__ == name
    assert module.__package__ == name.rpartition(".")[0]
    assert module.fun_hello(2) == ANSWER_FOR_2
    assert sys.modules["velmo"] is (sentinel if occupied else module)
    assert name == "velmo" or name not in sys.modules


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2] == "True")
