"""What the memcheck run drives velmo through: answers on every comparison
path, failures at every site with the switch absent, off and on, refused
calls, binding, every attribute read, written and deleted, repr and pickling,
function objects of the peer extension collected in cycles and cleared, and
an import repeated after removal. Prints "exercise done" when all held."""
import gc
import pickle
import sys

import velmo
import velmo_peer

f = velmo.fun_hello
runtime = sys.modules["cython_runtime"]


class Boom(Exception):
    pass


class RaisingTruth:
    def __bool__(self):
        raise Boom("truth")


class Failing:
    def __init__(self, target, in_truth):
        self.target, self.in_truth = target, in_truth

    def __eq__(self, other):
        if other != self.target:
            return False
        if self.in_truth:
            return RaisingTruth()
        raise Boom("eq")

    __hash__ = None


class EqualToTwo:
    def __eq__(self, other):
        return [other] if other == 2 else []

    __hash__ = None


class Holder:
    meth = velmo.fun_hello


class Obj:
    pass


def velmo_entries(exc):
    tb, found = exc.__traceback__, []
    while tb is not None:
        if tb.tb_frame.f_code.co_filename == "velmo.py":
            found.append((tb.tb_frame.f_code.co_name, tb.tb_lineno))
        tb = tb.tb_next
    return found


for arg, want in [(1, "hello world"), (2, "222222222"), (3, None), (2**40 + 1, None), (1.0, "hello world"),
                  (2.5, None), (True, "hello world"), ("1", None), (None, None), (EqualToTwo(), "222222222")]:
    assert f(arg) == want, arg

for switch in ("absent", False, True):
    if switch == "absent":
        vars(runtime).pop("cline_in_traceback", None)
    else:
        runtime.cline_in_traceback = switch
    for (target, in_truth), (c_line, py_line) in {(1, False): (1298, 2), (1, True): (1300, 2),
                                                  (2, False): (1330, 4), (2, True): (1332, 4)}.items():
        for _ in range(2):  # once to fill the code-object cache, once to use it
            try:
                f(Failing(target, in_truth))
            except Boom as e:
                name = f"velmo.fun_hello (velmo.cpp:{c_line})" if switch is True else "velmo.fun_hello"
                assert velmo_entries(e) == [(name, py_line)], velmo_entries(e)
            else:
                raise AssertionError("no failure")

for call in (lambda: f(), lambda: f(1, 2), lambda: f(s=1)):
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
f.__dict__, f.extra = {"x": 1}, Obj()
del f.__doc__, f.__defaults__, f.__kwdefaults__, f.__annotations__
f.__annotations__ = None
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

assert again.fun_hello is f and f(2) == "222222222"
print("exercise done")
