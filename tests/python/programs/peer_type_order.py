"""velmo and velmo_peer imported in the order the argument names
("velmo-first" or "peer-first"): whichever comes first registers the
function type, and the other uses it."""
import sys

from velmo_test_support import ANSWER_FOR_1, ANSWER_FOR_2


def velmo_first():
    import velmo
    import velmo_peer
    shared = type(velmo.fun_hello)
    assert sys.modules["_cython_0_29_32"].cython_function_or_method is shared
    assert velmo_peer.function_type() is shared
    func = velmo_peer.make("echo_o")
    assert type(func) is shared
    assert func(1) == (func, 1)


def peer_first():
    import velmo_peer
    registered = velmo_peer.function_type()
    assert sys.modules["_cython_0_29_32"].cython_function_or_method is registered
    assert registered.__name__ == "cython_function_or_method"

    import velmo
    f = velmo.fun_hello
    assert type(f) is registered
    assert (f(1), f(2), f(3), f(2.0)) == (ANSWER_FOR_1, ANSWER_FOR_2, None, ANSWER_FOR_2)
    try:
        f(1, 2)  # type: ignore[call-overload]
    except TypeError as e:
        assert str(e) == "fun_hello() takes exactly one argument (2 given)", e
    else:
        raise AssertionError("no TypeError")
    assert (f.__name__, f.__qualname__, f.__module__) == ("fun_hello", "fun_hello", "velmo")
    assert f.__doc__ is None
    assert f.__globals__ is vars(velmo)  # type: ignore[attr-defined]
    assert repr(f) == "<cyfunction fun_hello at %s>" % hex(id(f))

    class Owner:
        g = f
    assert Owner().g() is None  # type: ignore[call-overload]


if __name__ == "__main__":
    {"velmo-first": velmo_first, "peer-first": peer_first}[sys.argv[1]]()
