"""velmo as a typed program uses it.

mypy checks this file against the installed stub (strict, so an ignore that
is no longer needed is an error: each misuse below must stay rejected), and
running it checks that the values the stub promises are the ones returned.
"""

from __future__ import annotations

import ast
from fractions import Fraction
from pathlib import Path
from typing import TYPE_CHECKING, Callable, Optional

import velmo

if TYPE_CHECKING:
    from typing_extensions import assert_type

    # The stub names each answer once; a type checker reads them there.
    from velmo import _AnswerFor1 as AnswerFor1  # pyright: ignore[reportPrivateUsage]
    from velmo import _AnswerFor2 as AnswerFor2  # pyright: ignore[reportPrivateUsage]
else:

    def assert_type(value, _type):
        return value

    AnswerFor1 = AnswerFor2 = object


def stub_answers() -> dict[str, str]:
    """The answers the installed stub promises, read from it: `_AnswerFor1` and
    `_AnswerFor2` by their Literal's value."""
    stub = ast.parse(Path(velmo.__file__).with_name("velmo.pyi").read_text(encoding="utf-8"))
    found: dict[str, str] = {}
    for node in stub.body:
        if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name) and node.value is not None:
            value = node.value
            if isinstance(value, ast.Subscript) and isinstance(value.slice, ast.Constant):
                found[node.target.id] = str(value.slice.value)
    return found


PROMISED = stub_answers()
ANSWER_FOR_1, ANSWER_FOR_2 = PROMISED["_AnswerFor1"], PROMISED["_AnswerFor2"]
Answer = Optional["AnswerFor1 | AnswerFor2"]

assert assert_type(velmo.fun_hello(1), AnswerFor1) == ANSWER_FOR_1
assert assert_type(velmo.fun_hello(True), AnswerFor1) == ANSWER_FOR_1
assert assert_type(velmo.fun_hello(2), AnswerFor2) == ANSWER_FOR_2
assert assert_type(velmo.fun_hello(None), None) is None
# Equal to 1 or 2 without being that literal: the stub cannot tell.
assert assert_type(velmo.fun_hello(1.0), Answer) == ANSWER_FOR_1
assert assert_type(velmo.fun_hello(Fraction(4, 2)), Answer) == ANSWER_FOR_2
assert assert_type(velmo.fun_hello(3), Answer) is None
assert assert_type(velmo.fun_hello("1"), Answer) is None

greeting: str = velmo.fun_hello(1)
maybe: str = velmo.fun_hello(3)  # type: ignore[assignment]
# Not `maybe is None`: a checker that believes the declared str would take
# the assertion for one that always fails, and skip the rest of the file.
assert [greeting, maybe] == [ANSWER_FOR_1, None]

assert assert_type(velmo.__test__, dict[str, object]) == {}

misuses: tuple[Callable[[], object], ...] = (
    lambda: velmo.fun_hello(s=1),  # type: ignore[call-overload]
    lambda: velmo.fun_hello(),  # type: ignore[call-overload]
    lambda: velmo.fun_hello(1, 2),  # type: ignore[call-overload]
)
for misuse in misuses:
    try:
        misuse()
    except TypeError:
        pass
    else:
        raise AssertionError("fun_hello accepted a call that its stub rejects")

print(velmo.__file__)
