"""velmo as a typed program uses it.

mypy checks this file against the installed stub (strict, so an ignore that
is no longer needed is an error: each misuse below must stay rejected), and
running it checks that the values the stub promises are the ones returned.
"""

from __future__ import annotations

from fractions import Fraction
from typing import TYPE_CHECKING, Callable, Literal, Optional

import velmo

if TYPE_CHECKING:
    from typing_extensions import assert_type
else:

    def assert_type(value, _type):
        return value


Answer = Optional[Literal["hello world", "222222222"]]

assert assert_type(velmo.fun_hello(1), Literal["hello world"]) == "hello world"
assert assert_type(velmo.fun_hello(True), Literal["hello world"]) == "hello world"
assert assert_type(velmo.fun_hello(2), Literal["222222222"]) == "222222222"
assert assert_type(velmo.fun_hello(None), None) is None
# Equal to 1 or 2 without being that literal: the stub cannot tell.
assert assert_type(velmo.fun_hello(1.0), Answer) == "hello world"
assert assert_type(velmo.fun_hello(Fraction(4, 2)), Answer) == "222222222"
assert assert_type(velmo.fun_hello(3), Answer) is None
assert assert_type(velmo.fun_hello("1"), Answer) is None

greeting: str = velmo.fun_hello(1)
maybe: str = velmo.fun_hello(3)  # type: ignore[assignment]
# Not `maybe is None`: a checker that believes the declared str would take
# the assertion for one that always fails, and skip the rest of the file.
assert [greeting, maybe] == ["hello world", None]

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
