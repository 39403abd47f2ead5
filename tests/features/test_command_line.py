"""python -m biometric_keys, as installed, on the stand-in: status for every availability
and platform choice, install-policy."""
import os
import stat
import subprocess
import sys

import pytest


@pytest.fixture(autouse=True)
def _on_the_standin(standin):
    pass


def run(*args, **env):
    return subprocess.run([sys.executable, "-m", "biometric_keys", *args], env=dict(os.environ, **env),
                          capture_output=True, text=True, timeout=60)


@pytest.mark.parametrize("env, code, expected", [
    ({}, 0, "platform: standin\navailability: available\n"),
    # The TPM platform where its key service is not: what to run, in words.
    ({"BIOMETRIC_PLATFORM": "tpm", "DBUS_SYSTEM_BUS_ADDRESS": "unix:path=/nonexistent/bus"}, 1,
     "platform: tpm\navailability: not_configured_for_user\nreason: the key service biometric-keyd is not installed "
     "or does not answer (system bus unix:path=/nonexistent/bus: No such file or directory): run "
     f"`sudo {sys.executable} -m biometric_keys install-service`\n"),
    # A value that names no platform chooses none, and says so.
    ({"BIOMETRIC_PLATFORM": "tmp"}, 1,
     'platform: none\nreason: BIOMETRIC_PLATFORM is "tmp": it names no platform of this system ("tpm" or "standin")\n'
     'what to do: '),
])
def test_status(env, code, expected):
    result = run("status", **env)
    assert (result.returncode, result.stdout[:len(expected)]) == (code, expected), result.stderr


NOTHING_VERIFIES = not (os.path.exists("/dev/tpmrm0") or os.path.exists("/dev/tpm0")
                        or os.path.exists("/usr/share/dbus-1/system-services/org.biometric.KeyCredentials1.service"))


@pytest.mark.skipif(not NOTHING_VERIFIES, reason="this machine has a TPM or the key service")
@pytest.mark.parametrize("choice, warnings", [("", 1), ("standin", 0)])
def test_the_stand_in_nobody_chose_warns_once_and_fails_status(choice, warnings):
    env = {"BIOMETRIC_PLATFORM": choice, "DBUS_SYSTEM_BUS_ADDRESS": "unix:path=/nonexistent/bus"}
    code = "import biometric, biometric_keys as k; k.platform(); k.availability(); biometric.setup('w')"
    result = subprocess.run([sys.executable, "-W", "always", "-c", code], env=dict(os.environ, **env),
                            capture_output=True, text=True, timeout=60)
    assert result.stderr.count("RuntimeWarning: no platform that verifies users is here") == warnings, result.stderr
    status = run("status", **env)
    assert (status.returncode, "\nwarning: no platform that verifies users" in status.stdout) == (
        warnings, bool(warnings)), status.stdout


@pytest.mark.parametrize("availability", ["available", "device_not_present", "not_configured_for_user",
                                          "disabled_by_policy", "device_busy"])
def test_status_gives_a_reason_and_advice_for_every_availability(availability):
    result = run("status", BIOMETRIC_STANDIN_AVAILABILITY=availability)
    lines = result.stdout.splitlines()
    assert lines[1] == f"availability: {availability}" and result.returncode == (availability != "available")
    assert [line.split(":")[0] for line in lines[2:]] == ["reason", "what to do"], result.stdout


def test_install_policy_failing_says_where_in_one_line(tmp_path):
    (tmp_path / "file").write_text("")
    result = run("install-policy", "--directory", str(tmp_path / "file" / "actions"))
    assert result.returncode == 1 and result.stdout == ""
    assert result.stderr.startswith("install-policy: ") and result.stderr.count("\n") == 1, result.stderr
    assert str(tmp_path / "file") in result.stderr


# Every call of biometric_keys fails with the reason and E_INVALIDARG, platform() too;
# biometric's texts are as they were.
@pytest.mark.parametrize("value", ["STANDIN", " standin", "bogus"])
def test_a_platform_variable_that_names_none_fails_every_call(value):
    code = """if True:
        import biometric, biometric_keys as k
        for call, args in [(k.platform, ()), (k.is_supported, ()), (k.seal, ("a", b"s")), (biometric.setup, ("a",))]:
            try:
                call(*args)
            except RuntimeError as error:
                print(type(error).__name__, getattr(error, "code", None), error)
    """
    result = subprocess.run([sys.executable, "-c", code], env=dict(os.environ, BIOMETRIC_PLATFORM=value),
                            capture_output=True, text=True, timeout=60)
    reason = f'BIOMETRIC_PLATFORM is "{value}": it names no platform of this system ("tpm" or "standin").'
    assert result.stdout.splitlines() == [
        f"KeyCredentialError -2147024809 {reason} {operation} failed with error code: -2147024809"
        for operation in ("Platform choice", "Support check", "Seal")
    ] + ["RuntimeError None Setup failed with error code: -2147024809"], result.stderr


def test_install_policy_is_idempotent_and_uninstalls(tmp_path):
    directory = str(tmp_path / "actions")
    policy = tmp_path / "actions" / "org.biometric.verify.policy"
    outputs = [run("install-policy", "--directory", directory, *extra).stdout.split(" ", 1)[0]
               for extra in ([], [], ["--uninstall"], ["--uninstall"])]
    assert outputs == ["installed", policy.as_posix(), "removed", policy.as_posix()]
    run("install-policy", "--directory", directory)
    assert stat.S_IMODE(policy.stat().st_mode) == 0o644
    assert '<action id="org.biometric.verify">' in policy.read_text()
    assert "<allow_any>auth_self</allow_any>" in policy.read_text()
    assert sorted(p.name for p in policy.parent.iterdir()) == [policy.name]


def test_status_names_an_old_in_process_tpm_store_to_enrol_again(tmp_path):
    old = tmp_path / "tpm"
    old.mkdir()
    (old / "bob.key").write_bytes(b"a key of the in-process platform")
    result = run("status", BIOMETRIC_PLATFORM="tpm", BIOMETRIC_TPM_STORE=str(old),
                 DBUS_SYSTEM_BUS_ADDRESS="unix:path=/nonexistent/bus")
    lines = result.stdout.splitlines()
    assert "key service reachable: no" in lines and result.returncode == 1, result.stdout
    assert [line for line in lines if line.startswith("old keys: ")] == [
        f"old keys: {old} holds keys of the earlier in-process TPM platform, which nothing protected; they are not "
        "used: enrol those credentials again, then delete the directory"], result.stdout
