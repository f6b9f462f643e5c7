"""velmo imported after velmo_peer registered the function type: it uses that
type. Exits with 3 when velmo_peer is not available."""
import importlib
import sys

from velmo_test_support import ANSWER_FOR_1

if __name__ == "__main__":
    try:
        importlib.import_module("velmo_peer")
    except ImportError:
        raise SystemExit(3)
    import velmo
    assert type(velmo.fun_hello) is sys.modules["_cython_0_29_32"].cython_function_or_method
    assert velmo.fun_hello(1) == ANSWER_FOR_1
