"""The import of a velmo built for another minor version, from the folder of
the first argument, with the warnings filter action of the second: prints
what the import raised and warned, and what a repeated import then gives."""
import importlib
import json
import sys
import warnings

from velmo_test_support import walk


def main(folder, action):
    sys.path.insert(0, folder)
    report = {}
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter(action)  # type: ignore[arg-type]
        try:
            importlib.import_module("velmo")
        except Exception as error:
            files = [tb.tb_frame.f_code.co_filename for tb in walk(error.__traceback__)]
            report["error"] = [type(error).__name__, str(error), files, "velmo" in sys.modules]
    report["warned"] = [[w.category.__name__, str(w.message)] for w in caught]
    # With the filter back to normal, a failed import can be repeated.
    import velmo
    report["then"] = [velmo.__file__.startswith(folder), velmo.fun_hello(2)]
    print(json.dumps(report))


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
