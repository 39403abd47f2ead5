"""Tests of the installed module that need no key-credential service: they run here on
the stand-in and on Windows CI (cibuildwheel) against the wheel, where the platform would
ask for Windows Hello. Every call they make fails before it reaches the platform."""
import os
import pathlib
import sys
import sysconfig

ROOT = pathlib.Path(__file__).resolve().parents[2]
# Off Windows, the stand-in chosen (the machine would warn that nobody chose it), also
# for the interpreters the tests start.
if sys.platform != "win32":
    os.environ.setdefault("BIOMETRIC_PLATFORM", "standin")
# The shared table of argument errors.
sys.path.insert(0, str(ROOT / "tests" / "python"))

import biometric  # noqa: E402

if pathlib.Path(biometric.__file__).resolve().parent != pathlib.Path(sysconfig.get_paths()["platlib"]).resolve():
    raise RuntimeError(f"these tests are for the installed module, not {biometric.__file__}")
