"""Threads sharing fun_hello: calls that succeed and fail, attribute writes on
the shared function object and switch toggles, all interleaved by a tiny
switch interval, with every answer and every traceback entry checked
(programs/threads_stress.py)."""
from velmo_test_support import last_json, run_program


def test_threads_mixing_every_kind_of_use():
    report = last_json(run_program("threads_stress", timeout=180))
    assert report["errors"] == []
    # Every role got to run many times; a role stuck on the lock would not.
    assert set(report["counts"]) == {"caller", "failer", "binder", "writer", "toggler"}
    assert all(n >= 100 for n in report["counts"].values()), report["counts"]
