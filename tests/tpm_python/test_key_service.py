"""What the key service holds against its callers: another user's credentials out of
reach, many processes at once, a caller killed mid-request, concurrent prompts of one
process each answered in turn."""

import os
import subprocess
import sys
import time

import pytest

from tpm_terminal import FINGER_PROMPT, platform_env, user_processes

MODULES = os.environ.get("BIOMETRIC_TPM_TEST_MODULES", "")
STATE = "/var/lib/biometric"
KEYD = "/usr/local/lib/biometric-keyd/biometric_keys/_libexec/biometric-keyd"


def as_root(snippet, timeout=180):
    env = dict(os.environ, PYTHONPATH=MODULES, BIOMETRIC_PLATFORM="tpm")
    result = subprocess.run([sys.executable, "-c", snippet], env=env, capture_output=True, text=True, timeout=timeout)
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_another_user_reaches_no_credential_of_the_first_and_cannot_read_the_state(user_terminal, tpm_fixture, store):
    owner = user_terminal.python("""
import biometric_keys as k
k.create("private", replace=True)
print("made")
""", env=platform_env(tpm_fixture, store))
    owner.expect(FINGER_PROMPT)
    owner.scan("finger-A")
    assert owner.finish(timeout=60) == 0 and "made" in owner.output, owner.output

    other = user_terminal.python(f"""
import os, biometric_keys as k
for call in (lambda: k.public_key("private"), lambda: k.delete("private"), lambda: k.attestation("private")):
    try:
        call()
        print("reached")
    except k.CredentialNotFoundError:
        print("not found")
try:
    os.listdir({STATE!r})
    print("listed")
except PermissionError:
    print("state: denied")
""", env=platform_env(tpm_fixture, store), user=tpm_fixture.user2, controlling=False)
    assert other.finish(timeout=60) == 0, other.output
    assert other.output.split() == ["not", "found"] * 3 + ["state:", "denied"], other.output


def test_sixteen_processes_sign_at_once_with_no_failure():
    as_root("import biometric_keys as k; k.create('crowd', replace=True)")
    code = """
import biometric_keys as k
failures = 0
for i in range(10):
    try:
        assert len(k.sign("crowd", b"%d" % i)) == 256
    except Exception as error:
        failures += 1
        print(type(error).__name__, error)
print("failures:", failures)
"""
    env = dict(os.environ, PYTHONPATH=MODULES, BIOMETRIC_PLATFORM="tpm")
    processes = [subprocess.Popen([sys.executable, "-c", code], env=env, stdout=subprocess.PIPE, text=True)
                 for _ in range(16)]
    outputs = [p.communicate(timeout=300)[0] for p in processes]
    assert [o.strip().splitlines()[-1] for o in outputs] == ["failures: 0"] * 16, outputs


def test_a_caller_killed_mid_request_changes_nothing_and_the_service_goes_on(user_terminal, tpm_fixture, store):
    terminal = user_terminal.python("import biometric_keys as k; k.create('killed', replace=True)",
                                    env=platform_env(tpm_fixture, store))
    terminal.expect(FINGER_PROMPT)
    terminal.process.kill()  # setpriv execs the interpreter: the caller itself
    terminal.process.wait()
    check = user_terminal.python("""
import biometric_keys as k
try:
    k.public_key("killed")
    print("kept")
except k.CredentialNotFoundError:
    print("nothing kept")
""", env=platform_env(tpm_fixture, store), controlling=False)
    assert check.finish(timeout=60) == 0 and "nothing kept" in check.output, check.output
    out = as_root("import biometric_keys as k; k.create('after-kill', replace=True); print(len(k.sign('after-kill', b'x')))")
    assert out.split() == ["256"]


def test_two_threads_and_three_aio_calls_are_each_asked_in_turn(user_terminal, tpm_fixture, store):
    terminal = user_terminal.python("""
import asyncio, threading, biometric_keys as k, biometric_keys.aio as aio
results = []
threads = [threading.Thread(target=lambda i=i: results.append(("thread", k.verify_user("t%d" % i)))) for i in range(2)]
for t in threads:
    t.start()
async def three():
    return await asyncio.gather(*(aio.verify_user("a%d" % i) for i in range(3)))
results += [("aio", r) for r in asyncio.run(three())]
for t in threads:
    t.join()
print("results:", sorted(results))
""", env=platform_env(tpm_fixture, store))
    for _ in range(5):
        terminal.expect(FINGER_PROMPT, timeout=60)
        terminal.scan("finger-A")
    assert terminal.finish(timeout=60) == 0, terminal.output
    assert "results: [('aio', 'verified'), ('aio', 'verified'), ('aio', 'verified'), ('thread', 'verified'), " \
           "('thread', 'verified')]" in terminal.output, terminal.output
    assert user_processes(tpm_fixture, "pkttyagent") == [], "the agent outlived the calls"


def _service_pids():
    found = []
    for entry in os.listdir("/proc"):
        try:
            if entry.isdigit() and os.readlink(f"/proc/{entry}/exe") == KEYD:
                found.append(int(entry))
        except OSError:
            continue
    return found


def test_a_service_restart_between_calls_loses_nothing():
    public = as_root("import biometric_keys as k; print(k.create('restart', replace=True).hex())").strip()
    for pid in _service_pids():
        os.kill(pid, 15)
    deadline = time.monotonic() + 10
    while _service_pids() and time.monotonic() < deadline:
        time.sleep(0.1)
    assert _service_pids() == []
    out = as_root("import biometric_keys as k; print(k.public_key('restart').hex(), len(k.sign('restart', b'x')))")
    assert out.split() == [public, "256"]
