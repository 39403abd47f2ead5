"""What the tests of the Linux TPM platform (here and in tests/features) share: the fixture
of scripts/tpm_fixture.sh (a TPM simulator, a system bus, polkitd, fprintd's virtual
device, a test user with an enrolled finger), read from its env file, and that user's
terminal.

`UserTerminal` starts a program (or `.python(snippet)`) as the test user in a new pty that
is its controlling terminal, and offers what a person at that terminal does: read the
prompts, answer the password once the terminal stops echoing, put a finger on the reader,
press Ctrl-C. The built modules are found at $BIOMETRIC_TPM_TEST_MODULES, a directory the
test user can read, and run by $BIOMETRIC_TPM_TEST_PYTHON, an interpreter they can run.
"""

import fcntl
import os
import pwd
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import termios
import time
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path

import pytest

FIXTURE_DIR = Path(os.environ.get("TPM_FIXTURE_DIR", "/tmp/biometric-tpm-fixture"))


@dataclass(frozen=True)
class TpmFixture:
    user: str
    password: str
    tcti: str
    fprint_socket: str
    action: str
    user2: str  # another user, with no finger enrolled
    password2: str


def read_fixture() -> TpmFixture:
    env_file = FIXTURE_DIR / "env"
    if not env_file.exists():
        pytest.skip(f"no fixture: {env_file} is missing (scripts/tpm_fixture.sh sets it up)")
    values = dict(line.split("=", 1) for line in env_file.read_text().splitlines() if "=" in line)
    return TpmFixture(
        user=values["TPM_FIXTURE_USER"],
        password=values["TPM_FIXTURE_PASSWORD"],
        tcti=values["TPM_FIXTURE_TCTI"],
        fprint_socket=values["TPM_FIXTURE_FPRINT_SOCKET"],
        action=values["TPM_FIXTURE_ACTION"],
        user2=values["TPM_FIXTURE_USER2"],
        password2=values["TPM_FIXTURE_PASSWORD2"],
    )


class UserTerminal:
    """One program of the test user on a terminal of its own; its output is kept in `output`."""

    def __init__(self, fixture: TpmFixture, argv, *, controlling=True, env=None, user=None):
        self.fixture = fixture
        user = user or fixture.user
        self.output = ""
        self._seen = 0
        master, slave = os.openpty()
        self.master = master
        user_env = {
            "HOME": f"/home/{user}",
            "USER": user,
            "LOGNAME": user,
            "PATH": "/usr/local/bin:/usr/bin:/bin",
            "LANG": "C.UTF-8",
            "TERM": "xterm",
            "PYTHONPATH": os.environ.get("BIOMETRIC_TPM_TEST_MODULES", ""),
            "TPM_FIXTURE_ACTION": fixture.action,
            "TPM_FIXTURE_TCTI": fixture.tcti,
        }
        user_env.update(env or {})

        def take_terminal():
            # A session of its own, with the pty as its controlling terminal (or none).
            if controlling:
                fcntl.ioctl(0, termios.TIOCSCTTY, 0)

        self.process = subprocess.Popen(
            ["setpriv", f"--reuid={user}", f"--regid={user}", "--init-groups", "--", *argv],
            stdin=slave, stdout=slave, stderr=slave, env=user_env, cwd="/",
            start_new_session=True, preexec_fn=take_terminal)
        os.close(slave)

    @classmethod
    def python(cls, fixture, snippet, **kwargs):
        """The snippet in the interpreter the test user can run ($BIOMETRIC_TPM_TEST_PYTHON)."""
        python = os.environ.get("BIOMETRIC_TPM_TEST_PYTHON", sys.executable)
        # A copy's libpython is beside it, not where the original's run path points.
        env = {"LD_LIBRARY_PATH": str(Path(python).parent.parent / "lib"), **kwargs.pop("env", {})}
        return cls(fixture, [python, "-c", snippet], env=env, **kwargs)

    def _read(self, timeout):
        ready, _, _ = select.select([self.master], [], [], timeout)
        if not ready:
            return False
        try:
            data = os.read(self.master, 4096)
        except OSError:  # EIO: every process of the terminal has gone
            data = b""
        if not data:
            return None
        self.output += data.decode(errors="replace")
        return True

    def expect(self, pattern, timeout=15.0):
        """Waits for `pattern` (a regular expression) in output not yet matched."""
        deadline = time.monotonic() + timeout
        while True:
            match = re.compile(pattern).search(self.output, self._seen)
            if match:
                self._seen = match.end()
                return match
            left = deadline - time.monotonic()
            if left <= 0 or self._read(left) is None:
                raise AssertionError(f"no {pattern!r} within {timeout} s; output:\n{self.output}")

    def echo_off(self):
        return not termios.tcgetattr(self.master)[3] & termios.ECHO

    def answer_password(self, password, timeout=15.0):
        """At the "Password:" prompt, once the agent turned echo off (it flushes what came
        before), types the password."""
        self.expect(r"Password:", timeout)
        deadline = time.monotonic() + timeout
        while not self.echo_off():
            assert time.monotonic() < deadline, f"echo stayed on; output:\n{self.output}"
            time.sleep(0.01)
        os.write(self.master, password.encode() + b"\n")

    def scan(self, finger="finger-A"):
        """A finger on fprintd's virtual reader: finger-A is the enrolled one."""
        with socket.socket(socket.AF_UNIX) as s:
            s.connect(self.fixture.fprint_socket)
            s.sendall(f"SCAN {finger}\n".encode())

    def ctrl_c(self):
        os.write(self.master, b"\x03")

    def finish(self, timeout=20.0):
        """Waits for the program to end; its exit code (the output is in `output`)."""
        deadline = time.monotonic() + timeout
        while self._read(max(0.0, min(0.2, deadline - time.monotonic()))) is not None:
            if self.process.poll() is not None and not self._read(0.05):
                break
            assert time.monotonic() < deadline, f"still running after {timeout} s; output:\n{self.output}"
        return self.process.wait(timeout=max(0.1, deadline - time.monotonic()))

    def close(self):
        """Nothing of the session outlives the test: every process of it, in any of its
        process groups, is killed; ours is reaped."""
        for pid in _session_processes(self.process.pid):
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        self.process.wait()
        os.close(self.master)


def _session_processes(sid):
    found = []
    for entry in Path("/proc").iterdir():
        try:
            # Field 6 of stat, counted after the command's closing parenthesis.
            if entry.name.isdigit() and int((entry / "stat").read_text().rsplit(")", 1)[1].split()[3]) == sid:
                found.append(int(entry.name))
        except (OSError, IndexError, ValueError):
            continue
    return found


def user_processes(fixture, name):
    """The pids of the test user's processes called `name`."""
    uid = int(subprocess.check_output(["id", "-u", fixture.user]))
    found = []
    for entry in Path("/proc").iterdir():
        try:
            # A zombie has ended (this container's init reaps no orphan).
            if (entry.name.isdigit() and (entry / "comm").read_text().strip() == name and entry.stat().st_uid == uid
                    and (entry / "stat").read_text().rsplit(")", 1)[1].split()[0] != "Z"):
                found.append(int(entry.name))
        except OSError:
            continue
    return found


def platform_env(fixture, store, **extra):
    """The TPM platform: the key service keeps the keys (`store` is an empty directory of
    the user's, where the earlier in-process platform kept them: nothing lands there)."""
    return {"BIOMETRIC_PLATFORM": "tpm", "BIOMETRIC_TPM_STORE": str(store), **extra}


@contextmanager
def user_store(fixture):
    """A key store of the test user's, outside root's closed temporary directories."""
    directory = Path(tempfile.mkdtemp(prefix="biometric-tpm-store-"))
    user = pwd.getpwnam(fixture.user)
    os.chown(directory, user.pw_uid, user.pw_gid)
    try:
        yield directory
    finally:
        shutil.rmtree(directory)


# One match per prompt: the text names the finger and the reader.
FINGER_PROMPT = r"Swipe your [a-z ]+ finger across the fingerprint reader"
