"""Shared fixtures for velmo's Python tests.

Tests that depend on fresh process state (the first import, the registry,
the traceback switch, the code-object cache) run a program of programs/ in a
new interpreter with velmo_test_support.run_program.
"""
import os

import pytest
from hypothesis import settings

# Under sanitizers or other instrumentation a run is many times slower than
# hypothesis' default deadline allows for; such runs choose this profile.
settings.register_profile("slow", deadline=None)
settings.load_profile(os.environ.get("VELMO_HYPOTHESIS_PROFILE", "default"))


@pytest.fixture
def velmo():
    import velmo as module

    return module
