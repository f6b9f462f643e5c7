"""velmo imported, then imported again in a subinterpreter sharing the main
one's GIL, which every version makes the same way: prints what the second
import did. Run in the subinterpreter with a file descriptor as argument, it
is that second import, writing its outcome there."""
import importlib
import json
import os
import sys


def inner(write_end):
    try:
        importlib.import_module("velmo")
    except ImportError as error:
        outcome = f"{type(error).__name__}: {error}"
    else:
        outcome = "imported"
    os.write(write_end, outcome.encode())


def main():
    import _testcapi
    import velmo
    from velmo_test_support import ANSWER_FOR_1

    read_end, write_end = os.pipe()
    code = f"import runpy, sys; sys.argv = ['inner', '{write_end}']; runpy.run_path({__file__!r}, run_name='__main__')"
    status = _testcapi.run_in_subinterp(code)
    os.close(write_end)
    outcome = os.read(read_end, 4096).decode()
    assert status == 0 and velmo.fun_hello(1) == ANSWER_FOR_1
    print(json.dumps(outcome))


if __name__ == "__main__":
    if sys.argv[1:]:
        inner(int(sys.argv[1]))
    else:
        main()
