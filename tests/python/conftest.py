"""Runs against the modules' test builds, whose platform is the scripted fake (one fake
per module library).

BIOMETRIC_TEST_MODULE_DIR names the directory holding that build (scripts/test sets it);
the default is the linux preset's build tree.
"""
import ctypes
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
MODULE_DIR = pathlib.Path(
    os.environ.get("BIOMETRIC_TEST_MODULE_DIR", ROOT / "build" / "linux" / "tests" / "module" / "python")
)
sys.path.insert(0, str(MODULE_DIR))

import biometric  # noqa: E402
import biometric_keys  # noqa: E402

E_POINTER = -2147467261  # 0x80004003
E_FAIL = -2147467259  # 0x80004005


def assert_credential_error(error, message):
    """`error` is biometric_keys' class for the code that `message` ends in, and has it."""
    code = int(message.rsplit(" ", 1)[1])
    names = {2: "CredentialNotFoundError", 3: "UserCanceledError", 4: "UserPrefersPasswordError",
             5: "CredentialExistsError", 6: "SecurityDeviceLockedError"}
    assert type(error) is getattr(biometric_keys, names.get(code, "KeyCredentialError"))
    assert isinstance(error, RuntimeError) and error.args == (message,) and error.code == code


class Fake:
    """The test build's scripted platform, through its C exports."""

    def __init__(self, path):
        self.lib = ctypes.CDLL(path)
        self.lib.bio_test_script.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_longlong, ctypes.c_char_p]
        self.lib.bio_test_set_signature.argtypes = [ctypes.c_char_p, ctypes.c_size_t]
        self.lib.bio_test_set_public_key_text.argtypes = [ctypes.c_char_p]
        self.lib.bio_test_set_public_key.argtypes = [ctypes.c_char_p, ctypes.c_size_t]
        self.lib.bio_test_heap.argtypes = [ctypes.POINTER(ctypes.c_uint64)]
        for name in ("bio_test_last_name", "bio_test_last_data", "bio_test_calls"):
            getattr(self.lib, name).argtypes = [ctypes.c_char_p, ctypes.c_size_t]
            getattr(self.lib, name).restype = ctypes.c_size_t

    def script(self, op, kind, value=0, message=None):
        if isinstance(message, str):
            message = message.encode()
        rc = self.lib.bio_test_script(op.encode(), kind.encode(), value, message)
        assert rc == 0, f"unknown op or kind: {op} {kind}"

    def reset(self):
        self.lib.bio_test_reset()

    def set_signature(self, data):
        self.lib.bio_test_set_signature(data, len(data))

    def set_public_key(self, data):
        self.lib.bio_test_set_public_key(data, len(data))

    @property
    def last_blob_type(self):
        return self.lib.bio_test_last_blob_type()

    @property
    def last_creation_option(self):
        return self.lib.bio_test_last_creation_option()

    @property
    def last_window(self):
        self.lib.bio_test_last_window.restype = ctypes.c_ulonglong
        return self.lib.bio_test_last_window()

    def _read(self, name):
        size = getattr(self.lib, name)(None, 0)
        buffer = ctypes.create_string_buffer(size)
        getattr(self.lib, name)(buffer, size)
        return buffer.raw[:size]

    @property
    def last_name(self):
        return self._read("bio_test_last_name")

    @property
    def last_data(self):
        return self._read("bio_test_last_data")

    @property
    def calls(self):
        return self._read("bio_test_calls").decode().split()

    def trim(self):
        self.lib.bio_test_trim()

    def heap_mark(self):
        """Starts watching for the platform's first call."""
        self.lib.bio_test_heap_mark()

    def heap(self):
        """(allocations, bytes) of the module's own heap so far, and the same counts at the
        platform's first call since heap_mark() (None when it was not called)."""
        counts = (ctypes.c_uint64 * 4)()
        self.lib.bio_test_heap(counts)
        first = None if counts[2] == 2**64 - 1 else (counts[2], counts[3])
        return (counts[0], counts[1]), first

    @property
    def live_objects(self):
        return self.lib.bio_test_live_objects()

    @property
    def live_arrays(self):
        return self.lib.bio_test_live_arrays()

    @property
    def release_faults(self):
        return self.lib.bio_test_release_faults()


def _checked(module):
    f = Fake(module.__file__)
    f.reset()
    yield f
    # Whatever the test did, every platform object went back exactly once.
    assert f.live_objects == 0
    assert f.live_arrays == 0
    assert f.release_faults == 0
    f.reset()


@pytest.fixture
def fake():
    yield from _checked(biometric)


@pytest.fixture
def keys_fake():
    """The fake behind biometric_keys."""
    yield from _checked(biometric_keys._native)


PRELUDE = """
import ctypes, os, sys
import biometric
fake = ctypes.CDLL(biometric.__file__)
fake.bio_test_script.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_longlong, ctypes.c_char_p]
def fault(message=b"boom"):
    # A signature length that cannot be read is an internal fault.
    fake.bio_test_script(b"Length", b"fail", -2147467259, message)
    try:
        biometric.authenticate("k", b"d")
    except BaseException as e:
        return e
    raise AssertionError("no fault")
"""


def run_python(code, env=None, **kwargs):
    """Runs `code` (after PRELUDE) in a fresh interpreter; returns the CompletedProcess."""
    full_env = {k: v for k, v in os.environ.items() if k != "BIOMETRIC_BACKTRACE"}
    full_env["PYTHONPATH"] = str(MODULE_DIR)
    full_env.update(env or {})
    return subprocess.run(
        [sys.executable, "-c", PRELUDE + textwrap.dedent(code)],
        env=full_env,
        capture_output=True,
        text=True,
        timeout=60,
        **kwargs,
    )
