"""Installs and removes the key service biometric-keyd (Linux): `install-service`.

The service's executable ships in this package (_libexec/biometric-keyd) and is copied to
a root-owned path: the bus starts it as its own system user, never from an environment a
user can write to. A repaired wheel (auditwheel) carries the libraries the executable
links in biometric.libs beside the package, found through a run path relative to the
executable; they are copied too, into the same layout under SERVICE_HOME. Every file written here is listed by `service_files`, so that
uninstalling removes exactly those; the keys (the state directory) and the service's user
stay unless purged. BIOMETRIC_INSTALL_ROOT prefixes every path (tests install into a
directory of their own).
"""

from __future__ import annotations

import dataclasses
import grp
import os
import pwd
import shutil
import signal
import subprocess
import tempfile
import time
from pathlib import Path
from typing import Callable

BUS_NAME = "org.biometric.KeyCredentials1"
SERVICE_USER = "biometric-keyd"
TPM_GROUP = "tss"
DEFAULT_TCTI = "device:/dev/tpmrm0"
UNIT_NAME = "biometric-keyd.service"

SERVICE_HOME = "/usr/local/lib/biometric-keyd"
EXECUTABLE = f"{SERVICE_HOME}/biometric_keys/_libexec/biometric-keyd"
LIBRARIES = f"{SERVICE_HOME}/biometric.libs"
CONFIG_FILE = "/etc/biometric/keyd.conf"
STATE_DIRECTORY = "/var/lib/biometric"
BUS_POLICY = f"/usr/share/dbus-1/system.d/{BUS_NAME}.conf"
ACTIVATION_FILE = f"/usr/share/dbus-1/system-services/{BUS_NAME}.service"
SYSTEMD_UNIT = f"/etc/systemd/system/{UNIT_NAME}"
ACTION_FILE_PATH = "/usr/share/polkit-1/actions/org.biometric.verify.policy"

PACKAGED_EXECUTABLE = Path(__file__).resolve().parent / "_libexec" / "biometric-keyd"
PACKAGED_LIBRARIES = Path(__file__).resolve().parents[1] / "biometric.libs"

# Only the service's user owns the name; everyone may call it (the service asks polkit).
BUS_POLICY_TEXT = f"""<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <policy user="{SERVICE_USER}">
    <allow own="{BUS_NAME}"/>
  </policy>
  <policy context="default">
    <allow send_destination="{BUS_NAME}" send_interface="{BUS_NAME}"/>
    <allow send_destination="{BUS_NAME}" send_interface="org.freedesktop.DBus.Introspectable"/>
    <allow send_destination="{BUS_NAME}" send_interface="org.freedesktop.DBus.Peer"/>
  </policy>
</busconfig>
"""


def activation_text(command: str, systemd: bool) -> str:
    # The bus's launch helper starts it as User=; where systemd runs, systemd does (the unit).
    lines = ["[D-BUS Service]", f"Name={BUS_NAME}", f"Exec={command}", f"User={SERVICE_USER}"]
    if systemd:
        lines.append(f"SystemdService={UNIT_NAME}")
    return "\n".join(lines) + "\n"


def unit_text(command: str) -> str:
    return f"""[Unit]
Description=biometric key credentials in the TPM, used after polkit verified the user

[Service]
Type=dbus
BusName={BUS_NAME}
ExecStart={command}
User={SERVICE_USER}
Group={SERVICE_USER}
SupplementaryGroups={TPM_GROUP}
StateDirectory=biometric
StateDirectoryMode=0700
NoNewPrivileges=yes
ProtectSystem=strict
ProtectHome=yes
PrivateTmp=yes
PrivateNetwork=yes
DevicePolicy=closed
DeviceAllow=/dev/tpmrm0 rw
CapabilityBoundingSet=
RestrictAddressFamilies=AF_UNIX
"""


def config_text(tcti: str) -> str:
    return f"tcti={tcti}\n"


@dataclasses.dataclass
class System:
    """What installing does to the machine beyond writing files: overridable for tests."""

    ensure_user: Callable[[], tuple[int, int]]  # the service's uid and gid, made if missing
    remove_user: Callable[[], None]
    reload: Callable[[bool], list[str]]  # asks the bus (and systemd) to reload; what failed
    systemd: bool


def _ensure_user() -> tuple[int, int]:
    try:
        entry = pwd.getpwnam(SERVICE_USER)
    except KeyError:
        command = ["useradd", "--system", "--user-group", "--no-create-home", "--home-dir", STATE_DIRECTORY,
                   "--shell", "/usr/sbin/nologin", "--comment", "biometric key service"]
        try:
            grp.getgrnam(TPM_GROUP)
        except KeyError:
            pass
        else:
            command += ["--groups", TPM_GROUP]
        subprocess.run([*command, SERVICE_USER], check=True, capture_output=True, text=True)
        entry = pwd.getpwnam(SERVICE_USER)
    return entry.pw_uid, entry.pw_gid


def _remove_user() -> None:
    try:
        pwd.getpwnam(SERVICE_USER)
    except KeyError:
        return
    subprocess.run(["userdel", SERVICE_USER], check=True, capture_output=True, text=True)


def _reload(systemd: bool) -> list[str]:
    commands = [["dbus-send", "--system", "--type=method_call", "--print-reply", "--dest=org.freedesktop.DBus", "/",
                 "org.freedesktop.DBus.ReloadConfig"]]
    if systemd:
        commands.insert(0, ["systemctl", "daemon-reload"])
    failed = []
    for command in commands:
        try:
            subprocess.run(command, check=True, capture_output=True, timeout=30)
        except (OSError, subprocess.SubprocessError):
            failed.append(" ".join(command))
    return failed


def real_system() -> System:
    return System(_ensure_user, _remove_user, _reload, os.path.isdir("/run/systemd/system"))


class Installation:
    def __init__(self, root: str, system: System, say: Callable[[str], None] = print) -> None:
        self.root = root
        self.system = system
        self.say = say

    def path(self, path: str) -> Path:
        return Path(self.root + path) if self.root not in ("", "/") else Path(path)

    def command(self) -> str:
        # Started by the bus, it ends after a minute idle; below a root of its own, it
        # reads its configuration and keeps its keys there too.
        command = f"{self.path(EXECUTABLE)} --idle-exit"
        if self.root not in ("", "/"):
            command += f" --config {self.path(CONFIG_FILE)} --state-dir {self.path(STATE_DIRECTORY)}"
        return command

    def files(self) -> list[str]:
        files = [EXECUTABLE, CONFIG_FILE, BUS_POLICY, ACTIVATION_FILE, ACTION_FILE_PATH]
        return files + [SYSTEMD_UNIT] if self.system.systemd else files

    def _write(self, path: str, data: bytes, mode: int) -> None:
        target = self.path(path)
        try:
            if target.read_bytes() == data and (target.stat().st_mode & 0o7777) == mode:
                self.say(f"{target} is installed already")
                return
        except FileNotFoundError:
            pass
        target.parent.mkdir(parents=True, exist_ok=True, mode=0o755)
        # Written whole under another name and renamed: nothing reads half a file.
        descriptor, temporary = tempfile.mkstemp(dir=target.parent, prefix=".biometric-", suffix=".tmp")
        try:
            with os.fdopen(descriptor, "wb") as out:
                out.write(data)
            os.chmod(temporary, mode)
            os.replace(temporary, target)
        except BaseException:
            os.unlink(temporary)
            raise
        self.say(f"installed {target}")

    def install(self, tcti: str, executable: Path, action_text: str, libraries: Path | None = None) -> int:
        if not tcti or "\n" in tcti or "\0" in tcti:
            raise ValueError(f"--tcti {tcti!r} is not a TCTI configuration")
        binary = executable.read_bytes()  # first: a missing executable changes nothing
        linked = {p.name: p.read_bytes() for p in sorted(libraries.iterdir())} if libraries and libraries.is_dir() else {}
        uid, gid = self.system.ensure_user()
        command = self.command()
        self._write(EXECUTABLE, binary, 0o755)
        for name, data in linked.items():
            self._write(f"{LIBRARIES}/{name}", data, 0o644)
        # Those of an earlier wheel (another hash in their names) go.
        installed_libraries = self.path(LIBRARIES)
        if installed_libraries.is_dir():
            for stale in installed_libraries.iterdir():
                if stale.name not in linked:
                    stale.unlink()
                    self.say(f"removed {stale}")
        self._write(CONFIG_FILE, config_text(tcti).encode(), 0o644)
        self._write(BUS_POLICY, BUS_POLICY_TEXT.encode(), 0o644)
        self._write(ACTIVATION_FILE, activation_text(command, self.system.systemd).encode(), 0o644)
        if self.system.systemd:
            self._write(SYSTEMD_UNIT, unit_text(command).encode(), 0o644)
        self._write(ACTION_FILE_PATH, action_text.encode(), 0o644)
        state = self.path(STATE_DIRECTORY)
        state.mkdir(parents=True, exist_ok=True, mode=0o700)
        os.chmod(state, 0o700)
        os.chown(state, uid, gid)
        self.say(f"state directory {state} (0700, {SERVICE_USER})")
        for command in self.system.reload(self.system.systemd):
            self.say(f"could not ask to reload: {command} (restart the bus, or reboot)")
        return 0

    def uninstall(self, purge: bool) -> int:
        installed = str(self.path(EXECUTABLE))
        for path in self.files():
            target = self.path(path)
            try:
                target.unlink()
            except FileNotFoundError:
                continue
            self.say(f"removed {target}")
        # The executable's own tree: nothing but what install wrote is in it.
        home = self.path(SERVICE_HOME)
        if home.exists():
            shutil.rmtree(home)
            self.say(f"removed {home}")
        try:
            self.path(CONFIG_FILE).parent.rmdir()
        except OSError:
            pass  # not empty (someone else's file), or gone
        self._stop_running(installed)
        if purge:
            state = self.path(STATE_DIRECTORY)
            if state.exists():
                shutil.rmtree(state)
                self.say(f"removed {state} and every key in it")
            self.system.remove_user()
        else:
            self.say(f"kept the keys in {self.path(STATE_DIRECTORY)} (--purge removes them)")
        for command in self.system.reload(self.system.systemd):
            self.say(f"could not ask to reload: {command}")
        return 0

    def _stop_running(self, executable: str) -> None:
        # The service started from the installed executable, by pid: it would otherwise
        # run until it is idle for a minute (and its user could not be removed meanwhile).
        stopped = []
        for pid in _running(executable):
            try:
                os.kill(pid, signal.SIGTERM)
            except ProcessLookupError:
                continue
            stopped.append(pid)
            self.say(f"stopping the running service (pid {pid})")
        deadline = time.monotonic() + 10
        while stopped and set(stopped) & set(_running(executable)) and time.monotonic() < deadline:
            time.sleep(0.05)


def _running(executable: str) -> list[int]:
    found = []
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            running = os.readlink(entry / "exe")
            # A zombie has ended: its parent (the bus) reaps it.
            state = (entry / "stat").read_text().rsplit(")", 1)[1].split()[0]
        except (OSError, IndexError):
            continue
        if running in (executable, executable + " (deleted)") and state != "Z":
            found.append(int(entry.name))
    return found


def install_root() -> str:
    return os.environ.get("BIOMETRIC_INSTALL_ROOT", "/")
