"""Whether this interpreter's dict reports success when the resize of an
insertion that `setdefault` makes cannot get its memory (CPython 3.13.0
does, leaving the dict broken): prints true or false. No velmo code runs."""
import json

import _testcapi

if __name__ == "__main__":
    d = {"k%d" % i: i for i in range(5)}  # the next insertion resizes
    _testcapi.set_nomemory(0, 1)
    try:
        d.setdefault("k5", 5)
    except SystemError:
        print(json.dumps(True))
    except MemoryError:
        print(json.dumps(False))
    else:
        print(json.dumps(False))
