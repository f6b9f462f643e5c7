"""The first read of fun_hello's __name__ in a process hands out the
interned qualname, and keeps it."""
import sys

import velmo

if __name__ == "__main__":
    f = velmo.fun_hello
    name = f.__name__
    assert name is f.__qualname__ is sys.intern("fun_hello"), "not the interned constant"
    assert f.func_name is name is f.__name__, "name not kept"  # type: ignore[attr-defined]
