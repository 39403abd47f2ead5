"""Daemon threads that are inside a call which gave up the interpreter lock when the
interpreter shuts down: the process exits as with any other extension's call."""
import subprocess
import sys

import pytest

SCRIPT = """
import threading, time, biometric_keys
def loop():
    while True:
        try:
            {call}
        except RuntimeError:
            pass
for _ in range(4):
    threading.Thread(target=loop, daemon=True).start()
time.sleep(0.1)
"""


# Neither asks anyone on any platform: the availability, and the attestation of a name
# that is not enrolled.
@pytest.mark.parametrize("call", ["biometric_keys.availability()", "biometric_keys.attestation('not enrolled')"])
def test_daemon_threads_in_released_calls_do_not_stop_a_clean_exit(call):
    for _ in range(3):
        result = subprocess.run([sys.executable, "-c", SCRIPT.format(call=call)], capture_output=True, text=True,
                                timeout=120)
        assert (result.returncode, result.stderr) == (0, "")
