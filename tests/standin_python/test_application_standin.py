"""biometric_keys' calls for applications on the stand-in: results, the simulated user,
deadlines, Ctrl-C, and the interpreter lock given up while they wait."""
import importlib.util
import os
import pathlib
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import biometric
import biometric_keys
import standin_keys

# The benchmark's measure of another thread's progress.
_spec = importlib.util.spec_from_file_location("bench_run", pathlib.Path(__file__).parents[2] / "bench" / "run.py")
_bench = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(_bench)
counted_during = _bench.counted_during
_spec = importlib.util.spec_from_file_location("ctrl_c_sweep", pathlib.Path(__file__).parents[2] / "tools" / "ctrl_c_sweep.py")
_sweep = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(_sweep)


@pytest.fixture
def env(monkeypatch):
    for name in ("BIOMETRIC_STANDIN_VERIFY", "BIOMETRIC_STANDIN_DELAY_MS", "BIOMETRIC_STANDIN_AVAILABILITY"):
        monkeypatch.delenv(name, raising=False)
    return monkeypatch


def test_create_sign_and_attest(store, env):
    key = biometric_keys.create("alice", window=1234)
    assert key == biometric_keys.public_key("alice")
    signature = biometric_keys.sign("alice", b"data", timeout=30)
    assert standin_keys.verifies(standin_keys.public_key("alice"), b"data", signature)
    with pytest.raises(RuntimeError, match=r"^Create failed with error code: 5$"):
        biometric_keys.create("alice")
    assert biometric_keys.create("alice", replace=True) != key
    assert biometric_keys.attestation("alice") == ("not_supported", b"", b"")
    with pytest.raises(RuntimeError, match=r"^Attestation failed with error code: 2$"):
        biometric_keys.attestation("nobody")


@pytest.mark.parametrize("delay, call", [
    ("5000", lambda: biometric_keys.create("bob", timeout=0.3)),
    ("5000", lambda: biometric_keys.verify_user("m", timeout=0)),
    # The key generation itself stops at the deadline.
    ("0", lambda: biometric_keys.create("bob", timeout=0.001)),
])
def test_timeout_cancels_and_nothing_is_made(store, env, delay, call):
    env.setenv("BIOMETRIC_STANDIN_DELAY_MS", delay)
    start = time.monotonic()
    with pytest.raises(TimeoutError):
        call()
    assert time.monotonic() - start < 2
    assert not standin_keys.key_file("bob", store).exists()


# Moments of the delay, of the key generation, and past the call's end.
@pytest.mark.parametrize("replace", [False, True])
@pytest.mark.parametrize("delay_ms, at", [(0, 0.0), (0, 0.02), (0, 0.06), (0, 0.3), (200, 0.1), (200, 0.25)])
def test_ctrl_c_either_changes_nothing_or_returns_the_result(replace, delay_ms, at):
    outcome, ok, stderr = _sweep.run_once(replace, delay_ms, at, 0.5)
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
    child_env = dict(os.environ, BIOMETRIC_STANDIN_STORE=str(store), BIOMETRIC_STANDIN_DELAY_MS="600")
    process = subprocess.Popen([sys.executable, "-c", HANDLED, handler], env=child_env, text=True,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert process.stdout.readline() == "go\n"
    time.sleep(0.3)
    process.send_signal(signal.SIGINT)
    stdout, stderr = process.communicate(timeout=30)
    assert ["go"] + stdout.splitlines() == printed, stderr
    assert standin_keys.key_file("k", store).exists() == (handler == "logs")


def test_the_program_may_change_its_environment_while_calls_wait(store):
    code = """
        import os, threading, biometric_keys
        done = False
        def calls():
            while not done:
                biometric_keys.verify_user("m")
                biometric_keys.availability()
        thread = threading.Thread(target=calls)
        thread.start()
        for i in range(30_000):
            os.environ[f"V{i}"] = "1"
        done = True
        thread.join()
        """
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=300,
                            env=dict(os.environ, BIOMETRIC_STANDIN_STORE=str(store)))
    assert (result.returncode, result.stderr) == (0, "")


def test_other_threads_run_while_a_call_waits(store, env):
    biometric_keys.create("carol")
    env.setenv("BIOMETRIC_STANDIN_DELAY_MS", "500")
    alone = counted_during(lambda: time.sleep(0.5))
    released = counted_during(lambda: biometric_keys.sign("carol", b"x"))
    held = counted_during(lambda: biometric.authenticate("carol", b"x"))
    # Generous bounds: the machine may be busy (on a loaded machine the switches in and out
    # of the call alone count for a tenth). The contract keeps biometric holding it.
    assert released > 0.3 * alone
    assert held < 0.25 * alone


def test_threads_sign_at_once(store, env):
    biometric_keys.create("dave")
    key = standin_keys.public_key("dave")
    results = []

    def work(i):
        for j in range(5):
            data = f"{i}:{j}".encode()
            results.append(standin_keys.verifies(key, data, biometric_keys.sign("dave", data)))

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == [True] * 20


def test_ctrl_c_cancels_a_released_wait_at_once(store, env):
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


# Daemon threads still making keys or sealing when the interpreter exits: the library and
# the platform stay for them, and the process exits cleanly.
@pytest.mark.parametrize("call", ["biometric_keys.create(f'd{i}', replace=True)", "biometric_keys.seal('v', b'x')"])
def test_daemon_threads_in_key_work_do_not_stop_a_clean_exit(store, call):
    code = f"""
import threading, time, biometric_keys
biometric_keys.create("v", replace=True)
def work(i):
    while True:
        {call}
for i in range(8):
    threading.Thread(target=work, args=(i,), daemon=True).start()
time.sleep(0.3)
"""
    for _ in range(5):
        result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120,
                                env=dict(os.environ, BIOMETRIC_STANDIN_STORE=str(store)))
        assert (result.returncode, result.stderr) == (0, "")
