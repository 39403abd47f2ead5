"""The module object: attributes, one module per process, one interpreter."""
import ctypes
import sys

import pytest

import biometric
from conftest import run_python


def test_module_attributes():
    assert biometric.__all__ == ["setup", "authenticate"]
    assert biometric.__name__ == "biometric"
    assert isinstance(biometric.__doc__, str) and biometric.__doc__.strip()


@pytest.mark.parametrize("name, signature", [("setup", "(name)"), ("authenticate", "(key_name, data)")])
def test_function_attributes(name, signature):
    function = getattr(biometric, name)
    assert function.__name__ == name
    assert function.__text_signature__ == signature
    assert function.__doc__ is None
    assert function.__self__ is biometric
    assert function.__module__ == "biometric"


def test_second_init_returns_the_same_module():
    init = ctypes.PyDLL(biometric.__file__).PyInit_biometric
    init.restype = ctypes.py_object
    again = init()
    assert again is biometric
    assert again.setup is biometric.setup
    assert biometric.__all__ == ["setup", "authenticate"]


def test_reimport_after_removal_from_sys_modules_is_the_same_module():
    result = run_python(
        """
        first = biometric
        del sys.modules["biometric"]
        import biometric as second
        print(second is first, second.__all__)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "True ['setup', 'authenticate']\n"


def test_legacy_subinterpreter_is_refused(tmp_path):
    out = tmp_path / "out.txt"
    code = (
        "try:\n"
        "    import biometric\n"
        "    text = 'imported'\n"
        "except ImportError as e:\n"
        "    text = type(e).__name__ + ': ' + str(e)\n"
        f"open({str(out)!r}, 'w').write(text)\n"
    )
    result = run_python(
        f"""
        import _testcapi
        print(_testcapi.run_in_subinterp({code!r}))
        print(biometric.setup("still works"))
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "0\nTrue\n"
    assert out.read_text() == (
        "ImportError: biometric does not yet support subinterpreters, see README.md#subinterpreters"
    )
