"""velmo's namespace after a first import: prints the sorted names."""
import builtins
import json

import velmo

if __name__ == "__main__":
    assert velmo.__builtins__ is builtins  # type: ignore[attr-defined]
    assert type(velmo.__test__) is dict and velmo.__test__ == {}
    assert velmo.__spec__ is not None
    assert velmo.__file__ == velmo.__spec__.origin and velmo.__loader__ is velmo.__spec__.loader
    assert velmo.__package__ == ""
    assert velmo.__name__ == "velmo" and velmo.__doc__ is None
    print(json.dumps(sorted(vars(velmo))))
