"""fun_hello as a pure-Python function: the cost of an interpreted call, and of
the traceback entry that a failing one gets from the interpreter itself."""


def fun_hello(s):
    if s == 1:
        return "hello world"
    if s == 2:
        return "222222222"
    return None
