"""Shared by the Windows suite: the installed modules in a real CPython for Windows
(under Wine in scripts/test), against the test doubles registered for
KeyCredentialManager and CryptographicBuffer. $BIOMETRIC_DOUBLES names the registered doubles library; the
module loads that same file, so its Control is the one the tests script."""
import ctypes
import os
import pathlib
import subprocess
import sys
import textwrap


METHODS = [
    "GetActivationFactory", "StaticsQuery", "AgileQuery",
    "RequestCreateAsync", "OpenAsync", "DeleteAsync", "IsSupportedAsync",
    "CreateFromByteArray", "CopyToByteArray", "EncodeToBase64String",
    "RetrievalStatus", "Credential", "OperationStatus", "Result", "RetrievePublicKey",
    "RetrievePublicKeyWithBlobType", "RequestSignAsync", "Length",
    "AsyncInfoQuery", "GetStatus", "PutCompleted", "GetResults",
    "CreateWithWindowQuery", "InteropQuery", "RequestCreateForWindowAsync", "SignWithWindowQuery",
    "RequestSignForWindowAsync", "CheckAvailabilityAsync", "RequestVerificationAsync",
    "RequestVerificationForWindowAsync", "GetAttestationAsync", "AttestationStatus", "CertificateChainBuffer",
    "AttestationBuffer", "Cancel",
]  # fmt: skip
COMPLETION = {"before": 0, "inside": 1, "later": 2, "never": 3}
UNUSABLE_WINDOW = 0xBAD  # the windowing double cannot convert it


def window_id_of(window):
    """What the windowing double makes of a window handle."""
    return window + 0x100000000
E_FAIL = -2147467259
E_ACCESSDENIED = -2147024891


class Script(ctypes.Structure):
    _fields_ = [("hr", ctypes.c_long), ("fail_call", ctypes.c_int), ("null_out", ctypes.c_bool),
                ("object_on_failure", ctypes.c_bool), ("value", ctypes.c_int32 * 2)]


class Control(ctypes.Structure):
    """tests/wine/doubles/doubles.h, field for field."""

    _fields_ = [
        ("scripts", Script * len(METHODS)),
        ("completion", ctypes.c_int),
        ("final_status", ctypes.c_int32),
        ("cancelled_status", ctypes.c_int32),
        ("error_code", ctypes.c_long),
        ("keep_failed_handler", ctypes.c_bool),
        ("public_key", ctypes.c_ubyte * 16),
        ("public_key_length", ctypes.c_uint32),
        ("signature", ctypes.c_ubyte * 16),
        ("signature_length", ctypes.c_uint32),
        ("base64", ctypes.c_wchar * 32),
        ("supported", ctypes.c_ubyte),
        ("later_ms", ctypes.c_uint32),
        ("availability", ctypes.c_int32),
        ("verification", ctypes.c_int32),
        ("certificate_chain", ctypes.c_ubyte * 16),
        ("certificate_chain_length", ctypes.c_uint32),
        ("attestation", ctypes.c_ubyte * 16),
        ("attestation_length", ctypes.c_uint32),
        ("real_keys", ctypes.c_bool),
        ("calls", ctypes.c_long * len(METHODS)),
        ("live_objects", ctypes.c_long),
        ("live_factories", ctypes.c_long),
        ("pending_threads", ctypes.c_long),
        ("last_name", ctypes.c_wchar * 64),
        ("last_name_length", ctypes.c_uint32),
        ("last_option", ctypes.c_int32),
        ("last_blob_type", ctypes.c_int32),
        ("last_data", ctypes.c_ubyte * 64),
        ("last_data_length", ctypes.c_uint32),
        ("last_window", ctypes.c_uint64),
    ]


def doubles_library():
    library = ctypes.CDLL(os.environ["BIOMETRIC_DOUBLES"])
    library.bio_doubles_control.restype = ctypes.POINTER(Control)
    library.bio_doubles_control_size.restype = ctypes.c_uint
    if library.bio_doubles_control_size() != ctypes.sizeof(Control):
        raise RuntimeError("Control here does not match tests/wine/doubles/doubles.h")
    return library


class Doubles:
    def __init__(self):
        self.control = doubles_library().bio_doubles_control().contents

    def reset(self, completion="inside"):
        c = self.control
        for script in c.scripts:
            script.hr, script.fail_call, script.null_out, script.object_on_failure = 0, -1, False, False
            script.value[0] = script.value[1] = 0
        c.completion, c.final_status, c.cancelled_status = COMPLETION[completion], 1, 2
        c.error_code, c.supported = E_FAIL, 1
        c.last_name, c.last_name_length, c.last_data_length = "", 0, 0
        c.later_ms, c.availability, c.verification, c.last_window = 50, 0, 0, 0
        c.real_keys = False
        for method in range(len(METHODS)):
            c.calls[method] = 0

    def script(self, method, hr=0, *, null_out=False, value=None, fail_call=-1):
        s = self.control.scripts[METHODS.index(method)]
        s.hr, s.null_out, s.fail_call = hr, null_out, fail_call
        if value is not None:
            s.value[0] = s.value[1] = value

    def settle(self):
        # Completions on the doubles' own threads hold objects until they have run.
        for _ in range(200):
            if self.control.pending_threads == 0:
                return
            ctypes.windll.kernel32.Sleep(10)


# What a child interpreter runs first: the doubles' control as `doubles`, completing at once.
PRELUDE = f"""
import os, sys
sys.path.insert(0, {str(pathlib.Path(__file__).parent)!r})
import windows_doubles
doubles = windows_doubles.Doubles()
doubles.reset()
"""


def run_python(code, env=None, **kwargs):
    """Runs `code` after PRELUDE in a new interpreter, its output through pipes."""
    full_env = {k: v for k, v in os.environ.items() if k != "BIOMETRIC_BACKTRACE"}
    full_env.update(env or {})
    return subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(code)], env=full_env,
                          capture_output=True, text=True, timeout=120, **kwargs)
