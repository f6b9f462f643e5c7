"""What the memcheck run drives velmo through: answers on every comparison
path, failures at every site with the switch absent, off and on, refused
calls, binding, every attribute read, written and deleted, repr and pickling,
function objects of the peer extension collected in cycles and cleared, and
an import repeated after removal. Prints "exercise done" when all held."""
import gc
import os
import pickle
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))

import velmo  # noqa: E402
import velmo_peer  # noqa: E402
from velmo_test_support import ANSWER_FOR_2, ANSWERS, FUN_HELLO_SITES, Boom, Failing, velmo_entry_names  # noqa: E402

f = velmo.fun_hello
runtime = sys.modules["cython_runtime"]


class Holder:
    meth = velmo.fun_hello


class Obj:
    pass


for arg, want in ANSWERS:
    assert f(arg) == want, arg

for switch in ("absent", False, True):
    if switch == "absent":
        vars(runtime).pop("cline_in_traceback", None)
    else:
        runtime.cline_in_traceback = switch  # type: ignore[attr-defined]
    for (target, in_truth), site in FUN_HELLO_SITES.items():
        for _ in range(2):  # once to fill the code-object cache, once to use it
            try:
                f(Failing(target, in_truth))
            except Boom as e:
                expected = [[site.entry_name(switch is True), site.python_line]]
                assert velmo_entry_names(e) == expected, velmo_entry_names(e)
            else:
                raise AssertionError("no failure")

for call in (lambda: f(), lambda: f(1, 2), lambda: f(s=1)):  # type: ignore[call-overload]
    try:
        call()
    except TypeError:
        pass
    else:
        raise AssertionError("call accepted")

holder = Holder()
assert holder.meth() is None and f.__get__(holder).__self__ is holder and f.__get__(None, Holder) is f

for name in ("__name__", "__qualname__", "__doc__", "__dict__", "__globals__", "__code__", "__closure__",
             "__self__", "__defaults__", "__kwdefaults__", "__annotations__", "__module__"):
    getattr(f, name)
f.__doc__, f.__defaults__, f.__kwdefaults__, f.__annotations__ = "doc", (1,), {"k": 1}, {"s": int}
f.__dict__, f.extra = {"x": 1}, Obj()  # type: ignore[attr-defined]
del f.__doc__, f.__defaults__, f.__kwdefaults__, f.__annotations__
f.__annotations__ = None  # type: ignore[assignment]  # empties the field
assert f.__annotations__ == {} and repr(f).startswith("<cyfunction fun_hello at ")
assert f.__reduce__() == "fun_hello" and pickle.loads(pickle.dumps(f)) is f

for record, flags, args in [("echo_o", 0, (1,)), ("echo_noargs", 0, ()), ("echo_varargs", 0, (1, 2)),
                            ("echo_varargs_kw", 0, (1,)), ("echo_varargs", 0x4, (Obj(), 1))]:
    g = velmo_peer.make(record, flags=flags, qualname="Owner.meth", closure=Obj(), module="mod",
                        code=compile("", "", "exec"))
    g(*args)
    g.__dict__["me"] = g  # a cycle through the instance dict
    velmo_peer.set_class_object(g, Obj())
    velmo_peer.set_defaults_block(g, (Obj(), None, g))
    velmo_peer.set_defaults_getter(g, lambda func: ((Obj(),), {"k": Obj()}))
    g.__defaults__, g.__doc__, g.__name__
    del g
gc.collect()
cleared = velmo_peer.make("echo_doc", closure=Obj())
cleared.__doc__, cleared.__name__
velmo_peer.clear(cleared)
assert repr(cleared).startswith("<cyfunction echo_doc at ") and cleared(5) == (cleared, 5)
del cleared

del sys.modules["velmo"]
import velmo as again  # noqa: E402

assert again.fun_hello is f and f(2) == ANSWER_FOR_2
print("exercise done")
