"""Shared fixtures for velmo's Python tests.

Tests that depend on fresh process state (the first import, the registry,
the traceback switch, the code-object cache) run their code through
`run_fresh`, which starts a new interpreter of the running version with the
same search path and velmo_test_support importable.
"""
import os
import subprocess
import sys
import textwrap

import pytest
from hypothesis import settings
from velmo_test_support import fresh_env

# Under sanitizers or other instrumentation a run is many times slower than
# hypothesis' default deadline allows for; such runs choose this profile.
settings.register_profile("slow", deadline=None)
settings.load_profile(os.environ.get("VELMO_HYPOTHESIS_PROFILE", "default"))


def _run_fresh(code, *, env=None, check=True, timeout=120):
    """Runs `code` in a new interpreter; returns the CompletedProcess.

    With check=True a non-zero exit fails the test and shows both streams.
    """
    full_env = fresh_env(env)
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=full_env,
        timeout=timeout,
    )
    if check and proc.returncode != 0:
        pytest.fail(
            f"subprocess failed ({proc.returncode})\n--- stdout\n{proc.stdout}\n--- stderr\n{proc.stderr}"
        )
    return proc


@pytest.fixture
def run_fresh():
    return _run_fresh


@pytest.fixture
def velmo():
    import velmo as module

    return module
