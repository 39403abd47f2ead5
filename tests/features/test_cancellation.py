"""The program cancels: a CancelToken, biometric_keys.aio, a deadline, Ctrl-C and the
program's own SIGINT handler on the stand-in; a timeout and Ctrl-C on Windows. A cancelled request ends within a wait's slice, with nothing created
or signed."""
import _thread
import asyncio
import importlib.util
import inspect
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from conftest import TESTS

biometric_keys = pytest.importorskip("biometric_keys", reason="the modules are not installed here")
from biometric_keys import aio  # noqa: E402

CALLS = {
    "create": lambda cancel: biometric_keys.create("new", cancel=cancel),
    "sign": lambda cancel: biometric_keys.sign("alice", b"x", cancel=cancel),
    "verify_user": lambda cancel: biometric_keys.verify_user("m", cancel=cancel),
    "seal": lambda cancel: biometric_keys.seal("alice", b"secret", cancel=cancel),
    "unseal": lambda cancel: biometric_keys.unseal("alice", ENVELOPE[0], cancel=cancel),
}
ENVELOPE = [b""]


@pytest.fixture
def alice(store, monkeypatch):
    for name in ("BIOMETRIC_STANDIN_VERIFY", "BIOMETRIC_STANDIN_DELAY_MS", "BIOMETRIC_STANDIN_AVAILABILITY"):
        monkeypatch.delenv(name, raising=False)
    biometric_keys.create("alice")
    ENVELOPE[0] = biometric_keys.seal("alice", b"secret")
    monkeypatch.setenv("BIOMETRIC_STANDIN_DELAY_MS", "5000")
    return store


def files(store):
    return sorted(p.name for p in store.rglob("*"))


@pytest.mark.parametrize("call", CALLS)
def test_a_token_cancels_the_wait_and_nothing_is_done(alice, call):
    before = files(alice)
    token = biometric_keys.CancelToken()
    threading.Timer(0.3, token.cancel).start()
    with pytest.raises(biometric_keys.RequestCancelledError, match="cancelled$"):
        CALLS[call](token)
    assert token.cancelled and files(alice) == before
    # Cancelled before the call: it fails at once and asks no one (a refusing user would
    # make it a UserCanceledError).
    start = time.monotonic()
    with pytest.raises(biometric_keys.RequestCancelledError):
        CALLS[call](token)
    assert time.monotonic() - start < 0.1


def test_one_token_cancels_every_thread_that_waits_with_it(alice):
    token, raised = biometric_keys.CancelToken(), []

    def wait():
        try:
            biometric_keys.sign("alice", b"x", cancel=token)
        except biometric_keys.RequestCancelledError as error:
            raised.append(error)

    threads = [threading.Thread(target=wait) for _ in range(4)]
    for thread in threads:
        thread.start()
    time.sleep(0.3)
    start = time.monotonic()
    token.cancel()
    for thread in threads:
        thread.join()
    assert len(raised) == 4 and time.monotonic() - start < 0.3


def test_a_token_ends_the_prompt(store):
    sys.path.insert(0, str(TESTS / "standin_python"))
    from test_user_verification import CREATE_QUESTION, run_with_terminal
    code = """
        import threading, biometric_keys
        token = biometric_keys.CancelToken()
        threading.Timer(0.5, token.cancel).start()
        try:
            biometric_keys.create("alice", cancel=token)
        except biometric_keys.RequestCancelledError as error:
            print(error)
        """
    terminal, stdout = run_with_terminal(code, store, [None])
    assert terminal.startswith(CREATE_QUESTION)
    assert stdout == "Create cancelled\n"
    assert not store.exists() or files(store) == []


# A task cancelled, directly or by a deadline: the request has settled (within one slice
# of the delay's wait) when the CancelledError arrives, and nothing was made.
@pytest.mark.parametrize("how", ["cancel", "timeout"])
def test_cancelling_the_task_cancels_the_request_and_waits_for_it(alice, how):
    async def main():
        task = asyncio.create_task(aio.create("new"))
        await asyncio.sleep(0.3)
        start = time.monotonic()
        if how == "cancel":
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
        else:
            with pytest.raises(TimeoutError):
                async with asyncio.timeout(0):
                    await task
        return time.monotonic() - start

    assert asyncio.run(main()) < 0.2
    assert files(alice) == ["alice.key"]


def test_many_tasks_wait_at_once(alice, monkeypatch):
    monkeypatch.setenv("BIOMETRIC_STANDIN_DELAY_MS", "300")
    monkeypatch.setattr(aio, "_IDLE_SECONDS", 0.5)
    before = set(threading.enumerate())

    async def main():
        start = time.monotonic()
        signatures = await asyncio.gather(*[aio.sign("alice", b"%d" % i) for i in range(100)])
        return signatures, time.monotonic() - start

    signatures, took = asyncio.run(main())
    assert len(set(signatures)) == 100 and took < 3
    # The threads made for them leave once idle.
    deadline = time.monotonic() + 3
    while set(threading.enumerate()) - before and time.monotonic() < deadline:
        time.sleep(0.05)
    assert set(threading.enumerate()) - before == set()


@pytest.mark.parametrize("name", [name for name in dir(aio) if inspect.iscoroutinefunction(getattr(aio, name))
                                  and not name.startswith("_")])
def test_aio_calls_are_the_blocking_calls(name):
    assert inspect.signature(getattr(aio, name)).parameters.keys() == \
        inspect.signature(getattr(biometric_keys, name)).parameters.keys()


def test_a_call_that_waits_for_a_thread_is_cancelled_at_once(alice, monkeypatch):
    monkeypatch.setattr(aio, "_pool", aio._Pool(1))

    async def main():
        busy = asyncio.create_task(aio.verify_user("m"))  # the pool's one thread
        await asyncio.sleep(0.1)
        start = time.monotonic()
        with pytest.raises(TimeoutError):
            async with asyncio.timeout(0.2):
                await aio.sign("alice", b"x")
        took = time.monotonic() - start
        busy.cancel()
        await asyncio.gather(busy, return_exceptions=True)
        return took

    assert asyncio.run(main()) < 0.5


def test_the_interpreter_exits_without_waiting_for_the_user(alice):
    # A loop stopped by Ctrl-C leaves its call pending: exiting cancels it.
    code = """
        import asyncio, os, signal, threading
        from biometric_keys import aio
        threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
        try:
            asyncio.new_event_loop().run_until_complete(aio.seal("alice", b"x"))
        except KeyboardInterrupt:
            pass
        """
    start = time.monotonic()
    subprocess.run([sys.executable, "-c", textwrap.dedent(code)], check=True, timeout=60,
                   env=dict(os.environ, BIOMETRIC_STANDIN_STORE=str(alice)))
    assert time.monotonic() - start < 3


@pytest.mark.parametrize("delay, call", [
    ("5000", lambda: biometric_keys.create("bob", timeout=0.3)),
    ("5000", lambda: biometric_keys.verify_user("m", timeout=0)),
    # The key generation itself stops at the deadline.
    ("0", lambda: biometric_keys.create("bob", timeout=0.001)),
])
def test_timeout_cancels_and_nothing_is_made(standin, store, delay, call):
    import standin_keys
    standin.setenv("BIOMETRIC_STANDIN_DELAY_MS", delay)
    start = time.monotonic()
    with pytest.raises(TimeoutError):
        call()
    assert time.monotonic() - start < 2
    assert not standin_keys.key_file("bob", store).exists()


# Moments of the delay, of the key generation, and past the call's end.
@pytest.mark.parametrize("replace", [False, True])
@pytest.mark.parametrize("delay_ms, at", [(0, 0.0), (0, 0.02), (0, 0.06), (0, 0.3), (200, 0.1), (200, 0.25)])
def test_ctrl_c_either_changes_nothing_or_returns_the_result(standin, replace, delay_ms, at):
    spec = importlib.util.spec_from_file_location("ctrl_c_sweep", TESTS.parent / "tools" / "ctrl_c_sweep.py")
    sweep = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(sweep)
    outcome, ok, stderr = sweep.run_once(replace, delay_ms, at, 0.5)
    assert ok, (outcome, stderr)


HANDLED = """
import signal, sys, time, biometric_keys
handler = sys.argv[1]
def on_sigint(signum, frame):
    print("handled", flush=True)
    if handler == "raises":
        raise ValueError("from the handler")
signal.signal(signal.SIGINT, on_sigint)
print("go", flush=True)
try:
    print(type(biometric_keys.create("k")).__name__, biometric_keys.verify_user("m"), flush=True)
except ValueError as error:
    print("ValueError", error, flush=True)
"""


# The program's own handler decides: one that carries on cancels nothing; one that raises
# cancels the request, and its exception is what the call raises.
@pytest.mark.parametrize("handler, printed", [
    ("logs", ["go", "handled", "bytes verified"]),
    ("raises", ["go", "handled", "ValueError from the handler"]),
])
def test_a_programs_own_sigint_handler_decides(store, handler, printed):
    import standin_keys
    child_env = dict(os.environ, BIOMETRIC_STANDIN_STORE=str(store), BIOMETRIC_STANDIN_DELAY_MS="600")
    process = subprocess.Popen([sys.executable, "-c", HANDLED, handler], env=child_env, text=True,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert process.stdout.readline() == "go\n"
    time.sleep(0.3)
    process.send_signal(signal.SIGINT)
    stdout, stderr = process.communicate(timeout=30)
    assert ["go"] + stdout.splitlines() == printed, stderr
    assert standin_keys.key_file("k", store).exists() == (handler == "logs")


def test_ctrl_c_cancels_a_released_wait_at_once(standin, store):
    biometric_keys.create("erin")
    code = """
        import time, biometric_keys
        try:
            biometric_keys.sign("erin", b"x")
            print("signed")
        except KeyboardInterrupt:
            print("KeyboardInterrupt", time.monotonic())
        """
    child_env = dict(os.environ, BIOMETRIC_STANDIN_STORE=str(store), BIOMETRIC_STANDIN_DELAY_MS="10000")
    process = subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)], env=child_env, text=True,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    time.sleep(1.5)
    sent = time.monotonic()
    process.send_signal(signal.SIGINT)
    stdout, stderr = process.communicate(timeout=30)
    word, at = stdout.split()
    assert word == "KeyboardInterrupt", stderr
    assert float(at) - sent < 0.5

# Windows: the request cancelled through the platform, all its objects released.

def given_up_cleanly(doubles):
    from windows_doubles import METHODS
    assert doubles.control.calls[METHODS.index("Cancel")] == 1
    doubles.settle()
    assert doubles.control.live_objects == 0


@pytest.mark.parametrize("completion", ["later", "never"])  # completes after the wait, or only when cancelled
def test_a_timeout_cancels_the_windows_request_and_raises_timeout_error(doubles, completion):
    # The call ends once the cancelled request has settled, as Canceled here; that it
    # waits for it, and what a request that took effect gives, is the Wine suite's.
    doubles.reset(completion)
    doubles.control.later_ms = 300
    with pytest.raises(TimeoutError):
        biometric_keys.sign("alice", b"x", window=0x1234, timeout=0.1)
    given_up_cleanly(doubles)


def test_ctrl_c_cancels_the_windows_request_and_raises_keyboard_interrupt(doubles):
    doubles.reset("never")
    sent = []
    threading.Timer(0.3, lambda: (sent.append(time.monotonic()), _thread.interrupt_main())).start()
    with pytest.raises(KeyboardInterrupt):
        biometric_keys.verify_user("m")
    # At once, not at a later poll: half a second leaves room for Wine under load.
    assert time.monotonic() - sent[0] < 0.5
    given_up_cleanly(doubles)
