"""End-to-end tests of the installed module on the software stand-in platform.

They import `biometric` as installed (`pip install .`), never a build tree, and give
every test its own key store through BIOMETRIC_STANDIN_STORE.
"""
import os
import pathlib
import subprocess
import sys
import sysconfig
import textwrap

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "examples"))
# On a machine with a TPM the modules would choose the TPM platform.
os.environ["BIOMETRIC_PLATFORM"] = "standin"

import biometric  # noqa: E402
import standin_keys  # noqa: E402

if pathlib.Path(biometric.__file__).resolve().parent != pathlib.Path(sysconfig.get_paths()["platlib"]).resolve():
    raise RuntimeError(f"these tests are for the installed module, not {biometric.__file__}")


@pytest.fixture
def store(tmp_path, monkeypatch):
    # Four levels inside a sentinel directory: a name that escaped the store would land
    # under tmp_path, where the check below finds it, and touch nothing outside.
    directory = tmp_path / "sentinel" / "n1" / "n2" / "n3" / "store"
    directory.parent.mkdir(parents=True)
    monkeypatch.setenv("BIOMETRIC_STANDIN_STORE", str(directory))
    yield directory
    outside = [p for p in tmp_path.rglob("*") if p != directory and directory not in p.parents
               and p not in directory.parents]
    assert outside == [], "written outside the store"


def run_python(code, store, *args, stdin=None, check=True):
    """Runs `code` in a fresh interpreter with the same module and store."""
    env = dict(os.environ, BIOMETRIC_STANDIN_STORE=str(store), PYTHONPATH=str(ROOT / "examples"))
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), *args],
        env=env, input=stdin, capture_output=True, text=True, check=check, timeout=120,
    )
