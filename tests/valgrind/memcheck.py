"""Runs exercise.py under valgrind's memcheck with every object taken from
malloc (PYTHONMALLOC=malloc), and fails on any memory error and on any block
definitely lost that memcheck.supp does not name. Exits 77, which CTest takes
as skipped, when valgrind is not installed."""
import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ERROR_EXIT = 99

valgrind = shutil.which("valgrind")
if valgrind is None:
    print("valgrind is not installed: memcheck run skipped")
    sys.exit(77)

command = [
    valgrind, "--tool=memcheck", f"--error-exitcode={ERROR_EXIT}",
    "--leak-check=full", "--show-leak-kinds=definite", "--errors-for-leak-kinds=definite",
    f"--suppressions={os.path.join(HERE, 'memcheck.supp')}", "--num-callers=50",
    sys.executable, os.path.join(HERE, "exercise.py"),
]
proc = subprocess.run(command, env=dict(os.environ, PYTHONMALLOC="malloc"), capture_output=True, text=True,
                      timeout=900)
sys.stdout.write(proc.stdout)
sys.stdout.write(proc.stderr)
if proc.returncode == ERROR_EXIT:
    print("memcheck found errors or definitely lost blocks (see above)")
    sys.exit(1)
if proc.returncode != 0 or "exercise done" not in proc.stdout:
    print(f"the exercise failed ({proc.returncode})")
    sys.exit(1)
