"""Imports velmo, then again in the way the argument names ("reimport",
"reload" or "spec"): the executed module comes back unchanged."""
import importlib
import importlib.util
import sys

from velmo_test_support import ANSWER_FOR_1


def again_by(how, velmo):
    if how == "reimport":
        del sys.modules["velmo"]
        return importlib.import_module("velmo")
    if how == "reload":
        return importlib.reload(velmo)
    spec = importlib.util.find_spec("velmo")
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def main(how):
    import velmo

    before = dict(vars(velmo))
    velmo.__test__["marker"] = 1
    again = again_by(how, velmo)
    assert again is velmo and sys.modules["velmo"] is velmo
    after = dict(vars(velmo))
    assert after.keys() == before.keys()
    # importlib rewrites its own bookkeeping (on reload: a new spec and
    # loader, equal texts); what execution put there stays the very same.
    for key in ("fun_hello", "__test__", "__builtins__"):
        assert after[key] is before[key], key
    assert (after["__file__"], after["__name__"]) == (before["__file__"], before["__name__"])
    assert velmo.__test__ == {"marker": 1}
    assert velmo.fun_hello(1) == ANSWER_FOR_1


if __name__ == "__main__":
    main(sys.argv[1])
