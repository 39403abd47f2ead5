"""The suites' forked children (tests/conftest.py): a test that ends its process fails
alone, and the run still reports every test."""
import subprocess
import sys

from conftest import ROOT

CRASHING = """
import os, signal

def test_aborts():
    os.abort()

def test_exits():
    os._exit(3)

def test_passes():
    assert True
"""


def test_a_test_that_ends_its_process_fails_alone(tmp_path):
    (tmp_path / "test_crash.py").write_text(CRASHING)
    result = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-p", "conftest", "--rootdir", str(tmp_path),
         str(tmp_path)],
        env={"PYTHONPATH": str(ROOT / "tests")},
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert "killed by SIGABRT" in result.stdout, result.stdout + result.stderr
    assert "exited with status 3" in result.stdout
    assert result.stdout.rstrip().splitlines()[-1].startswith("2 failed, 1 passed")
