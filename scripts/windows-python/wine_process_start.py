"""A pytest plugin for the Windows interpreters under Wine: a process whose start failed
with ERROR_INTERNAL_ERROR is created once more.

Wine's CreateProcess fails with that error when the new process ended before its start
was reported (exit status 0, none of its program run); it happens rarely, under load, and
once failed a stage with none of our code involved. Only that error, only once, and said
on standard error: a process that fails to start twice, or with any other error, fails
the test as before.
"""
import sys

import _winapi

ERROR_INTERNAL_ERROR = 1359

_create_process = _winapi.CreateProcess


def _create_process_again_once(*args):
    try:
        return _create_process(*args)
    except OSError as error:
        if error.winerror != ERROR_INTERNAL_ERROR:
            raise
        # The handles the child inherits are still open: subprocess closes them after
        # this call returns or raises.
        print(f"wine_process_start: {args[1]!r:.120}: {error}; created once more", file=sys.stderr)
        return _create_process(*args)


_winapi.CreateProcess = _create_process_again_once
