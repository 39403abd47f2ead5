"""Shared by the pytest suites: each test runs in a forked child process.

A fault in the module can end the interpreter (a crash, an abort, a fast fail). In a
child of its own, that fails the one test, with its exit status, and the run goes on to
its summary. BIOMETRIC_TEST_FORK=0 runs the tests in the pytest process itself (for
valgrind, which checks each process for leaks as it exits).
"""
import os
import pickle
import signal

import pytest
from _pytest.reports import TestReport
from _pytest.runner import runtestprotocol

FORK = os.environ.get("BIOMETRIC_TEST_FORK", "1") != "0" and hasattr(os, "fork")


def _run_in_child(item, nextitem):
    hook = item.config.hook
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:  # the child: run the test, hand its reports back, end without clean-up
        status = 0
        try:
            os.close(read_end)
            reports = runtestprotocol(item, log=False, nextitem=nextitem)
            data = [hook.pytest_report_to_serializable(config=item.config, report=r) for r in reports]
            with os.fdopen(write_end, "wb") as out:
                pickle.dump(data, out)
        except BaseException:  # noqa: B036 - nothing may leave the child
            status = 70
        finally:
            os._exit(status)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as source:
        payload = source.read()
    _, status = os.waitpid(pid, 0)
    if payload and os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0:
        return [hook.pytest_report_from_serializable(config=item.config, data=d) for d in pickle.loads(payload)]
    if os.WIFSIGNALED(status):
        how = f"the test process was killed by {signal.Signals(os.WTERMSIG(status)).name}"
    else:
        how = f"the test process exited with status {os.WEXITSTATUS(status)}"
    return [TestReport(item.nodeid, item.location, {}, "failed", how, "call", [], 0.0)]


@pytest.hookimpl(tryfirst=True)
def pytest_runtest_protocol(item, nextitem):
    if not FORK:
        return None
    item.ihook.pytest_runtest_logstart(nodeid=item.nodeid, location=item.location)
    for report in _run_in_child(item, nextitem):
        item.ihook.pytest_runtest_logreport(report=report)
    item.ihook.pytest_runtest_logfinish(nodeid=item.nodeid, location=item.location)
    return True
