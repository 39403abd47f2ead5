"""biometric_keys.aio's threads on the scripted fake (a burst on the stand-in:
tests/features/test_cancellation.py)."""
import asyncio
import threading
import time

from biometric_keys import aio
from conftest import run_python


def test_calls_one_at_a_time_keep_one_thread(keys_fake, monkeypatch):
    monkeypatch.setattr(aio, "_pool", None)

    async def main():
        for i in range(2000):
            await aio.sign("alice", b"%d" % i)

    asyncio.run(main())
    assert len([t for t in threading.enumerate() if t.name.startswith("biometric_keys.aio")]) == 1


def test_neither_a_forked_child_nor_the_exit_waits_for_an_idle_thread():
    start = time.monotonic()
    result = run_python("""
        import asyncio, signal, time, warnings
        import biometric_keys
        from biometric_keys import aio
        warnings.simplefilter("ignore", DeprecationWarning)  # fork() with a thread running
        asyncio.run(aio.sign("alice", b"x"))
        time.sleep(0.2)  # the thread waits for the next call
        pid = os.fork()
        if pid == 0:
            signal.alarm(10)  # a hang ends the child
            os._exit(0 if asyncio.run(aio.sign("alice", b"y")) else 1)
        print(os.waitpid(pid, 0)[1])
        """)
    assert (result.returncode, result.stdout, result.stderr) == (0, "0\n", "")
    assert time.monotonic() - start < aio._IDLE_SECONDS / 2
