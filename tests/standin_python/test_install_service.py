"""install-service into a directory of its own: what it writes, again, and what removing leaves."""
import os
import stat
import subprocess
import sys

import pytest

_service = pytest.importorskip("biometric_keys._service")

FILES = {
    # path: (mode, a line the file must have)
    _service.EXECUTABLE: (0o755, None),
    _service.CONFIG_FILE: (0o644, "tcti=swtpm:port=2321"),
    _service.BUS_POLICY: (0o644, f'<policy user="{_service.SERVICE_USER}">'),
    _service.ACTIVATION_FILE: (0o644, f"User={_service.SERVICE_USER}"),
    _service.ACTION_FILE_PATH: (0o644, '<action id="org.biometric.verify"/>'),
    _service.SYSTEMD_UNIT: (0o644, "CapabilityBoundingSet="),
}


class FakeSystem:
    def __init__(self, systemd):
        self.calls = []
        self.system = _service.System(self.ensure_user, lambda: self.calls.append("remove_user"),
                                      lambda systemd: self.calls.append("reload") or [], systemd)

    def ensure_user(self):
        self.calls.append("ensure_user")
        return os.getuid(), os.getgid()


def installation(root, systemd, said):
    fake = FakeSystem(systemd)
    return _service.Installation(str(root), fake.system, said.append), fake


@pytest.fixture
def executable(tmp_path):
    path = tmp_path / "keyd"
    path.write_bytes(b"\x7fELF service")
    return path


def tree(root):
    return sorted(str(p.relative_to(root)) for p in root.rglob("*") if not p.is_dir())


@pytest.mark.parametrize("systemd", [True, False])
def test_install_writes_each_file_once_and_uninstall_removes_them_keeping_the_keys(tmp_path, executable, systemd):
    root = tmp_path / "root"
    libraries = tmp_path / "biometric.libs"  # as auditwheel leaves them beside the package
    libraries.mkdir()
    (libraries / "libcrypto-new.so.3").write_bytes(b"\x7fELF library")
    stale = root / _service.LIBRARIES.lstrip("/") / "libcrypto-old.so.3"  # an earlier wheel's
    stale.parent.mkdir(parents=True)
    stale.write_bytes(b"old")
    said = []
    install, fake = installation(root, systemd, said)
    install.install("swtpm:port=2321", executable, "<action id=\"org.biometric.verify\"/>\n", libraries)
    expected = {path: spec for path, spec in FILES.items() if systemd or path != _service.SYSTEMD_UNIT}
    expected[f"{_service.LIBRARIES}/libcrypto-new.so.3"] = (0o644, None)
    for path, (mode, line) in expected.items():
        written = root / path.lstrip("/")
        assert stat.S_IMODE(written.stat().st_mode) == mode, path
        assert line is None or line in written.read_text(), path
    assert (f"SystemdService={_service.UNIT_NAME}" in (root / _service.ACTIVATION_FILE.lstrip("/")).read_text()) \
        == systemd
    assert (f"Exec={root}{_service.EXECUTABLE} --idle-exit --config {root}{_service.CONFIG_FILE} --state-dir "
            f"{root}{_service.STATE_DIRECTORY}\n") in (root / _service.ACTIVATION_FILE.lstrip("/")).read_text()
    state = root / _service.STATE_DIRECTORY.lstrip("/")
    assert stat.S_IMODE(state.stat().st_mode) == 0o700
    assert tree(root) == sorted(p.lstrip("/") for p in expected)

    said.clear()
    install.install("swtpm:port=2321", executable, "<action id=\"org.biometric.verify\"/>\n", libraries)
    assert [line for line in said if line.startswith("installed ")] == []

    (state / "1000").mkdir()
    install.uninstall(purge=False)
    assert tree(root) == [] and (state / "1000").is_dir()
    assert not (root / "etc" / "biometric").exists()
    install.uninstall(purge=True)
    assert not state.exists()
    assert fake.calls == ["ensure_user", "reload", "ensure_user", "reload", "reload", "remove_user", "reload"]


@pytest.mark.parametrize("tcti", ["", "device:/dev/tpmrm0\nevil=1", "a\0b"])
def test_a_bad_tcti_changes_nothing(tmp_path, executable, tcti):
    install, fake = installation(tmp_path / "root", True, [])
    with pytest.raises(ValueError):
        install.install(tcti, executable, "")
    assert not (tmp_path / "root").exists() and fake.calls == []


@pytest.mark.parametrize("args, code, message", [
    (["--executable", "/nonexistent/keyd"], 1, "/nonexistent/keyd is missing"),
    (["--purge"], 2, "--purge goes with --uninstall"),
])
def test_the_command_refuses_what_it_cannot_do_and_writes_nothing(tmp_path, args, code, message):
    result = subprocess.run([sys.executable, "-m", "biometric_keys", "install-service", *args],
                            env=dict(os.environ, BIOMETRIC_INSTALL_ROOT=str(tmp_path / "root")),
                            capture_output=True, text=True, timeout=60)
    assert (result.returncode, message in result.stderr) == (code, True), result.stderr
    assert not (tmp_path / "root").exists()
