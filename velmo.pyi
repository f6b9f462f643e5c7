"""Types of velmo, a compiled module.

fun_hello compares its argument with Python's own ==, so anything equal to 1
(1.0, True, Fraction(1), an object whose __eq__ says so) gets _AnswerFor1,
and anything equal to 2 gets _AnswerFor2. The overloads name the literal
arguments whose answer is certain; everything else may get either string or
None. The argument is positional-only: the function takes no keywords.
"""

from typing import Literal, TypeAlias, overload

# The answers, each named once (private: the module has no such names).
_AnswerFor1: TypeAlias = Literal["hello world"]
_AnswerFor2: TypeAlias = Literal["222222222"]

# The doctest hook: an empty dict that doctest reads for extra tests.
__test__: dict[str, object]

@overload
def fun_hello(s: Literal[1, True], /) -> _AnswerFor1: ...
@overload
def fun_hello(s: Literal[2], /) -> _AnswerFor2: ...
@overload
def fun_hello(s: None, /) -> None: ...
@overload
def fun_hello(s: object, /) -> _AnswerFor1 | _AnswerFor2 | None: ...
