"""biometric_keys.aio's threads on the scripted fake: as few as the calls need, none left
behind by an exit, and a pool of its own in a forked child. (Cancellation and a burst of
waiting calls are in tests/standin_python/test_cancellation.py, where calls can wait.)"""
import asyncio
import threading
import time

import pytest

from biometric_keys import aio
from conftest import run_python


def pool_threads():
    return [t for t in threading.enumerate() if t.name.startswith("biometric_keys.aio")]


@pytest.fixture
def pool(keys_fake, monkeypatch):
    monkeypatch.setattr(aio, "_IDLE_SECONDS", 0.5)
    monkeypatch.setattr(aio, "_pool", None)
    yield
    deadline = time.monotonic() + 5
    while pool_threads() and time.monotonic() < deadline:
        time.sleep(0.05)
    assert pool_threads() == [], "idle threads stayed"


def test_calls_one_at_a_time_keep_one_thread(pool):
    async def main():
        for i in range(2000):
            await aio.sign("alice", b"%d" % i)
        return len(pool_threads())

    assert asyncio.run(main()) == 1


def test_a_forked_child_has_a_pool_of_its_own():
    # The parent's thread is idle when it forks; the child's call once waited for it for ever.
    result = run_python("""
        import asyncio, signal, time, warnings
        import biometric_keys
        from biometric_keys import aio
        warnings.simplefilter("ignore", DeprecationWarning)  # fork() with a thread running
        asyncio.run(aio.sign("alice", b"x"))
        time.sleep(0.2)
        pid = os.fork()
        if pid == 0:
            signal.alarm(10)  # a hang ends the child
            os._exit(0 if asyncio.run(aio.sign("alice", b"y")) else 1)
        print(os.waitpid(pid, 0)[1])
        """)
    assert (result.returncode, result.stdout, result.stderr) == (0, "0\n", "")


def test_the_exit_does_not_wait_for_idle_threads():
    start = time.monotonic()
    result = run_python("""
        import asyncio, time
        import biometric_keys
        from biometric_keys import aio
        asyncio.run(aio.sign("alice", b"x"))
        time.sleep(0.2)  # the thread waits for the next call
        """)
    assert result.returncode == 0, result.stderr
    assert time.monotonic() - start < aio._IDLE_SECONDS / 2
