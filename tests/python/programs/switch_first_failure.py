"""The switch in a fresh process: absent until the first failure stores
False, read anew at every failure, and read without taking one of the
interpreter's few dict-watcher ids."""
import sys

import velmo
from velmo_test_support import FUN_HELLO_SITES, Boom, Failing, velmo_entries


def free_dict_watchers():
    # The interpreter has few dict-watcher ids (3.12+) for everyone in
    # the process; reading the switch must not take one.
    try:
        from _testcapi import add_dict_watcher, clear_dict_watcher
    except ImportError:
        return None
    taken = []
    try:
        while True:
            taken.append(add_dict_watcher(0))
    except RuntimeError:
        pass
    for watcher in taken:
        clear_dict_watcher(watcher)
    return len(taken)


def entry_code():
    try:
        velmo.fun_hello(Failing(1))
    except Boom as e:
        return velmo_entries(e)[0].tb_frame.f_code
    raise AssertionError("no exception")


def main():
    runtime = sys.modules["cython_runtime"]
    assert "cline_in_traceback" not in vars(runtime)
    free_before = free_dict_watchers()

    hidden = entry_code()
    assert hidden.co_name == "velmo.fun_hello", hidden.co_name
    assert runtime.cline_in_traceback is False  # type: ignore[attr-defined]

    runtime.cline_in_traceback = True  # type: ignore[attr-defined]
    shown = entry_code()
    assert shown.co_name == FUN_HELLO_SITES[1, False].entry_name(True), shown.co_name

    del runtime.cline_in_traceback  # type: ignore[attr-defined]
    assert entry_code() is hidden
    assert runtime.cline_in_traceback is False  # type: ignore[attr-defined]
    assert free_dict_watchers() == free_before


if __name__ == "__main__":
    main()
