"""python -m biometric_keys: what this machine offers, and the setup the TPM platform needs.

    python -m biometric_keys status
    sudo python -m biometric_keys install-service [--tcti TCTI] [--uninstall [--purge]]
    sudo python -m biometric_keys install-policy [--uninstall]
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import warnings
from pathlib import Path

import biometric_keys
from biometric_keys import _native

ACTION_ID = "org.biometric.verify"
ACTIONS_DIRECTORY = "/usr/share/polkit-1/actions"

# Every use of a key asks the user to prove who they are: auth_self, never kept. The key
# service's user owns the action: polkit takes the details it shows (the operation, the
# credential, the caller's message) only from root or an owner.
ACTION_FILE = f"""<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE policyconfig PUBLIC "-//freedesktop//DTD PolicyKit Policy Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/PolicyKit/1/policyconfig.dtd">
<policyconfig>
  <vendor>biometric</vendor>
  <action id="{ACTION_ID}">
    <description>Use a key credential</description>
    <message>Authentication is required to use a key credential</message>
    <annotate key="org.freedesktop.policykit.owner">unix-user:biometric-keyd</annotate>
    <defaults>
      <allow_any>auth_self</allow_any>
      <allow_inactive>auth_self</allow_inactive>
      <allow_active>auth_self</allow_active>
    </defaults>
  </action>
</policyconfig>
"""

_STANDIN_SIMULATES = (
    "The stand-in reports this availability because BIOMETRIC_STANDIN_AVAILABILITY says so (it simulates the "
    "platform for tests): unset it to have the stand-in available."
)
_WINDOWS_SIGN_IN_OPTIONS = "Settings > Accounts > Sign-in options"

# What to do, for every platform and availability.
ADVICE = {
    ("tpm", "available"): "Ready: every use of a key asks for the user's fingerprint or password.",
    ("tpm", "device_not_present"): (
        "Install the TPM libraries (Debian and Ubuntu: libtss2-esys-3.0.2-0 libtss2-tctildr0 "
        "libtss2-tcti-device0 libtss2-mu0) and make sure polkit runs; a machine without a TPM 2.0 cannot use this platform "
        "(BIOMETRIC_PLATFORM=standin chooses the stand-in, which verifies no one)."
    ),
    ("tpm", "not_configured_for_user"): (
        "As root, with this environment's interpreter: `sudo {python} -m biometric_keys install-service` (users need "
        "not be in tss)."
    ),
    ("tpm", "disabled_by_policy"): f"polkit's rules refuse this user the action {ACTION_ID}: ask the administrator.",
    ("tpm", "device_busy"): "The TPM is busy: try again in a moment.",
    ("windows", "available"): "Ready: every use of a key asks Windows Hello.",
    ("windows", "device_not_present"): (
        f"Connect a Windows Hello camera or fingerprint reader, or set up a PIN ({_WINDOWS_SIGN_IN_OPTIONS})."
    ),
    ("windows", "not_configured_for_user"): f"Set up Windows Hello for this user ({_WINDOWS_SIGN_IN_OPTIONS}).",
    ("windows", "disabled_by_policy"): "A group policy turns Windows Hello off: ask the administrator.",
    ("windows", "device_busy"): "The verification device is in use: try again in a moment.",
    ("standin", "available"): (
        "The stand-in keeps keys in files and verifies no one: for tests and development. On a machine with a "
        "TPM, BIOMETRIC_PLATFORM=tpm chooses the TPM platform."
    ),
    **{("standin", availability): _STANDIN_SIMULATES
       for availability in ("device_not_present", "not_configured_for_user", "disabled_by_policy", "device_busy")},
}

# Why, where the platform says nothing itself (the TPM platform always does).
REASONS = {
    ("windows", "available"): "Windows Hello is set up for this user",
    ("windows", "device_not_present"): "Windows Hello has no verification device (camera, reader or PIN)",
    ("windows", "not_configured_for_user"): "Windows Hello is not set up for this user",
    ("windows", "disabled_by_policy"): "a group policy disables Windows Hello",
    ("windows", "device_busy"): "the verification device is busy",
    ("standin", "available"): "the software stand-in is always available; it verifies no one",
}


def _reason(platform: str, availability: str | None) -> str:
    reason = _native._availability_reason()
    if reason:
        return reason.replace("<python>", sys.executable)
    if platform == "standin" and availability not in (None, "available"):
        return f"BIOMETRIC_STANDIN_AVAILABILITY is {os.environ.get('BIOMETRIC_STANDIN_AVAILABILITY', '')!r}"
    return REASONS.get((platform, availability or ""), "")


# Where the TPM platform kept keys when it ran in the program's own process: never
# protected (any code of the user's could sign with them), not adopted by the service.
def old_tpm_stores() -> list[Path]:
    candidates = []
    if os.environ.get("BIOMETRIC_TPM_STORE"):
        candidates.append(Path(os.environ["BIOMETRIC_TPM_STORE"]))
    if os.environ.get("XDG_DATA_HOME"):
        candidates.append(Path(os.environ["XDG_DATA_HOME"]) / "biometric" / "tpm")
    candidates.append(Path.home() / ".local" / "share" / "biometric" / "tpm")
    found = []
    for candidate in candidates:
        if candidate not in found and candidate.is_dir() and any(candidate.iterdir()):
            found.append(candidate)
    return found


def _service_lines(reason: str) -> list[str]:
    from biometric_keys import _service
    root = _service.install_root()
    activation = Path(root + _service.ACTIVATION_FILE if root not in ("", "/") else _service.ACTIVATION_FILE)
    lines = [f"key service: {'installed' if activation.exists() else 'not installed'} ({activation})"]
    unreachable = reason.startswith("the key service biometric-keyd is not installed or does not answer")
    lines.append(f"key service reachable: {'no' if unreachable else 'yes'}")
    for store in old_tpm_stores():
        lines.append(f"old keys: {store} holds keys of the earlier in-process TPM platform, which nothing protected; "
                     "they are not used: enrol those credentials again, then delete the directory")
    return lines


def status() -> int:
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", RuntimeWarning)
            platform = biometric_keys.platform()
        unchosen = [str(w.message) for w in caught if issubclass(w.category, RuntimeWarning)]
    except biometric_keys.KeyCredentialError:
        # A BIOMETRIC_PLATFORM that names no platform: none is chosen, and the reason says why.
        print("platform: none")
        print(f"reason: {_native._availability_reason()}")
        print("what to do: set BIOMETRIC_PLATFORM to a platform the reason names, or unset it to let the machine "
              "choose.")
        return 1
    print(f"platform: {platform}")
    availability: str | None
    try:
        availability = biometric_keys.availability()
    except RuntimeError as error:
        availability = None
        print(f"availability: unknown ({error})")
    else:
        print(f"availability: {availability}")
    reason = _reason(platform, availability)
    if reason:
        print(f"reason: {reason}")
    advice = ADVICE.get((platform, availability)) if availability is not None else None
    if advice:
        print(f"what to do: {advice.replace('{python}', sys.executable)}")
    if platform == "tpm":
        for line in _service_lines(reason):
            print(line)
    if unchosen:
        # Nobody chose the stand-in: a program would run unverified without knowing.
        print(f"warning: {unchosen[0]}")
        return 1
    return 0 if availability == "available" else 1


def install_service(arguments: argparse.Namespace) -> int:
    from biometric_keys import _service
    installation = _service.Installation(_service.install_root(), _service.real_system())
    if arguments.uninstall:
        return installation.uninstall(arguments.purge)
    if arguments.purge:
        print("install-service: --purge goes with --uninstall", file=sys.stderr)
        return 2
    executable = Path(arguments.executable) if arguments.executable else _service.PACKAGED_EXECUTABLE
    if not executable.is_file():
        print(f"install-service: {executable} is missing: this installation of biometric_keys has no service "
              "(a Linux wheel has it)", file=sys.stderr)
        return 1
    try:
        return installation.install(arguments.tcti, executable, ACTION_FILE, _service.PACKAGED_LIBRARIES)
    except ValueError as error:
        print(f"install-service: {error}", file=sys.stderr)
        return 2


def install_policy(directory: str, uninstall: bool) -> int:
    path = os.path.join(directory, ACTION_ID + ".policy")
    if uninstall:
        try:
            os.unlink(path)
        except FileNotFoundError:
            print(f"{path} is not installed")
            return 0
        print(f"removed {path}")
        return 0
    try:
        with open(path, encoding="utf-8") as existing:
            if existing.read() == ACTION_FILE:
                print(f"{path} is installed already")
                return 0
    except FileNotFoundError:
        pass
    # Written whole under another name and renamed: polkitd never reads half a file.
    os.makedirs(directory, mode=0o755, exist_ok=True)
    descriptor, temporary = tempfile.mkstemp(dir=directory, prefix=".biometric-", suffix=".tmp")
    try:
        with os.fdopen(descriptor, "w", encoding="utf-8") as out:
            out.write(ACTION_FILE)
        os.chmod(temporary, 0o644)
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise
    print(f"installed {path}")
    return 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m biometric_keys", description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="command", required=True)
    commands.add_parser("status", help="the platform, its availability, why, and what to do about it")
    install = commands.add_parser("install-policy", help=f"install polkit's action {ACTION_ID} (as root)")
    install.add_argument("--uninstall", action="store_true", help="remove it instead")
    install.add_argument("--directory", default=ACTIONS_DIRECTORY, help=argparse.SUPPRESS)
    service = commands.add_parser("install-service", help="install the key service biometric-keyd (as root, with "
                                                          "this environment's interpreter)")
    service.add_argument("--tcti", default="device:/dev/tpmrm0", help="how the service reaches the TPM "
                                                                     "(default: %(default)s)")
    service.add_argument("--uninstall", action="store_true", help="remove every file it wrote (keeps the keys)")
    service.add_argument("--purge", action="store_true", help="with --uninstall: also remove the keys and the "
                                                              "service's user")
    service.add_argument("--executable", help=argparse.SUPPRESS)
    arguments = parser.parse_args(argv)
    if arguments.command == "status":
        return status()
    if sys.platform != "linux":
        print(f"{arguments.command}: the key service and polkit's action are for the TPM platform on Linux",
              file=sys.stderr)
        return 1
    try:
        if arguments.command == "install-service":
            return install_service(arguments)
        return install_policy(arguments.directory, arguments.uninstall)
    except PermissionError as error:
        print(f"{error.strerror}: {error.filename}: run it as root (sudo)", file=sys.stderr)
        return 1
    except OSError as error:
        # One line, never a traceback: what failed, on which path.
        where = error.filename or getattr(arguments, "directory", "")
        print(f"{arguments.command}: {error.strerror or error}: {where}", file=sys.stderr)
        return 1
    except subprocess.CalledProcessError as error:
        print(f"{arguments.command}: {' '.join(error.cmd)} failed: {(error.stderr or '').strip()}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
