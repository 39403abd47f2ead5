"""The user verified without a key, and whether the platform can ask at all: verify_user
and availability on each platform with a user who confirms; then what the stand-in's
simulated user and the Windows doubles make of every other answer."""
import ctypes

import pytest

E_INVALIDARG = -2147024809
WINDOW = 0x1234


def test_a_user_who_confirms_is_verified(platform):
    output = platform.run('import biometric_keys as k\nprint(k.availability(), k.verify_user("Unlock the vault"))')
    assert output.splitlines()[-1] == "available verified"


@pytest.mark.parametrize("availability, verify, expected", [
    (None, None, "verified"), ("available", "deny", "canceled"), (None, "5", "retries_exhausted"),
    (None, "2", "not_configured_for_user"), ("device_busy", "allow", "device_busy"),
    ("disabled_by_policy", "prompt", "disabled_by_policy"),  # reported without asking anyone
    (None, "soon", RuntimeError("Verification failed with error code: 1")),
    ("elsewhere", None, RuntimeError(f"Verification failed with error code: {E_INVALIDARG}")),
])
def test_the_standins_availability_and_verify_user(standin, store, availability, verify, expected):
    import biometric_keys
    if availability is not None:
        standin.setenv("BIOMETRIC_STANDIN_AVAILABILITY", availability)
    if verify is not None:
        standin.setenv("BIOMETRIC_STANDIN_VERIFY", verify)
    if isinstance(expected, Exception):
        with pytest.raises(RuntimeError) as info:
            biometric_keys.verify_user("Unlock the vault")
        assert info.value.args == expected.args
        return
    assert biometric_keys.verify_user("Unlock the vault") == expected
    reported = availability or "available"
    if reported == "elsewhere":
        return
    assert biometric_keys.availability() == reported


def foreground_window():
    user32 = ctypes.windll.user32
    user32.GetForegroundWindow.restype = ctypes.c_void_p
    return user32.GetForegroundWindow() or 0


@pytest.mark.parametrize("value, name", [(4, "device_busy")])
def test_availability_names_the_windows_answer(doubles, value, name):
    import biometric_keys
    doubles.control.availability = value
    assert biometric_keys.availability() == name


@pytest.mark.parametrize("window", [WINDOW, None])
@pytest.mark.parametrize("value, name", [(0, "verified"), (6, "canceled")])
def test_verify_user_shows_the_message_owned_by_the_window(doubles, value, name, window):
    import biometric_keys
    doubles.control.verification = value
    assert biometric_keys.verify_user("Unlock the vault \u00e9", window=window) == name
    assert doubles.control.last_name == "Unlock the vault \u00e9"
    assert doubles.control.last_window == (WINDOW if window else foreground_window())
