"""python -m biometric_keys: what this machine offers, and the setup the TPM platform needs.

    python -m biometric_keys status
    sudo python -m biometric_keys install-policy [--uninstall]
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile

import biometric_keys
from biometric_keys import _native

ACTION_ID = "org.biometric.verify"
ACTIONS_DIRECTORY = "/usr/share/polkit-1/actions"

# Every use of a key asks the user to prove who they are: auth_self, never kept.
ACTION_FILE = f"""<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE policyconfig PUBLIC "-//freedesktop//DTD PolicyKit Policy Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/PolicyKit/1/policyconfig.dtd">
<policyconfig>
  <vendor>biometric</vendor>
  <action id="{ACTION_ID}">
    <description>Use a key credential</description>
    <message>Authentication is required to use a key credential</message>
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
        "As root: `python3 -m biometric_keys install-policy`, and `usermod -aG tss USER` (then log in again)."
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
        return reason
    if platform == "standin" and availability not in (None, "available"):
        return f"BIOMETRIC_STANDIN_AVAILABILITY is {os.environ.get('BIOMETRIC_STANDIN_AVAILABILITY', '')!r}"
    return REASONS.get((platform, availability or ""), "")


def status() -> int:
    try:
        platform = biometric_keys.platform()
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
        print(f"what to do: {advice}")
    return 0 if availability == "available" else 1


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
    arguments = parser.parse_args(argv)
    if arguments.command == "status":
        return status()
    if sys.platform != "linux":
        print("install-policy: polkit's action is for the TPM platform on Linux", file=sys.stderr)
        return 1
    try:
        return install_policy(arguments.directory, arguments.uninstall)
    except PermissionError as error:
        print(f"{error.strerror}: {error.filename}: run it as root (sudo)", file=sys.stderr)
        return 1
    except OSError as error:
        # One line, never a traceback: what failed, on which path.
        where = error.filename or arguments.directory
        print(f"install-policy: {error.strerror or error}: {where}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
