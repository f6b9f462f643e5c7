"""Module creation from a spec-like object that the argument names (see
SPECS), driven through the interpreter's own entry, so that spec-like
objects without an "origin" (which importlib's loader insists on) reach the
module's creation slot. Prints the new module's namespace (LOADER and SEARCH
for the objects given) or [error type, message]."""
import ctypes
import importlib.util
import json
import sys
import types

LOADER, SEARCH = object(), ["somewhere"]


class Gone(AttributeError):
    pass


def raising(attribute, error):
    """A spec whose `attribute` raises `error` when read."""
    def get(self):
        raise error
    return type("Spec", (), {"name": "velmo", "origin": "x.so", attribute: property(get)})()


def raising_value_error(attribute):
    return lambda: raising(attribute, ValueError("broken spec"))


NS = types.SimpleNamespace
SPECS = {
    "bare": lambda: NS(name="velmo"),
    "full": lambda: NS(name="a.velmo", loader=LOADER, origin="x.so", parent="a", submodule_search_locations=SEARCH),
    "nones": lambda: NS(name="velmo", loader=None, origin=None, parent=None, submodule_search_locations=None),
    "attribute-error-subclass": lambda: raising("origin", Gone()),
    **{f"{name}-raises": raising_value_error(name)
       for name in ("loader", "origin", "parent", "submodule_search_locations")},
}


def main(spec_id):
    found = importlib.util.find_spec("velmo")
    assert found is not None and found.origin is not None
    init = ctypes.PyDLL(found.origin).PyInit_velmo
    init.restype = ctypes.c_void_p
    from_spec = ctypes.pythonapi.PyModule_FromDefAndSpec2
    from_spec.restype = ctypes.py_object
    from_spec.argtypes = (ctypes.c_void_p, ctypes.py_object, ctypes.c_int)
    try:
        ns = vars(from_spec(init(), SPECS[spec_id](), 1013))
    except Exception as error:
        print(json.dumps([type(error).__name__, str(error)]))
    else:
        names = {id(LOADER): "LOADER", id(SEARCH): "SEARCH"}
        print(json.dumps({key: names.get(id(ns[key]), ns[key]) if key in ns else "absent"
                          for key in ("__name__", "__loader__", "__file__", "__package__", "__path__")}))


if __name__ == "__main__":
    main(sys.argv[1])
