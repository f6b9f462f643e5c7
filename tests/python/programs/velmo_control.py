"""velmo's execution written in Python, for the control runs of
load_under_two_names.py, which load it as "velmo" and "pkgx.velmo": the steps
at which velmo's execution can run others' Python code, in its order, and a
load under another name waiting for the one under "velmo", as velmo keeps one
module per process."""
import sys

if __name__ != "velmo":
    __import__("velmo")
sys.modules.get("_cython_0_29_32")  # the registry of the shared function type
sys.modules.get("cython_runtime")  # the runtime module, once the module is claimed


def fun_hello(s):
    return "hello world" if s == 1 else "222222222" if s == 2 else None


__test__: dict = {}
