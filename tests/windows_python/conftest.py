"""The Windows suite's fixture; the rest of what its tests share is windows_doubles."""
import sys

import pytest

if sys.platform == "win32":
    import pathlib
    import sysconfig

    import biometric
    from windows_doubles import Doubles

    if pathlib.Path(biometric.__file__).resolve().parent != pathlib.Path(sysconfig.get_paths()["platlib"]).resolve():
        raise RuntimeError(f"these tests are for the installed module, not {biometric.__file__}")
else:  # it needs CPython for Windows and the doubles
    collect_ignore_glob = ["test_*.py"]


@pytest.fixture
def doubles():
    d = Doubles()
    d.reset()
    yield d
    d.settle()
    d.reset()
