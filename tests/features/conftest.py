"""The features every platform holds, tested once: `platform` runs a Python snippet against
each platform this machine has, with a user who confirms every prompt, and returns what it
printed (a non-zero exit fails the test with its output). A platform that is not here is
skipped: the stand-in where its installed module is importable (not on Windows), the TPM
beside the fixture of scripts/tpm_fixture.sh (tests/tpm_python/tpm_terminal.py), Windows
in CPython for Windows with the test doubles (tests/windows_python/windows_doubles.py).

What only one platform shows, beside the table, runs in this process with `store` (the
installed stand-in and a key store of its own) or `doubles` (the Windows test doubles),
which skip where that platform is not the one here."""
import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import pytest

TESTS = Path(__file__).resolve().parents[1]
ROOT = TESTS.parent
sys.path.insert(0, str(ROOT / "examples"))  # standin_keys: the stand-in's key files, as a test reads them


class Standin:
    name = "standin"

    def __init__(self, store):
        self.store = store
        self.env = dict(os.environ, BIOMETRIC_PLATFORM="standin", BIOMETRIC_STANDIN_STORE=str(store),
                        BIOMETRIC_STANDIN_VERIFY="allow")

    def run(self, snippet):
        result = subprocess.run([sys.executable, "-c", snippet], env=self.env, capture_output=True, text=True,
                                timeout=120)
        assert result.returncode == 0, result.stdout + result.stderr
        return result.stdout


class Tpm:
    name = "tpm"
    # Where the key service keeps each user's credentials (a directory per uid).
    STATE = Path("/var/lib/biometric")

    def __init__(self, fixture, store):
        self.fixture, self.store = fixture, store

    def forget_credentials(self):
        """The test user starts with no credentials: the service keeps them between tests."""
        import pwd
        directory = self.STATE / str(pwd.getpwnam(self.fixture.user).pw_uid)
        for key_file in directory.glob("*") if directory.is_dir() else ():
            key_file.unlink()

    def run(self, snippet):
        from tpm_terminal import FINGER_PROMPT, UserTerminal, platform_env
        # What the snippet prints goes to a file of the user's: polkit's agent writes its
        # prompts on the same terminal.
        printed = self.store / "printed.txt"
        wrapped = f"import sys\nsys.stdout = open({str(printed)!r}, 'w', buffering=1)\n" + snippet
        terminal = UserTerminal.python(self.fixture, wrapped, env=platform_env(self.fixture, self.store))
        try:
            while True:  # the enrolled finger on the reader at each prompt, until the program ends
                try:
                    terminal.expect(FINGER_PROMPT, timeout=30)
                except AssertionError:
                    break
                terminal.scan("finger-A")
            assert terminal.finish(timeout=60) == 0, terminal.output
            return printed.read_text()
        finally:
            terminal.close()
            printed.unlink(missing_ok=True)


class Windows:
    name = "windows"

    def run(self, snippet):
        from windows_doubles import run_python
        # Whatever the snippet did, it left no platform object alive.
        result = run_python("doubles.control.real_keys = True\n" + snippet
                            + "\ndoubles.settle()\nassert doubles.control.live_objects == 0, 'objects left'\n")
        assert result.returncode == 0, result.stdout + result.stderr
        return result.stdout


@pytest.fixture(params=["standin", "tpm", "windows"])
def platform(request, tmp_path):
    if request.param == "standin":
        if not standin_here():
            pytest.skip(NO_STANDIN)
        yield Standin(tmp_path / "store")
    elif request.param == "tpm":
        # Also asked: the modules the stage copied for the test user.
        if sys.platform != "linux" or not os.environ.get("BIOMETRIC_TPM_TEST_MODULES"):
            pytest.skip("no TPM fixture here (scripts/test.d/45-linux-tpm.sh runs this suite beside one)")
        sys.path.insert(0, str(TESTS / "tpm_python"))
        import tpm_terminal
        fixture = tpm_terminal.read_fixture()
        with tpm_terminal.user_store(fixture) as store:
            tpm = Tpm(fixture, store)
            tpm.forget_credentials()
            yield tpm
            tpm.forget_credentials()
    else:
        if sys.platform != "win32" or "BIOMETRIC_DOUBLES" not in os.environ:
            pytest.skip("Windows only, with the test doubles (scripts/test.d/60-windows-python.sh)")
        sys.path.insert(0, str(TESTS / "windows_python"))
        yield Windows()


NO_STANDIN = "no installed stand-in here (it is the Linux modules' platform in this process)"


def standin_here():
    return sys.platform != "win32" and importlib.util.find_spec("biometric_keys") is not None


@pytest.fixture
def standin(monkeypatch):
    """The installed stand-in in this process, with no simulated user's settings."""
    if not standin_here():
        pytest.skip(NO_STANDIN)
    monkeypatch.setenv("BIOMETRIC_PLATFORM", "standin")
    for name in ("BIOMETRIC_STANDIN_VERIFY", "BIOMETRIC_STANDIN_DELAY_MS", "BIOMETRIC_STANDIN_AVAILABILITY"):
        monkeypatch.delenv(name, raising=False)
    return monkeypatch


@pytest.fixture
def store(standin, tmp_path):
    """The stand-in's key store for this test (not made yet)."""
    standin.setenv("BIOMETRIC_STANDIN_STORE", str(tmp_path / "store"))
    return tmp_path / "store"


@pytest.fixture
def doubles():
    """The Windows test doubles that the installed module in this process calls, reset."""
    if sys.platform != "win32" or "BIOMETRIC_DOUBLES" not in os.environ:
        pytest.skip("Windows only, with the test doubles (scripts/test.d/60-windows-python.sh)")
    sys.path.insert(0, str(TESTS / "windows_python"))
    from windows_doubles import Doubles
    d = Doubles()
    d.reset()
    yield d
    d.settle()
    d.reset()
