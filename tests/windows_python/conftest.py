"""The Windows suite's fixture; the rest of what its tests share is windows_doubles."""
import sys

import pytest

if sys.platform == "win32":
    from windows_doubles import Doubles
else:  # it needs CPython for Windows and the doubles
    collect_ignore_glob = ["test_*.py"]


@pytest.fixture
def doubles():
    d = Doubles()
    d.reset()
    yield d
    d.settle()
    d.reset()
