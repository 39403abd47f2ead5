"""The simulated user of the stand-in: BIOMETRIC_STANDIN_VERIFY and BIOMETRIC_STANDIN_DELAY_MS."""
import fcntl
import os
import pty
import signal
import select
import subprocess
import sys
import termios
import textwrap
import time

import pytest

import biometric
import standin_keys

UNSET = object()


def set_verify(monkeypatch, value):
    if value is UNSET:
        monkeypatch.delenv("BIOMETRIC_STANDIN_VERIFY", raising=False)
    else:
        monkeypatch.setenv("BIOMETRIC_STANDIN_VERIFY", value)


def fails_with(call, prefix, status):
    with pytest.raises(RuntimeError, match=rf"^{prefix} failed with error code: {status}$"):
        call()


@pytest.fixture
def enrolled(store, monkeypatch):
    """A credential enrolled with no one asked, and a snapshot of its key file."""
    monkeypatch.delenv("BIOMETRIC_STANDIN_VERIFY", raising=False)
    monkeypatch.delenv("BIOMETRIC_STANDIN_DELAY_MS", raising=False)
    biometric.setup("existing")
    key_file = standin_keys.key_file("existing")
    return key_file, key_file.read_bytes(), key_file.stat().st_mtime_ns


# The value, and the status that creating and signing end with (None: they go ahead).
@pytest.mark.parametrize("value, status", [
    (UNSET, None), ("", None), ("allow", None),
    ("deny", 3),
    ("1", 1), ("2", 2), ("3", 3), ("4", 4), ("5", 5), ("6", 6),
    ("0", 1), ("7", 1), ("Deny", 1), ("allow ", 1), ("yes", 1),
], ids=repr)
def test_each_value_decides_creating_and_signing(store, enrolled, monkeypatch, value, status):
    key_file, key_bytes, key_mtime = enrolled
    set_verify(monkeypatch, value)
    if status is None:
        assert biometric.setup("new") is True
        signature = bytes(biometric.authenticate("existing", b"data"))
        assert standin_keys.verifies(standin_keys.public_key("existing"), b"data", signature)
        fails_with(lambda: biometric.setup("existing"), "Setup", 5)
    else:
        fails_with(lambda: biometric.setup("new"), "Setup", status)
        fails_with(lambda: biometric.authenticate("existing", b"data"), "Authentication", status)
        # The user is asked before the platform looks for the name.
        fails_with(lambda: biometric.setup("existing"), "Setup", status)
        assert [p.name for p in store.rglob("*")] == ["existing.key"]
    # Opening a credential asks no one: an unknown name is NotFound whatever the setting.
    fails_with(lambda: biometric.authenticate("nobody", b"data"), "Authentication", 2)
    assert key_file.read_bytes() == key_bytes
    assert key_file.stat().st_mtime_ns == key_mtime


def test_the_setting_is_read_at_every_request(store, enrolled, monkeypatch):
    outcomes = []
    for value in ["deny", "allow", "4", UNSET, "6", "deny"]:
        set_verify(monkeypatch, value)
        try:
            outcomes.append(len(biometric.authenticate("existing", b"x")))
        except RuntimeError as error:
            outcomes.append(str(error)[-1])
    assert outcomes == ["3", 256, "4", 256, "6", "3"]


# Generous upper bounds: the machine may be busy, but no wait is as long as the delay.
@pytest.mark.parametrize("delay, verify, at_least, at_most", [
    ("1500", "deny", 1.5, 6.0),
    ("1500", "allow", 1.5, 6.0),
    ("0", "deny", 0.0, 1.0),
    ("soon", "deny", 0.0, 1.0),
    ("-1500", "deny", 0.0, 1.0),
])
def test_the_request_waits_before_its_outcome(store, enrolled, monkeypatch, delay, verify, at_least, at_most):
    monkeypatch.setenv("BIOMETRIC_STANDIN_DELAY_MS", delay)
    set_verify(monkeypatch, verify)
    start = time.monotonic()
    try:
        biometric.authenticate("existing", b"x")
    except RuntimeError:
        pass
    waited = time.monotonic() - start
    assert at_least <= waited < at_most


def default_sigint():
    # A background job's shell ignores SIGINT for its children, and Python then keeps it
    # ignored: the child gets the default back, so that it installs its handler.
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def run_with_terminal(code, store, answers, controlling=True, signals=()):
    """Runs `code` in a fresh interpreter whose controlling terminal is a pseudo-terminal
    (none at all when not `controlling`), answers each question that appears on it in
    turn (after sending it `signals`), and returns what the terminal showed and what the
    program wrote to stdout. Standard input holds a "yes" that must answer nothing."""
    master, slave = pty.openpty()

    def take_terminal():  # in the child, after setsid()
        default_sigint()
        if controlling:
            fcntl.ioctl(slave, termios.TIOCSCTTY, 0)

    env = dict(os.environ, BIOMETRIC_STANDIN_STORE=str(store), BIOMETRIC_STANDIN_VERIFY="prompt")
    env.pop("BIOMETRIC_STANDIN_DELAY_MS", None)
    stdin, typed_ahead = os.pipe()
    os.write(typed_ahead, b"yes\n" * 4)
    os.close(typed_ahead)
    process = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(code)], env=env, start_new_session=True,
        preexec_fn=take_terminal, pass_fds=(slave,),
        stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
    )
    os.close(slave)
    os.close(stdin)
    shown = b""
    try:
        for answer in answers:
            while not shown.endswith(b"[y/N] "):
                ready, _, _ = select.select([master], [], [], 60)
                assert ready, f"no question on the terminal: {shown!r}"
                shown += os.read(master, 4096)
            for number in signals:
                process.send_signal(number)
                time.sleep(0.2)
            if answer is None:  # the program is not asking any more
                continue
            os.write(master, answer.encode() + b"\n")
            shown += b"|"  # marks where each answer was typed
        stdout, stderr = process.communicate(timeout=120)
        assert process.returncode == 0, stderr
        while select.select([master], [], [], 0)[0]:
            try:
                chunk = os.read(master, 4096)
            except OSError:  # the terminal has no other end any more
                break
            if not chunk:
                break
            shown += chunk
    finally:
        if process.poll() is None:
            process.kill()
        os.close(master)
    return shown.decode(), stdout.decode()


SETUP_THEN_AUTHENTICATE = """
    import biometric
    for call in (lambda: biometric.setup("alice"), lambda: len(biometric.authenticate("alice", b"nonce"))):
        try:
            print(call())
        except RuntimeError as error:
            print(error)
    """
CREATE_QUESTION = "biometric stand-in: allow creating a credential for 'alice'? [y/N] "
SIGN_QUESTION = "biometric stand-in: allow signing with 'alice'? [y/N] "


@pytest.mark.parametrize("answers, shown, printed", [
    (["y", "yes"], [CREATE_QUESTION, "y\r\n", SIGN_QUESTION, "yes\r\n"], ["True", "256"]),
    (["Y", "n"], [CREATE_QUESTION, "Y\r\n", SIGN_QUESTION, "n\r\n"],
     ["True", "Authentication failed with error code: 3"]),
    # Opening asks no one: with no credential made there is nothing to sign with.
    (["no"], [CREATE_QUESTION, "no\r\n"],
     ["Setup failed with error code: 3", "Authentication failed with error code: 2"]),
    ([""], [CREATE_QUESTION, "\r\n"],
     ["Setup failed with error code: 3", "Authentication failed with error code: 2"]),
])
def test_prompt_asks_on_the_terminal(store, answers, shown, printed):
    terminal, stdout = run_with_terminal(SETUP_THEN_AUTHENTICATE, store, answers)
    assert terminal.replace("|", "") == "".join(shown)
    assert stdout.splitlines() == printed
    assert standin_keys.key_file("alice", store).exists() == (printed[0] == "True")


def test_prompt_without_a_terminal_is_canceled_at_once(store):
    start = time.monotonic()
    terminal, stdout = run_with_terminal(SETUP_THEN_AUTHENTICATE, store, [], controlling=False)
    assert time.monotonic() - start < 30
    assert terminal == ""
    assert stdout.splitlines() == ["Setup failed with error code: 3", "Authentication failed with error code: 2"]
    assert not store.exists()


SIGNALS = """
    import signal, biometric
    caught = []
    for number in (signal.SIGWINCH, signal.SIGCHLD):
        signal.signal(number, lambda n, frame: caught.append(signal.Signals(n).name))
    try:
        try:
            print(biometric.setup("alice"))
        except RuntimeError as error:
            print(error)
    except KeyboardInterrupt:
        print("KeyboardInterrupt")
    print(*sorted(caught))
    """


@pytest.mark.parametrize("signals, answer, printed", [
    # A terminal resize or a child's exit is no answer: the question waits on, and the
    # program's handlers still run.
    ([signal.SIGWINCH, signal.SIGCHLD], "y", ["True", "SIGCHLD SIGWINCH"]),
    # Ctrl-C cancels, and the program still gets its KeyboardInterrupt.
    ([signal.SIGINT], None, ["KeyboardInterrupt", ""]),
])
def test_prompt_under_signals(store, signals, answer, printed):
    terminal, stdout = run_with_terminal(SIGNALS, store, [answer], signals=signals)
    assert terminal.startswith(CREATE_QUESTION)
    assert stdout.splitlines() == printed
    assert standin_keys.key_file("alice", store).exists() == (printed[0] == "True")


@pytest.mark.parametrize("call", ["biometric.setup('bob')", "biometric.authenticate('existing', b'x')"])
def test_ctrl_c_ends_the_delay_with_nothing_done(store, enrolled, call):
    # The call raises the KeyboardInterrupt of the handler, with nothing done.
    code = f"""
        import time, biometric
        start = time.monotonic()
        try:
            try:
                {call}
                print("done")
            except RuntimeError as error:
                print(error)
        except KeyboardInterrupt:
            print("KeyboardInterrupt", time.monotonic() - start < 2.5)
        """
    env = dict(os.environ, BIOMETRIC_STANDIN_STORE=str(store), BIOMETRIC_STANDIN_DELAY_MS="5000")
    process = subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)], env=env, text=True,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, preexec_fn=default_sigint)
    time.sleep(1.0)
    process.send_signal(signal.SIGINT)
    stdout, stderr = process.communicate(timeout=60)
    assert stdout == "KeyboardInterrupt True\n", stderr
    assert not standin_keys.key_file("bob", store).exists()


@pytest.mark.parametrize("answer, printed", [("y", "verified"), ("no", "canceled")])
def test_verify_user_prompt_shows_the_message(store, answer, printed):
    code = """
        import biometric_keys
        print(biometric_keys.verify_user("Unlock the\\nvault", window=5))
        """
    terminal, stdout = run_with_terminal(code, store, [answer])
    assert terminal.startswith("biometric stand-in: verify the user for 'Unlock the\\nvault'? [y/N] ")
    assert stdout == printed + "\n"
