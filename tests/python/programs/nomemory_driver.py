"""The allocation sweeps' driver, imported by the nomemory_* programs.

`sweep_records` runs `child(n)` in a forked process for n = 0, 1, ... and
collects one record per child. A child that dies by a signal, hangs, or exits
without writing its record, is recorded as crashed, with the Python stack it
died in ("fatal"; innermost frame first) when the interpreter could still
print it, and the first lines the child wrote to stderr ("stderr": where a
debug interpreter names the assertion or the fatal error that stopped it).
The sweep ends once `quiet` consecutive children report `clean`: by then n
lies past the last allocation that the scenario makes.
"""
import faulthandler
import json
import os
import sys
import tempfile

import _testcapi

# Each child's stderr, a file that outlives its name.
CHILD_STDERR, _path = tempfile.mkstemp()
os.unlink(_path)

# "one" fails the n-th allocation only, "from" fails it and every later one,
# up to FROM_WINDOW of them: far more than any swept operation makes, and a
# bound on the loop that 3.11 to 3.13 enter by themselves when they cannot
# box the instruction offset of an exception handler: each round asks for
# that allocation again, so the loop ends with the window instead of hanging
# the child. Set by the program from its arguments.
MODE = "one"
FROM_WINDOW = 10000


def arm(n):
    """Arms the failure that MODE names at the n-th allocation from now."""
    if MODE == "one":
        _testcapi.set_nomemory(n, n + 1)
    else:
        _testcapi.set_nomemory(n, n + FROM_WINDOW)


def run_child(child, n):
    r, w = os.pipe()
    os.ftruncate(CHILD_STDERR, 0)
    os.lseek(CHILD_STDERR, 0, os.SEEK_SET)
    sys.stderr.flush()
    pid = os.fork()
    if pid == 0:
        os.close(r)
        os.dup2(CHILD_STDERR, 2)
        # Neither handler allocates: a crash or a hang writes its stack down
        # the pipe in place of the record.
        faulthandler.enable(w)
        faulthandler.dump_traceback_later(30, exit=True, file=w)  # a hang ends as a crash
        try:
            rec = child(n)
        except BaseException as e:  # the test's own code broke: report it
            _testcapi.remove_mem_hooks()
            rec = {"child_error": repr(e)}
        os.write(w, json.dumps(rec).encode())
        os._exit(0)
    os.close(w)
    chunks = []
    while True:
        chunk = os.read(r, 65536)
        if not chunk:
            break
        chunks.append(chunk)
    os.close(r)
    _, status = os.waitpid(pid, 0)
    text = b"".join(chunks).decode(errors="replace")
    rec = {"n": n, "crashed": not (os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0 and text)}
    if rec["crashed"]:
        rec["fatal"] = [line.strip() for line in text.splitlines() if line.strip().startswith("File ")]
        rec["stopped_by"] = text.splitlines()[0] if text else "nothing written"  # a signal, or the hang timeout
        os.lseek(CHILD_STDERR, 0, os.SEEK_SET)
        rec["stderr"] = os.read(CHILD_STDERR, 4096).decode(errors="replace").splitlines()[:8]
    elif text:
        rec.update(json.loads(text))
    return rec


def sweep_records(child, clean, quiet=100, limit=5000):
    records, run = [], 0
    for n in range(limit):
        rec = run_child(child, n)
        records.append(rec)
        # A crashed or broken child's record lacks what `clean` reads.
        run = run + 1 if not rec["crashed"] and "child_error" not in rec and clean(rec) else 0
        if run == quiet:
            break
    return records


def sweep(child, clean, quiet=100, limit=5000):
    """Prints the records as one JSON list."""
    print(json.dumps(sweep_records(child, clean, quiet, limit)))
