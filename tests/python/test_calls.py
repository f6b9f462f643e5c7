"""Calling velmo.fun_hello: its answers, argument shapes and reference counts."""
import fractions
import gc
import marshal
import math
import struct
import sys
import weakref

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st
from velmo_test_support import ANSWER_FOR_1, ANSWER_FOR_2
from velmo_test_support import Boom, Failing, walk
from velmo_test_support import answer as reference

# The `velmo` fixture only hands out the imported module, so sharing it
# across hypothesis examples is safe.
stateless_fixture = settings(suppress_health_check=[HealthCheck.function_scoped_fixture])


def readable_id(value):
    # Objects without a repr of their own would put their address in the test id.
    kind = type(value)
    if kind.__repr__ is object.__repr__:
        return kind.__name__
    return repr(value) if kind.__module__ in ("builtins", "fractions") else f"{kind.__name__}({value!r})"


def fresh_int(n):
    """An int equal to n that is never one of the interpreter's cached ints, so
    that no comparison with it is settled by identity: marshal builds it from
    its 15-bit digits."""
    magnitude, digits = abs(n), []
    while magnitude:
        digits.append(magnitude & 0x7FFF)
        magnitude >>= 15
    count = -len(digits) if n < 0 else len(digits)
    return marshal.loads(b"l" + struct.pack(f"<i{len(digits)}H", count, *digits))


class IntSub(int):
    pass


class FloatSub(float):
    pass


class EqualTo:
    """Answers == with `answers[other]` (default: False) and logs each comparison."""

    def __init__(self, answers):
        self.answers = answers
        self.compared = []

    def __eq__(self, other):
        self.compared.append(other)
        return self.answers.get(other, False)


class Declines:
    """== is NotImplemented both ways, so Python falls back to identity."""

    def __eq__(self, other):
        return NotImplemented


class Logged(Failing):
    """Failing (velmo_test_support), logging what it is compared with."""

    def __init__(self, target, in_truth=False, prebuilt=False):
        super().__init__(target, in_truth, prebuilt)
        self.compared = []

    def __eq__(self, other):
        self.compared.append(other)
        return super().__eq__(other)

    __hash__ = None  # type: ignore[assignment]


@pytest.mark.parametrize(
    "arg, expected",
    [
        (1, ANSWER_FOR_1), (1.0, ANSWER_FOR_1), (True, ANSWER_FOR_1), (IntSub(1), ANSWER_FOR_1),
        (FloatSub(1.0), ANSWER_FOR_1), (1 + 0j, ANSWER_FOR_1), (fractions.Fraction(1), ANSWER_FOR_1),
        (2, ANSWER_FOR_2), (2.0, ANSWER_FOR_2), (IntSub(2), ANSWER_FOR_2), (FloatSub(2.0), ANSWER_FOR_2),
        (0, None), (-1, None), (-2, None), (3, None), (False, None), (0.0, None), (-0.0, None),
        (2**30 + 1, None), (2**30 + 2, None), (-(2**30 + 1), None), (2**60 + 1, None),
        (2**100, None), (-(2**100), None), (-1.0, None), (1.5, None),
        (math.nan, None), (math.inf, None), (-math.inf, None), (FloatSub(math.nan), None),
        ("1", None), (b"\x01", None), (None, None), ([1], None), (Declines(), None),
        # Read through the int's own digits: a field read wrongly shows here.
        *[pytest.param(fresh_int(n), reference(n), id=f"fresh-{n}")
          for n in (1, 2, 0, -1, -2, 3, 2**30 - 1, 2**30, 2**30 + 1, 2**30 + 2, -(2**30 + 1), 2**60, 2**60 + 1)],
    ],
    ids=readable_id,
)
def test_answers(velmo, arg, expected):
    assert velmo.fun_hello(arg) == expected == reference(arg)


@stateless_fixture
@given(st.one_of(
    st.integers(),
    # Numbers whose lowest 30-bit digit is 1 or 2 but that have more digits.
    st.builds(lambda high, low, sign: sign * ((high << 30) | low),
              st.integers(0, 2**70), st.integers(0, 3), st.sampled_from([1, -1])),
))
@example(2**30 + 1)
@example(2**30 + 2)
@example(-1)
def test_exact_ints_match_python_equality(velmo, n):
    assert velmo.fun_hello(n) == reference(n)


@stateless_fixture
@given(st.floats() | st.sampled_from([1.0, 2.0, -1.0, -2.0, 1.0 + 2**-52, 2.0 - 2**-51, 2.0**30 + 1]))
def test_exact_floats_match_python_equality(velmo, x):
    assert velmo.fun_hello(x) == reference(x)


@pytest.mark.parametrize(
    "answers, expected, compared",
    [
        ({1: [0]}, ANSWER_FOR_1, [1]),  # a true non-bool answer settles the first test
        ({2: [0]}, ANSWER_FOR_2, [1, 2]),
        ({1: [], 2: 0}, None, [1, 2]),  # false non-bool answers
        ({1: "", 2: (0,)}, ANSWER_FOR_2, [1, 2]),
    ],
)
def test_rich_comparison_answers(velmo, answers, expected, compared):
    arg = EqualTo(answers)
    assert velmo.fun_hello(arg) == expected
    assert arg.compared == compared
    assert all(type(c) is int for c in arg.compared)


@pytest.mark.parametrize("where", ["eq", "bool"])
@pytest.mark.parametrize("fails_at", [1, 2])
def test_comparison_failures_propagate(velmo, fails_at, where):
    arg = Logged(fails_at, in_truth=where == "bool")
    with pytest.raises(Boom) as info:
        velmo.fun_hello(arg)
    assert info.value is arg.raised
    # Raised where it was meant to be: in __eq__, or in the truth test of its answer.
    assert list(walk(info.value.__traceback__))[-1].tb_frame.f_code.co_name == (
        "__eq__" if where == "eq" else "__bool__")
    assert arg.compared == [1, 2][:fails_at]


def test_results_are_the_cached_strings(velmo):
    f = velmo.fun_hello
    assert f(1) is f(1.0) is f(True) is f(IntSub(1))
    assert f(2) is f(2.0) is f(FloatSub(2.0))
    assert type(f(1)) is str and type(f(2)) is str


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda f, a: f(), "fun_hello() takes exactly one argument (0 given)"),
        (lambda f, a: f(a, 2), "fun_hello() takes exactly one argument (2 given)"),
        (lambda f, a: f(a, 2, 3), "fun_hello() takes exactly one argument (3 given)"),
        (lambda f, a: f(s=a), "fun_hello() takes no keyword arguments"),
        (lambda f, a: f(a, s=1), "fun_hello() takes no keyword arguments"),
        (lambda f, a: f(a, 2, x=1), "fun_hello() takes no keyword arguments"),  # keywords first
    ],
    ids=["none", "two", "three", "keyword-only", "positional+keyword", "two+keyword"],
)
def test_call_shape_errors(velmo, call, message):
    arg = EqualTo({1: True})
    with pytest.raises(TypeError) as info:
        call(velmo.fun_hello, arg)
    assert str(info.value) == message
    assert arg.compared == []  # refused before the body ran


def test_empty_keyword_dict_is_no_keywords(velmo):
    assert velmo.fun_hello(1, **{}) == ANSWER_FOR_1
    assert velmo.fun_hello(*[2], **{}) == ANSWER_FOR_2


N = 1000


@pytest.mark.parametrize(
    "make",
    [lambda: 2**100, lambda: 1.0 + 0.5, lambda: IntSub(1), lambda: FloatSub(2.0),
     lambda: "1", lambda: EqualTo({1: [0]}), lambda: EqualTo({2: [0]}), lambda: object()],
    ids=["bigint", "float", "intsub", "floatsub", "str", "eq1", "eq2", "object"],
)
def test_arguments_keep_their_reference_count(velmo, make):
    arg = make()
    before = sys.getrefcount(arg)
    for _ in range(N):
        velmo.fun_hello(arg)
    assert sys.getrefcount(arg) == before


@pytest.mark.parametrize("arg", [1, 2, 1.0, 2.0, 3, IntSub(1), FloatSub(2.0)], ids=readable_id)
def test_results_and_booleans_do_not_leak(velmo, arg):
    results = velmo.fun_hello(1), velmo.fun_hello(2)
    shared = True, False, None
    before = [sys.getrefcount(o) for o in results + shared]
    for _ in range(N):
        velmo.fun_hello(arg)
    after = [sys.getrefcount(o) for o in results + shared]
    assert after[:2] == before[:2]
    # The interpreter itself moves True, False and None a little; a leak per call moves them by N.
    assert all(abs(a - b) < N // 4 for a, b in zip(after[2:], before[2:]))


def test_comparison_results_are_released(velmo):
    answer = [0]  # a true non-bool answer, released by the body after its truth test
    arg = EqualTo({1: answer, 2: answer})
    before = sys.getrefcount(answer)
    for _ in range(N):
        velmo.fun_hello(arg)
    assert sys.getrefcount(answer) == before


@pytest.mark.parametrize("where", ["eq", "bool"])
@pytest.mark.parametrize("fails_at", [1, 2])
def test_failing_calls_do_not_leak(velmo, fails_at, where):
    # Prebuilt: the one answer whose truth test raises is counted.
    arg = Logged(fails_at, in_truth=where == "bool", prebuilt=True)
    bad = arg.answer
    alive = weakref.ref(arg)
    before = sys.getrefcount(arg), sys.getrefcount(bad)
    for _ in range(200):
        with pytest.raises(Boom):
            velmo.fun_hello(arg)
        arg.forget()
    assert (sys.getrefcount(arg), sys.getrefcount(bad)) == before
    del arg
    gc.collect()
    assert alive() is None



# --- reference counts on every path ------------------------------------------


class Obj:
    pass


class Holder:
    pass


def _fresh_str(*parts):
    # Built at run time: never interned, never a constant, so never immortal.
    return "".join(parts)


def _path_exact_int(velmo):
    a = int("1234567")
    return lambda: velmo.fun_hello(a), [a]


def _path_python_eq(velmo):
    answer = [0]
    arg = EqualTo({2: answer})
    return lambda: velmo.fun_hello(arg), [arg, answer]


def _path_shape_errors(velmo):
    a, b = Obj(), Obj()

    def run():
        for call in (lambda: velmo.fun_hello(a, b), lambda: velmo.fun_hello(s=a)):
            try:
                call()
            except TypeError:
                pass

    return run, [a, b]


def _path_failing_call(velmo):
    arg = Failing(2, in_truth=True, prebuilt=True)

    def run():
        try:
            velmo.fun_hello(arg)
        except Boom:
            pass
        arg.forget()

    return run, [arg, arg.answer, velmo.fun_hello, vars(velmo)]


def _path_binding(velmo):
    holder = type("Owner", (Holder,), {"f": velmo.fun_hello})()
    return lambda: (holder.f(), velmo.fun_hello.__get__(holder)), [holder]


def _path_member_call(velmo):
    import velmo_peer

    member = velmo_peer.make("echo_varargs", flags=0x4)
    a, b = Obj(), Obj()
    return lambda: member(a, b), [member, a, b]


def _path_getters(velmo):
    f = velmo.fun_hello
    counted = [f, f.__code__, f.__globals__, f.__dict__, f.__annotations__, velmo.fun_hello(1)]

    def run():
        for name in ("__name__", "__qualname__", "__doc__", "__dict__", "__code__", "__globals__", "__module__",
                     "__annotations__", "__defaults__", "__kwdefaults__", "__self__", "__closure__"):
            getattr(f, name)

    return run, counted


def _path_setters(velmo):
    import velmo_peer

    g = velmo_peer.make("echo_o")
    values = {"__name__": _fresh_str("re", "named"), "__qualname__": _fresh_str("Owner.", "renamed"),
              "__doc__": _fresh_str("d", "oc"), "__dict__": {}, "__defaults__": (Obj(),),
              "__kwdefaults__": {}, "__annotations__": {}, "__module__": Obj(), "extra": Obj()}

    def run():
        for name, value in values.items():
            setattr(g, name, value)

    return run, [g, *values.values()]


def _path_repr_and_reduce(velmo):
    import velmo_peer

    qualname = _fresh_str("Owner.", "meth")
    g = velmo_peer.make("echo_o", qualname=qualname)
    return lambda: (repr(g), g.__reduce__(), g.__reduce_ex__(2)), [g, qualname]


@pytest.mark.parametrize(
    "path",
    [_path_exact_int, _path_python_eq, _path_shape_errors, _path_failing_call, _path_binding, _path_member_call,
     _path_getters, _path_setters, _path_repr_and_reduce],
    ids=lambda path: path.__name__[len("_path_"):],
)
def test_reference_counts_are_stable_on_every_path(velmo, path):
    run, counted = path(velmo)
    # Immortal objects (3.12+) keep one count whatever happens: they would
    # prove nothing, so every row counts objects made to be mortal.
    assert all(sys.getrefcount(obj) < 2**29 for obj in counted)
    run()  # first use: lazily made attributes and caches settle
    before = [sys.getrefcount(obj) for obj in counted]
    for _ in range(N):
        run()
    assert [sys.getrefcount(obj) for obj in counted] == before
