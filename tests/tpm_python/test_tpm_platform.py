"""biometric and biometric_keys on the TPM platform: the key service biometric-keyd
(started by the bus on demand) against the simulator, polkitd and fprintd. The test users
(not in tss) prove who they are at their terminal; root, whom polkit answers without
asking, runs what needs no person (many signatures, many processes)."""

import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding

from tpm_terminal import FINGER_PROMPT, platform_env, user_processes

MODULES = os.environ.get("BIOMETRIC_TPM_TEST_MODULES", "")
ACTION_FILE = Path("/usr/share/polkit-1/actions/org.biometric.verify.policy")


@pytest.fixture
def root_store(tmp_path):
    """A key store of root's, for what root runs: the store trusts only the caller's own."""
    return tmp_path


def as_root(fixture, store, snippet, timeout=120):
    env = dict(os.environ, PYTHONPATH=MODULES, **platform_env(fixture, store))
    result = subprocess.run([sys.executable, "-c", snippet], env=env, capture_output=True, text=True, timeout=timeout)
    assert result.returncode == 0, result.stderr
    return result.stdout


def verify(public_key_der, signature, data):
    serialization.load_der_public_key(public_key_der).verify(signature, data, padding.PKCS1v15(), hashes.SHA256())


def _password(terminal, fixture, right=True):  # a finger that does not match, then the password
    terminal.expect(FINGER_PROMPT)
    terminal.scan("finger-B")
    terminal.answer_password(fixture.password if right else "wrong-" + fixture.password)


def _finger(terminal, fixture):
    terminal.expect(FINGER_PROMPT)
    terminal.scan("finger-A")


def _ctrl_c(terminal, fixture):
    terminal.expect(FINGER_PROMPT)
    terminal.ctrl_c()


def _nothing(terminal, fixture):
    terminal.expect(FINGER_PROMPT)


CREATE = """
import biometric_keys as k, os
try:
    k.create("bob", timeout={timeout})
    print("outcome: created")
except BaseException as error:
    print("outcome:", type(error).__name__)
try:
    k.public_key("bob")
    print("kept: yes")
    k.delete("bob")
except k.CredentialNotFoundError:
    print("kept: no")
print("files:", sorted(os.listdir(os.environ["BIOMETRIC_TPM_STORE"])))
"""


@pytest.mark.parametrize("steps, timeout, outcome", [
    (_finger, None, "created"),
    (_password, None, "created"),  # a finger that does not match, then the password
    (lambda t, f: _password(t, f, right=False), None, "UserCanceledError"),
    (_nothing, 3, "TimeoutError"),
    (_ctrl_c, None, "KeyboardInterrupt"),
], ids=["finger", "no-match-then-password", "wrong-password", "no-answer-timeout", "ctrl-c"])
def test_create_goes_ahead_only_when_the_user_is_verified(user_terminal, tpm_fixture, store, steps, timeout, outcome):
    terminal = user_terminal.python(CREATE.format(timeout=timeout), env=platform_env(tpm_fixture, store))
    steps(terminal, tpm_fixture)
    assert terminal.finish(timeout=60) == 0, terminal.output
    assert f"outcome: {outcome}" in terminal.output
    # The key is the service's: nothing in the user's files.
    assert ("kept: yes" if outcome == "created" else "kept: no") in terminal.output
    assert "files: []" in terminal.output
    assert user_processes(tpm_fixture, "pkttyagent") == [], "the agent outlived the call"


NO_AGENT = """
import biometric_keys as k
print("verify_user:", k.verify_user("hello"))
try:
    k.create("nobody")
except k.UserCanceledError as error:
    print("create:", error.code)
"""


@pytest.mark.parametrize("where", ["no-terminal", "background"])
def test_without_an_agent_nobody_is_verified(user_terminal, tpm_fixture, store, where):
    env = platform_env(tpm_fixture, store)
    if where == "no-terminal":
        terminal = user_terminal.python(NO_AGENT, env=env, controlling=False)
    else:  # a process group of its own: not the terminal's foreground, which a text agent needs
        terminal = user_terminal.python(
            f"import subprocess, sys; sys.exit(subprocess.call([sys.executable, '-c', {NO_AGENT!r}], process_group=0))",
            env=env)
    assert terminal.finish(timeout=60) == 0, terminal.output
    assert "verify_user: canceled" in terminal.output and "create: 3" in terminal.output


def test_an_agent_that_serves_the_process_already_is_the_one_that_asks(user_terminal, tpm_fixture, store):
    # pkttyagent registered for a child that then becomes the calling program (same pid);
    # the snippet stays the agent's parent, to reap it.
    terminal = user_terminal.python("""
import os, subprocess, sys
go_r, go_w = os.pipe()
child = os.fork()
if child == 0:
    os.read(go_r, 1)
    os.execv(sys.executable, [sys.executable, "-c", "import biometric_keys as k; print('verify_user:', k.verify_user('m'))"])
r, w = os.pipe()
agent = subprocess.Popen(["pkttyagent", "--process", str(child), "--notify-fd", str(w)], pass_fds=[w])
os.close(w)
os.read(r, 1)
os.write(go_w, b"go")
status = os.waitpid(child, 0)[1]
agent.terminate()
agent.wait()
sys.exit(os.waitstatus_to_exitcode(status))
""", env=platform_env(tpm_fixture, store))
    terminal.expect(FINGER_PROMPT)
    assert len(user_processes(tpm_fixture, "pkttyagent")) == 1
    terminal.scan("finger-A")
    assert terminal.finish() == 0, terminal.output
    assert "verify_user: verified" in terminal.output


def _polkit_file(path, text):
    """Puts (text) or removes (None) a polkit file; returns what was there."""
    saved = path.read_bytes() if path.exists() else None
    if text is None:
        path.unlink()
    else:
        path.write_text(text)
    return saved


@pytest.mark.parametrize("change, expected", [
    ({}, "available True"),
    # No service to reach (here: no bus at all): what installs it.
    ({"DBUS_SYSTEM_BUS_ADDRESS": "unix:path=/nonexistent/bus"}, "not_configured_for_user False"),
    ({"rule": "polkit.addRule(function(a, s) { if (a.id == 'org.biometric.verify') return polkit.Result.NO; });"},
     "disabled_by_policy False"),
], ids=["available", "no-service", "refused-by-rule"])
def test_availability_tells_what_is_missing(user_terminal, tpm_fixture, store, change, expected):
    env = platform_env(tpm_fixture, store, **{k: v for k, v in change.items() if k.isupper()})
    rule_path = Path("/etc/polkit-1/rules.d/10-biometric-test-no.rules")
    changed = {ACTION_FILE: change["action"]} if "action" in change else {}
    if "rule" in change:
        changed[rule_path] = change["rule"]
    saved = {path: _polkit_file(path, text) for path, text in changed.items()}
    try:
        # polkitd reads changed files a moment after they change.
        for _ in range(50):
            terminal = user_terminal.python(
                "import biometric_keys as k; print('availability:', k.availability(), k.is_supported())",
                env=env, controlling=False)
            assert terminal.finish() == 0, terminal.output
            if f"availability: {expected}" in terminal.output:
                break
            time.sleep(0.2)
        assert f"availability: {expected}" in terminal.output
    finally:
        for path, content in saved.items():
            if content is None:
                path.unlink(missing_ok=True)
            else:
                path.write_bytes(content)


def test_signing_leaks_no_tpm_object(tpm_fixture, root_store):
    # The simulator has three slots for transient objects: a sign that left one behind
    # would fail the fourth, and any later create.
    as_root(tpm_fixture, root_store, """
import biometric_keys as k
k.create("many")
public = k.public_key("many")
for i in range(1000):
    k.sign("many", b"%d" % i)
""")
    for _ in range(50):
        as_root(tpm_fixture, root_store, "import biometric_keys as k; k.sign('many', b'again')")
    out = as_root(tpm_fixture, root_store, "import biometric_keys as k; print(k.create('after').hex())")
    assert len(bytes.fromhex(out)) > 256


def test_biometric_setup_and_authenticate_use_the_tpm(tpm_fixture, root_store):
    out = as_root(tpm_fixture, root_store, """
import biometric, biometric_keys
print(biometric.setup("carol"))
print(bytes(biometric.authenticate("carol", b"nonce")).hex())
print(biometric_keys.public_key("carol").hex())
biometric_keys.delete("carol")
""").split()
    assert out[0] == "True"
    verify(bytes.fromhex(out[2]), bytes.fromhex(out[1]), b"nonce")
    assert list(root_store.iterdir()) == []


def test_without_the_tpm_and_bus_libraries_the_stand_in_still_runs(tpm_fixture, root_store):
    # A mount namespace of its own, where the libraries the platform loads are empty files.
    hide = " && ".join(f"mount --bind /dev/null {os.path.realpath('/usr/lib/x86_64-linux-gnu/' + name)}"
                       for name in ("libtss2-esys.so.0", "libsystemd.so.0"))

    def run(platform, code):
        env = dict(os.environ, PYTHONPATH=MODULES, BIOMETRIC_STANDIN_STORE=str(root_store / "standin"),
                   **platform_env(tpm_fixture, root_store, BIOMETRIC_PLATFORM=platform))
        return subprocess.run(["unshare", "--mount", "sh", "-c", hide + ' && exec "$0" -c "$1"', sys.executable, code],
                              env=env, capture_output=True, text=True, timeout=60).stdout.split()

    assert run("tpm", """
import biometric_keys as k
print(k.platform(), k.availability(), k.is_supported())
try:
    k.create("nothing")
except k.KeyCredentialError as error:
    print(error.code)
""") == ["tpm", "device_not_present", "False", str(-2147024770)]  # ERROR_MOD_NOT_FOUND
    assert run("standin", "import biometric_keys as k; k.create('s'); print(k.platform(), len(k.sign('s', b'x')))") \
        == ["standin", "256"]


# Prints at its end whether this process started a text agent meanwhile.
WATCH_FOR_AGENT = """
import atexit, os, threading, time
started = []
def watch():
    while not started:
        time.sleep(0.005)
        for entry in os.scandir("/proc"):
            try:
                with open(f"/proc/{entry.name}/stat") as stat:
                    name, rest = stat.read().split(" (", 1)[1].rsplit(") ", 1)
            except (OSError, IndexError):
                continue
            if name == "pkttyagent" and rest.split()[1] == str(os.getpid()):
                started.append(entry.name)
threading.Thread(target=watch, daemon=True).start()
atexit.register(lambda: print("text agent:", "started" if started else "none"))
"""


def test_a_rule_saying_no_refuses_without_asking(user_terminal, tpm_fixture, store):
    # Nobody is asked, on the desktop or on the terminal: no text agent is started either.
    rule = Path("/etc/polkit-1/rules.d/10-biometric-test-no.rules")
    saved = _polkit_file(rule, "polkit.addRule(function(a, s) { if (a.id == 'org.biometric.verify') "
                               "return polkit.Result.NO; });")
    try:
        for _ in range(50):  # polkitd reads a changed rule a moment after
            terminal = user_terminal.python(WATCH_FOR_AGENT + CREATE.format(timeout=3),
                                            env=platform_env(tpm_fixture, store))
            assert terminal.finish(timeout=60) == 0, terminal.output
            if "outcome: UserCanceledError" in terminal.output:
                break
            time.sleep(0.2)
        assert "outcome: UserCanceledError" in terminal.output and "kept: no" in terminal.output, terminal.output
        assert "Swipe" not in terminal.output and "Password" not in terminal.output, "the user was asked"
        assert "text agent: none" in terminal.output, terminal.output
    finally:
        if saved is None:
            rule.unlink(missing_ok=True)
        else:
            rule.write_bytes(saved)
