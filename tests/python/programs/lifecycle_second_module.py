"""Two module objects created before any execution: once one is executed,
executing the other is refused. Prints the refusal's message and the files
its traceback names."""
import importlib.util
import json
import sys

from velmo_test_support import walk

if __name__ == "__main__":
    spec = importlib.util.find_spec("velmo")
    assert spec is not None and spec.loader is not None
    first = importlib.util.module_from_spec(spec)
    second = importlib.util.module_from_spec(spec)
    assert first is not second
    spec.loader.exec_module(first)
    try:
        spec.loader.exec_module(second)
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
