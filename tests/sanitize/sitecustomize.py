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
import ctypes
import importlib.machinery

_exec_module = importlib.machinery.ExtensionFileLoader.exec_module

# Prepared now rather than at the first import of velmo, which may run with
# allocations failing on purpose: importing ctypes there would make that
# import thousands of allocations longer than velmo's own.
_get_state = ctypes.pythonapi.PyModule_GetState
_get_state.restype = ctypes.c_void_p
_get_state.argtypes = (ctypes.py_object,)
try:
    _lsan_ignore_object = ctypes.CDLL(None).__lsan_ignore_object
    _lsan_ignore_object.argtypes = (ctypes.c_void_p,)
except AttributeError:  # a process started without the sanitizer runtime
    _lsan_ignore_object = None


def _ignore_state_block(module):
    block = _get_state(module)
    if block and _lsan_ignore_object is not None:
        _lsan_ignore_object(block)


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
