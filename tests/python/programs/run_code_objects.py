"""Runs one of velmo's code objects as Python code that rebuilds functions
from code objects would, and prints what that raised as JSON
[exception type, message].

Usage: run_code_objects.py {fun_hello,entry} {call,renamed,exec}

`fun_hello` is fun_hello's own code object, `entry` the code object behind
the traceback entry of a failing call. `call` wraps it in a new function and
calls that, `renamed` does the same with a copy made by code.replace, `exec`
hands it to exec(). Run in a child process, so that a crash shows as a
signal and not as a lost test run.
"""
import json
import sys
import types

from velmo_test_support import Failing, velmo_entries


def code_object(which):
    import velmo

    if which == "fun_hello":
        return velmo.fun_hello.__code__
    try:
        velmo.fun_hello(Failing(1))
    except Exception as error:
        return velmo_entries(error)[-1].tb_frame.f_code
    raise SystemExit("the failing call did not fail")


def run(code, how):
    # Positional arguments for every parameter the code object declares.
    arguments = (1,) * code.co_argcount
    if how == "call":
        types.FunctionType(code, {})(*arguments)
    elif how == "renamed":
        types.FunctionType(code.replace(co_name="g"), {})(*arguments)
    else:
        exec(code, {})


def main():
    which, how = sys.argv[1:3]
    try:
        run(code_object(which), how)
    except Exception as error:
        print(json.dumps([type(error).__name__, str(error)]))
    else:
        print(json.dumps(None))


if __name__ == "__main__":
    main()
