"""Loaded by every Python process of the sanitizer run (its folder is put on
PYTHONPATH there only).

velmo's module definition has a state size of 0, yet the interpreter gives
each executed module object a 1-byte state block. When the module has been
removed from sys.modules and is imported again, creation hands back the
executed module and the interpreter drops that block without freeing it. The
block is the interpreter's, never velmo's, but leak detection cannot tell it
from what velmo's execution slot allocates (both come from PyModule_ExecDef),
so instead of a suppression this marks exactly that block, once the module is
executed.
"""
import importlib.machinery

_exec_module = importlib.machinery.ExtensionFileLoader.exec_module


def _ignore_state_block(module):
    import ctypes

    get_state = ctypes.pythonapi.PyModule_GetState
    get_state.restype = ctypes.c_void_p
    get_state.argtypes = (ctypes.py_object,)
    block = get_state(module)
    if block:
        ctypes.CDLL(None).__lsan_ignore_object(ctypes.c_void_p(block))


def exec_module(self, module):
    _exec_module(self, module)
    spec = getattr(module, "__spec__", None)
    if spec is not None and spec.name.rpartition(".")[2] == "velmo":
        try:
            _ignore_state_block(module)
        except Exception:
            # Out of memory in an allocation-failure test: the block stays
            # unmarked, and is reported if that process checks for leaks.
            pass


importlib.machinery.ExtensionFileLoader.exec_module = exec_module
