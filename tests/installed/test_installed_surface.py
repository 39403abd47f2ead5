"""The installed module's attributes and argument errors."""
import importlib.machinery

import pytest

import biometric
from argument_errors import ARGUMENT_ERRORS


def test_module_file_is_an_extension_of_this_interpreter():
    # On Windows: biometric.cp3XY-win_amd64.pyd, as named in the wheel.
    assert biometric.__file__.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))


def test_module_attributes():
    assert biometric.__all__ == ["setup", "authenticate"]
    assert isinstance(biometric.__doc__, str) and biometric.__doc__.strip()
    for name, signature in (("setup", "(name)"), ("authenticate", "(key_name, data)")):
        function = getattr(biometric, name)
        assert (function.__text_signature__, function.__doc__, function.__module__) == (signature, None, "biometric")
        assert function.__self__ is biometric


@pytest.mark.parametrize("function, args, kwargs, message", ARGUMENT_ERRORS)
def test_argument_errors(function, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        getattr(biometric, function)(*args, **kwargs)
    assert type(info.value) is TypeError
    assert info.value.args == (message,)


def test_the_platform_names_itself():
    import sys

    import biometric_keys
    # Off Windows the machine decides (a TPM resource manager, or BIOMETRIC_PLATFORM).
    assert biometric_keys.platform() in (("windows",) if sys.platform == "win32" else ("tpm", "standin"))


def test_the_command_line_tells_the_platform():
    import subprocess
    import sys

    import biometric_keys
    result = subprocess.run([sys.executable, "-m", "biometric_keys", "status"], capture_output=True, text=True,
                            timeout=60)
    assert result.stdout.startswith(f"platform: {biometric_keys.platform()}\navailability: "), result.stderr
