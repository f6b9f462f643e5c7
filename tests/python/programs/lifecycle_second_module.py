"""Two creations before any execution yield one module object. Another
module object executed with velmo's definition (the interpreter's
PyModule_ExecDef takes any) is refused once velmo is executed. Prints the
refusal's message and the files its traceback names."""
import ctypes
import importlib.util
import json
import sys
import types

from velmo_test_support import walk

if __name__ == "__main__":
    spec = importlib.util.find_spec("velmo")
    assert spec is not None and spec.loader is not None and spec.origin is not None
    first = importlib.util.module_from_spec(spec)
    assert importlib.util.module_from_spec(spec) is first
    spec.loader.exec_module(first)
    init = ctypes.PyDLL(spec.origin).PyInit_velmo
    init.restype = ctypes.c_void_p
    exec_def = ctypes.pythonapi.PyModule_ExecDef
    exec_def.argtypes = (ctypes.py_object, ctypes.c_void_p)
    second = types.ModuleType("velmo")
    try:
        exec_def(second, init())
    except RuntimeError as error:
        report = dict(message=str(error), files=[tb.tb_frame.f_code.co_filename for tb in walk(error.__traceback__)])
    else:
        raise SystemExit("second execution was accepted")
    assert "fun_hello" not in vars(second)
    # The refusal leaves the executed module in place for later imports.
    assert importlib.util.module_from_spec(spec) is first
    import velmo
    assert velmo is first and sys.modules["velmo"] is first
    print(json.dumps(report))
