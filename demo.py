"""A short tour of velmo: run with `bash scripts/demo.sh`."""
import sys
import traceback

import velmo

for value in (1, 2, 3, 1.0, True, "1"):
    print(f"fun_hello({value!r:>5}) -> {velmo.fun_hello(value)!r}")


class Stubborn:
    """An argument that refuses to be compared."""

    def __eq__(self, other):
        raise ValueError("cannot compare")


def failing_call():
    try:
        velmo.fun_hello(Stubborn())
    except ValueError:
        return traceback.format_exc()


print("\nA failing call; the traceback names velmo.py:")
print(failing_call())

print("With cline_in_traceback on, the entry names the implementation line:")
sys.modules["cython_runtime"].cline_in_traceback = True
print(failing_call())
