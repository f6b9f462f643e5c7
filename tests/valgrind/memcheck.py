"""Runs exercise.py under valgrind's memcheck (the one given as the argument,
else the one on PATH) with every object taken from malloc (PYTHONMALLOC=malloc).
Exits 77, which CTest takes as skipped, when there is no valgrind.

Before 3.11 the check is strict: any memory error, and any block definitely lost
that memcheck.supp does not name, fails it. Later interpreters report on
themselves, with no velmo code involved (3.11 uses uninitialised values at
start-up, 3.12 and later leave their immortal objects unfreed at exit), so
there only the reports with a frame in velmo's code fail the check. That is
weaker: a velmo leak of an object that the interpreter's free lists had made
for someone else carries that first allocation's stack. From 3.12 on, a string
that the interpreter interns while velmo calls it (the name handed to
PyObject_SetAttrString, say) is immortal and so reported lost with velmo's
frames on its stack; such a block is not counted, since no reference velmo
takes or drops can keep an immortal object alive or free it.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
STRICT = sys.version_info < (3, 11)
IMMORTAL_INTERNED = sys.version_info >= (3, 12)
# The calls that make a new string and intern it, left immortal from 3.12 on.
INTERNING = {"PyUnicode_InternFromString", "PyUnicode_InternInPlace", "_PyUnicode_InternInPlace"}


def in_velmo(frame):
    obj = os.path.basename(frame.findtext("obj") or "")
    return obj.startswith("velmo") or (frame.findtext("fn") or "").startswith("velmo::")


def interned_by_the_interpreter(error):
    """A lost block that an interning call below velmo's frames allocated."""
    if not error.findtext("kind", "").startswith("Leak_"):
        return False
    for frame in error.iter("frame"):
        if in_velmo(frame):
            return False
        if frame.findtext("fn") in INTERNING:
            return True
    return False


def describe(error):
    what = error.findtext("kind")
    frames = [f"{frame.findtext('fn') or '?'} ({os.path.basename(frame.findtext('obj') or '?')})"
              for frame in error.iter("frame")]
    return what + "\n    " + "\n    ".join(frames[:25])


def main():
    valgrind = sys.argv[1] if len(sys.argv) > 1 else shutil.which("valgrind")
    if valgrind is None or not os.path.exists(valgrind):
        print("valgrind is not installed: memcheck run skipped")
        return 77
    with tempfile.TemporaryDirectory() as scratch:
        report = os.path.join(scratch, "memcheck.xml")
        command = [
            valgrind, "--tool=memcheck", "--xml=yes", f"--xml-file={report}",
            "--leak-check=full", "--show-leak-kinds=definite", "--errors-for-leak-kinds=definite",
            f"--suppressions={os.path.join(HERE, 'memcheck.supp')}", "--num-callers=50",
            sys.executable, os.path.join(HERE, "exercise.py"),
        ]
        proc = subprocess.run(command, env=dict(os.environ, PYTHONMALLOC="malloc"), capture_output=True,
                              text=True, timeout=900)
        sys.stdout.write(proc.stdout + proc.stderr)
        if proc.returncode != 0 or "exercise done" not in proc.stdout:
            print(f"the exercise failed ({proc.returncode})")
            return 1
        errors = ET.parse(report).getroot().findall("error")

    counted = [e for e in errors if STRICT or (any(in_velmo(f) for f in e.iter("frame"))
                                              and not (IMMORTAL_INTERNED and interned_by_the_interpreter(e)))]
    for error in counted:
        print(describe(error))
    print(f"memcheck: {len(errors)} reports, {len(counted)} counted "
          f"({'all' if STRICT else 'those with a frame in velmo'})")
    return 1 if counted else 0


if __name__ == "__main__":
    sys.exit(main())
